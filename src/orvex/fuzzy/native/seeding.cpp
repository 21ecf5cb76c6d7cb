// The call's generator seeded natively: when default_rng is NumPy's own and
// nothing it reads on its way to a PCG64 was replaced, making the generator
// has no effect but its state, and the native lockers step that state
// without any generator object (hence without its lock, and without reading
// or writing back its state). The derivation is held against NumPy's own on
// first need, like the sampler.
#include "fuzzy/native/native.hpp"
#include "fuzzy/native/seed_sequence.hpp"

namespace orvex::fuzzy {
namespace {

// Seeds of every shape the derivation handles differently: zero (no bytes,
// and the four zero bytes lock_secret may draw), one word, the edges of a
// word, two to five words (the pool is four), and longer than any record's.
struct CheckSeed {
  const char* bytes;
  Py_ssize_t size;
};
constexpr CheckSeed kCheckSeeds[] = {
    {"", 0},
    {"\x00\x00\x00\x00", 4},
    {"\x01", 1},
    {"\xff\xff\xff\xff", 4},
    {"\x00\x01\x00\x00\x00\x00", 6},
    {"\x01\x00\x00\x00\x00\x00\x00\x00\x05", 9},
    {"\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x03", 17},
    {"\x9e\x37\x79\xb9\x7f\x4a\x7c\x15\xf3\x9c\xc0\x60\x5c\xed\xc8\x34\x10\x82\x27\x6b\xf3\xa2"
     "\x72\x51\xf8\x6c\x6a\x11\xd0\xc1\x8e\x95\x27\x67\xf0\xb1\x53\xd2\x7b\x7f",
     40},
};

const uint8_t* bytes_of(const CheckSeed& seed) {
  return reinterpret_cast<const uint8_t*>(seed.bytes);
}

// default_rng(int.from_bytes(seed, "big")).bit_generator's state against the
// derived one: 1 same, 0 not, -1 with an exception set.
int seed_agrees(const State& st, const CheckSeed& seed) {
  const Genuine& g = st.genuine;
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(seed.bytes, seed.size));
  Ref seed_int = bytes ? call(st.int_from_bytes.get(), bytes, st.str.big) : Ref();
  Ref rng = seed_int ? call(g.default_rng.get(), seed_int) : Ref();
  if (!rng) return -1;
  if (Py_TYPE(rng.get()) != reinterpret_cast<PyTypeObject*>(g.generator_type.get())) return 0;
  Ref bit_generator = getattr(rng.get(), st.str.bit_generator);
  if (!bit_generator) return -1;
  if (Py_TYPE(bit_generator.get()) != reinterpret_cast<PyTypeObject*>(g.bit_generator_type.get())) {
    return 0;
  }
  Pcg64 theirs;
  Ref dict;
  const int read = read_pcg64(st, bit_generator.get(), theirs, dict);
  if (read <= 0) return read;
  const Pcg64 ours = seeded_pcg64(bytes_of(seed), static_cast<size_t>(seed.size));
  return theirs.state == ours.state && theirs.inc == ours.inc &&
         theirs.has_uint32 == ours.has_uint32 && theirs.uinteger == ours.uinteger;
}

}  // namespace

int seed_natively(const State& st, PyObject* locker_seed, SeededGenerator& out) {
  const Genuine& g = st.genuine;
  if (!g.complete || g.seeding != SamplerVerdict::agrees || g.pcg64 != SamplerVerdict::agrees ||
      g.sampler != SamplerVerdict::agrees) {
    return 0;
  }
  if (out.np.get() != g.numpy.get() || out.default_rng.get() != g.default_rng.get() ||
      !PyModule_CheckExact(g.numpy.get()) || !PyBytes_CheckExact(locker_seed)) {
    return 0;
  }
  int same = g.seed_sequence_name.unchanged();
  if (same <= 0) return same;
  // isinstance(seed, ISeedSequence), which NumPy asks before it seeds: a hook
  // registered with that class runs, and may answer yes, as in NumPy. The
  // other names are read after it, as NumPy reads them (the hook may have
  // replaced some).
  const int sequence = PyObject_IsInstance(out.seed_int.get(), g.seed_sequence_base.get());
  if (sequence != 0) return sequence < 0 ? -1 : 0;
  same = g.seed_names.unchanged();
  if (same <= 0) return same;
  const auto* seed = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(locker_seed));
  out.pcg64 = seeded_pcg64(seed, static_cast<size_t>(PyBytes_GET_SIZE(locker_seed)));
  out.native = true;
  return 1;
}

int seeding_agrees(State& st) {
  return settle_verdict(st.genuine.seeding, kCheckSeeds,
                        [&](const CheckSeed& seed) { return seed_agrees(st, seed); });
}

}  // namespace orvex::fuzzy
