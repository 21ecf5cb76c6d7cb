// The native Sampler held against NumPy's own Generator.choice.
//
// Helper data is only readable if every locker samples exactly NumPy's
// positions, and a future NumPy may change its algorithm: before the native
// path is first used, both draw from generators of the same seeds and must
// give the same positions and leave the same generator state.
#include "fuzzy/native/native.hpp"
#include "runtime/bit_generator.hpp"

namespace orvex::fuzzy {
namespace {

struct Case {
  unsigned long seed;
  int64_t population;
  int64_t size;
};

// Both of NumPy's branches (Floyd's algorithm, the tail shuffle and the edge
// between them at 10001), each of the Sampler's membership tests, and 32-bit
// and 64-bit bounded draws.
constexpr Case kCases[] = {
    {0, 512, 8},
    {4294967295ul, 512, 8},
    {1, 8, 8},
    {2, 1, 1},
    {7, 20000, 500},
    {11, 10001, 201},
    {13, 10001, 200},
    {3, 100000, 100},
    {5, int64_t{1} << 40, 40},
    {17, (int64_t{1} << 33) + 1, 3},
};
constexpr int kDrawsPerCase = 3;

// rng.choice(n, size=k, replace=False).tolist() == expected
int numpy_draws(const State& st, PyObject* rng, PyObject* n, PyObject* k,
                const std::vector<int64_t>& expected) {
  Ref choice = getattr(rng, st.str.choice);
  Ref drawn = choice ? call_kw(choice.get(), st.kw_size_replace.get(), n, k, Py_False) : Ref();
  Ref list = drawn ? call_method(drawn.get(), st.str.tolist) : Ref();
  if (!list) return -1;
  if (!PyList_CheckExact(list.get()) ||
      PyList_GET_SIZE(list.get()) != static_cast<Py_ssize_t>(expected.size())) {
    return 0;
  }
  for (size_t i = 0; i < expected.size(); ++i) {
    PyObject* item = PyList_GET_ITEM(list.get(), static_cast<Py_ssize_t>(i));
    const long long value = PyLong_Check(item) ? PyLong_AsLongLong(item) : -1;
    if (value == -1 && PyErr_Occurred()) return -1;
    if (value != expected[i]) return 0;
  }
  return 1;
}

// Draws through the capsule, or from PCG64 stepped inline on a copy of the
// generator's state that is written back at the end.
int case_agrees(const State& st, const Case& c, bool inline_pcg64) {
  const Genuine& g = st.genuine;
  Ref seed = Ref::steal(PyLong_FromUnsignedLong(c.seed));
  Ref n = Ref::steal(PyLong_FromLongLong(c.population));
  Ref k = Ref::steal(PyLong_FromLongLong(c.size));
  if (!seed || !n || !k) return -1;
  Ref theirs = call(g.default_rng.get(), seed);
  if (!theirs) return -1;
  Ref ours = call(g.default_rng.get(), seed);
  if (!ours) return -1;
  Ref holder;
  BitGen* bitgen = bit_generator_of(ours.get(), st.str.bit_generator, st.str.capsule, holder);
  if (!bitgen) return -1;
  Pcg64 pcg64;
  Ref pcg64_state;
  if (inline_pcg64) {
    const int read = read_pcg64(st, holder.get(), pcg64, pcg64_state);
    if (read <= 0) return read;
  }
  Sampler sampler;
  std::vector<int64_t> positions(static_cast<size_t>(c.size));
  for (int d = 0; d < kDrawsPerCase; ++d) {
    if (inline_pcg64) {
      sampler.choice(pcg64, c.population, c.size, positions.data());
    } else {
      sampler.choice(*bitgen, c.population, c.size, positions.data());
    }
    const int same = numpy_draws(st, theirs.get(), n.get(), k.get(), positions);
    if (same <= 0) return same;
  }
  if (inline_pcg64 && !write_pcg64(st, holder.get(), pcg64, pcg64_state.get())) return -1;
  Ref their_generator = getattr(theirs.get(), st.str.bit_generator);
  if (!their_generator) return -1;
  Ref their_state = getattr(their_generator.get(), st.str.state);
  if (!their_state) return -1;
  Ref our_state = getattr(holder.get(), st.str.state);
  if (!our_state) return -1;
  return PyObject_RichCompareBool(their_state.get(), our_state.get(), Py_EQ);
}

}  // namespace

int sampler_agrees(State& st) {
  return settle_verdict(st.genuine.sampler, kCases,
                        [&](const Case& c) { return case_agrees(st, c, false); });
}

int pcg64_sampler_agrees(State& st) {
  // The inline steps are only known right on NumPy's PCG64, which every
  // generator the cases make has.
  return settle_verdict(st.genuine.pcg64, kCases,
                        [&](const Case& c) { return case_agrees(st, c, true); });
}

}  // namespace orvex::fuzzy
