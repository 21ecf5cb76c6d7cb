// Private hooks through which tests hold the native pieces against their
// Python counterparts: the Sampler against Generator.choice, the SHA-256
// against hashlib, the seeding against default_rng, and watch the vote table's probing. Not part of
// the extractor.
#include "fuzzy/messages.hpp"
#include "fuzzy/methods.hpp"
#include "fuzzy/native/native.hpp"
#include "fuzzy/native/seed_sequence.hpp"
#include "fuzzy/native/sha256.hpp"
#include "fuzzy/state.hpp"
#include "fuzzy/native/vote_tally.hpp"
#include "runtime/bit_generator.hpp"
#include "runtime/messages.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace orvex::fuzzy {
namespace {

// The digests of `messages` (a list of bytes objects, read without running
// any code), side by side where consecutive messages allow it.
bool native_digests(PyObject* messages, std::vector<std::array<uint8_t, kPadSize>>& out) {
  const auto n = static_cast<size_t>(PyList_GET_SIZE(messages));
  auto message = [messages](size_t i) {
    return PyList_GET_ITEM(messages, static_cast<Py_ssize_t>(i));
  };
  auto size_of = [&message](size_t i) { return static_cast<size_t>(PyBytes_GET_SIZE(message(i))); };
  auto data_of = [&message](size_t i) {
    return reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(message(i)));
  };
  for (size_t i = 0; i < n; ++i) {
    if (!PyBytes_CheckExact(message(i))) {
      PyErr_SetString(PyExc_TypeError, msg::kDigestNeedsBytes);
      return false;
    }
  }
  out.resize(n);
  for (size_t first = 0; first < n;) {
    const size_t size = size_of(first);
    if (size > kSha256MaxLaneSize) {
      sha256(data_of(first), size, out[first].data());
      ++first;
      continue;
    }
    const uint8_t* data[kSha256Lanes];
    uint8_t* digests[kSha256Lanes];
    size_t count = 0;
    for (; count < kSha256Lanes && first + count < n && size_of(first + count) == size; ++count) {
      data[count] = data_of(first + count);
      digests[count] = out[first + count].data();
    }
    sha256_lanes(data, size, count, digests);
    first += count;
  }
  return true;
}

// The positions of `count` lockers, the last kept in `positions`.
template <class Bits>
void draw_positions(Bits& bits, int64_t n, int64_t k, long long count,
                    std::vector<int64_t>& positions) {
  Sampler sampler;
  for (long long i = 0; i < count; ++i) sampler.choice(bits, n, k, positions.data());
}

Ref position_list(const std::vector<int64_t>& positions) {
  const auto k = static_cast<Py_ssize_t>(positions.size());
  Ref list = Ref::steal(PyList_New(k));
  for (Py_ssize_t i = 0; list && i < k; ++i) {
    PyObject* position = PyLong_FromLongLong(positions[static_cast<size_t>(i)]);
    if (!position) return {};
    PyList_SET_ITEM(list.get(), i, position);
  }
  return list;
}

// A 128-bit value as an int.
Ref u128_int(Pcg64::u128 value) {
  char hex[33];
  std::snprintf(hex, sizeof hex, "%016llx%016llx", static_cast<unsigned long long>(value >> 64),
                static_cast<unsigned long long>(value));
  return Ref::steal(PyLong_FromString(hex, nullptr, 16));
}

// The hooks take only generators of NumPy's own Generator type.
bool is_generator(const State& st, PyObject* rng) {
  if (st.genuine.complete &&
      Py_TYPE(rng) == reinterpret_cast<PyTypeObject*>(st.genuine.generator_type.get()))
    return true;
  PyErr_SetString(PyExc_TypeError, orvex::msg::kNotANumpyGenerator);
  return false;
}

// The generator, population and sample size that both sampling hooks take
// first: false, with an exception set, when they don't suit the sampler.
bool sample_arguments(const State& st, Args args, long long& n, long long& k) {
  if (!is_generator(st, args[0])) return false;
  n = PyLong_AsLongLong(args[1]);
  k = n == -1 && PyErr_Occurred() ? -1 : PyLong_AsLongLong(args[2]);
  if (PyErr_Occurred()) return false;
  if (native_bounds(n, k)) return true;
  PyErr_SetString(PyExc_ValueError, msg::kSampleOutOfBounds);
  return false;
}

}  // namespace

Ref sample_positions(Function& fn, Args args) {
  const State& st = fn.state<State>();
  PyObject* rng = args[0];
  long long n = 0, k = 0;
  if (!sample_arguments(st, args, n, k)) return {};
  Ref holder;
  BitGen* bitgen = bit_generator_of(rng, st.str.bit_generator, st.str.capsule, holder);
  if (!bitgen) return {};
  std::vector<int64_t> positions;
  try {
    positions.resize(static_cast<size_t>(k));
    Sampler().choice(*bitgen, n, k, positions.data());
  } catch (const std::bad_alloc&) {
    return Ref::steal(PyErr_NoMemory());
  }
  return position_list(positions);
}

