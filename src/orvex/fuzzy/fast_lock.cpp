// lock_secret's lockers, natively: the same draws, pads and hex texts as the
// literal loop, with each distinct pad hashed once.
#include "fuzzy/fast.hpp"
#include "fuzzy/pad_cache.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>

namespace orvex::fuzzy {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr Py_ssize_t kMaxListSize = PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(PyObject*));

// bytes(a ^ b for a, b in zip(data, pad)).hex(), written straight into a new
// ASCII str.
Ref masked_hex(const uint8_t* data, const uint8_t* pad, size_t size) {
  Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(2 * size), 127));
  if (!text) return {};
  Py_UCS1* out = PyUnicode_1BYTE_DATA(text.get());
  for (size_t i = 0; i < size; ++i) {
    const unsigned x = data[i] ^ pad[i];
    out[2 * i] = static_cast<Py_UCS1>(kHexDigits[x >> 4]);
    out[2 * i + 1] = static_cast<Py_UCS1>(kHexDigits[x & 15]);
  }
  return text;
}

Fast lock_all(Function& fn, PyObject* self, const SeededGenerator& seeded, PyObject* n_features,
              PyObject* bits, PyObject* secret, Py_ssize_t count, Ref& lockers) {
  // More lockers than a list can hold: the literal loop would append until
  // memory ran out, which is the same MemoryError, only much later.
  if (count > kMaxListSize) {
    PyErr_NoMemory();
    return Fast::failed;
  }
  NativeDraws draws;
  const Fast ready = prepare_draws(fn, self, seeded, n_features, bits, draws);
  if (ready != Fast::taken) return ready;

  const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(secret));
  const size_t size = std::min<size_t>(static_cast<size_t>(PyBytes_GET_SIZE(secret)), 32);
  PadCache pads(draws.size);
  Sampler sampler;
  std::vector<int64_t> positions(static_cast<size_t>(draws.size));
  std::vector<size_t> pad_keys;
  pad_keys.reserve(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    sampler.choice(*draws.bitgen, draws.population, draws.size, positions.data());
    if (!within_bits(positions, draws.bits)) return Fast::abandoned;
    pad_keys.push_back(pads.want(draws.bits, positions.data()));
  }
  pads.compute();
  // The texts are gathered first: a list is only made, and filled, once no
  // more objects are made that could start a garbage collection.
  std::vector<Ref> texts;
  texts.reserve(static_cast<size_t>(count));
  for (size_t key : pad_keys) {
    texts.push_back(masked_hex(data, pads.pad(key), size));
    if (!texts.back()) return Fast::failed;
  }
  lockers = Ref::steal(PyList_New(count));
  if (!lockers) return Fast::failed;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyList_SET_ITEM(lockers.get(), i, texts[static_cast<size_t>(i)].release());
  }
  return Fast::taken;
}

}  // namespace

Fast lock_lockers_fast(Function& fn, PyObject* self, const SeededGenerator& seeded,
                       PyObject* n_features, PyObject* bits, PyObject* secret, Py_ssize_t count,
                       Ref& lockers) {
  try {
    return lock_all(fn, self, seeded, n_features, bits, secret, count, lockers);
  } catch (const std::bad_alloc&) {
    return Fast::abandoned;  // the literal loop may still manage with Python's memory
  } catch (const std::length_error&) {
    return Fast::abandoned;
  }
}

}  // namespace orvex::fuzzy