Ref draw_lockers(Function& fn, Args args) {
  const State& st = fn.state<State>();
  PyObject* rng = args[0];
  long long n = 0, k = 0;
  if (!sample_arguments(st, args, n, k)) return {};
  const long long count = PyLong_AsLongLong(args[3]);
  const int inline_pcg64 = count == -1 && PyErr_Occurred() ? -1 : PyObject_IsTrue(args[4]);
  if (inline_pcg64 < 0) return {};
  if (count < 0) {
    PyErr_SetString(PyExc_ValueError, msg::kSampleOutOfBounds);
    return {};
  }
  Ref holder;
  BitGen* bitgen = bit_generator_of(rng, st.str.bit_generator, st.str.capsule, holder);
  if (!bitgen) return {};
  Pcg64 pcg64;
  Ref pcg64_state;
  if (inline_pcg64) {
    const int read = Py_TYPE(holder.get()) ==
                             reinterpret_cast<PyTypeObject*>(st.genuine.bit_generator_type.get())
                         ? read_pcg64(st, holder.get(), pcg64, pcg64_state)
                         : 0;
    if (read == 0) PyErr_SetString(PyExc_TypeError, orvex::msg::kNotANumpyGenerator);
    if (read <= 0) return {};
  }
  std::vector<int64_t> positions;
  try {
    positions.resize(static_cast<size_t>(k));
    if (inline_pcg64) {
      draw_positions(pcg64, n, k, count, positions);
    } else {
      CapsuleBits capsule{bitgen};
      draw_positions(capsule, n, k, count, positions);
    }
  } catch (const std::bad_alloc&) {
    return Ref::steal(PyErr_NoMemory());
  }
  if (inline_pcg64 && !write_pcg64(st, holder.get(), pcg64, pcg64_state.get())) return {};
  return position_list(positions);
}

Ref seed_state(Function&, Args args) {
  PyObject* seed = args[0];
  if (!PyBytes_CheckExact(seed)) {
    PyErr_SetString(PyExc_TypeError, msg::kSeedStateNeedsBytes);
    return {};
  }
  const Pcg64 g = seeded_pcg64(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(seed)),
                               static_cast<size_t>(PyBytes_GET_SIZE(seed)));
  Ref state = u128_int(g.state);
  Ref inc = state ? u128_int(g.inc) : Ref();
  if (!inc) return {};
  return Ref::steal(Py_BuildValue("{s:s,s:{s:O,s:O},s:i,s:k}", "bit_generator", "PCG64", "state",
                                  "state", state.get(), "inc", inc.get(), "has_uint32",
                                  g.has_uint32 ? 1 : 0, "uinteger",
                                  static_cast<unsigned long>(g.uinteger)));
}

Ref sha256_digests(Function&, Args args) {
  PyObject* messages = args[0];
  if (!PyList_CheckExact(messages)) {
    PyErr_SetString(PyExc_TypeError, msg::kDigestNeedsBytes);
    return {};
  }
  // The list is read without running any code, so it cannot change meanwhile.
  std::vector<std::array<uint8_t, kPadSize>> digests;
  try {
    if (!native_digests(messages, digests)) return {};
  } catch (const std::bad_alloc&) {
    return Ref::steal(PyErr_NoMemory());
  }
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(digests.size())));
  for (size_t i = 0; list && i < digests.size(); ++i) {
    PyObject* digest =
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(digests[i].data()), kPadSize);
    if (!digest) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), digest);
  }
  return list;
}

Ref vote_probes(Function&, Args args) {
  PyObject* candidates = args[0];
  SipKey key;
  key.k0 = PyLong_AsUnsignedLongLongMask(args[1]);
  key.k1 = PyErr_Occurred() ? 0 : PyLong_AsUnsignedLongLongMask(args[2]);
  if (PyErr_Occurred()) return {};
  auto is_candidate = [](PyObject* o) {
    return PyBytes_CheckExact(o) && PyBytes_GET_SIZE(o) <= static_cast<Py_ssize_t>(kPadSize);
  };
  if (!PyList_CheckExact(candidates)) {
    PyErr_SetString(PyExc_TypeError, msg::kVoteProbesNeedBytes);
    return {};
  }
  const auto n = static_cast<size_t>(PyList_GET_SIZE(candidates));
  // Nothing below runs code, so the list stays as it is.
  std::vector<CandidateBytes> bytes(n);
  std::vector<uint8_t> sizes(n);
  for (size_t i = 0; i < n; ++i) {
    PyObject* candidate = PyList_GET_ITEM(candidates, static_cast<Py_ssize_t>(i));
    if (!is_candidate(candidate)) {
      PyErr_SetString(PyExc_TypeError, msg::kVoteProbesNeedBytes);
      return {};
    }
    sizes[i] = static_cast<uint8_t>(PyBytes_GET_SIZE(candidate));
    std::memcpy(bytes[i].data(), PyBytes_AS_STRING(candidate), sizes[i]);
  }
  VoteTally tally(n, key, bytes.data(), sizes.data());
  for (size_t i = 0; i < n; ++i) tally.add();
  return Ref::steal(Py_BuildValue("nO", static_cast<Py_ssize_t>(tally.probes()),
                                  tally.rehashed() ? Py_True : Py_False));
}

Ref import_memo_holds(Function& fn, Args) {
  State& st = fn.state<State>();
  return Ref::borrow(import_memo_holds(st.torch_import, st.str.torch) ? Py_True : Py_False);
}

}  // namespace orvex::fuzzy
