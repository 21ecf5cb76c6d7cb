// lock_secret's lockers, natively: the same draws, pads and hex texts as the
// literal loop, with each distinct pad hashed once.
#include "fuzzy/native/draws.hpp"
#include "runtime/hex.hpp"

#include <algorithm>
#include <array>

namespace orvex::fuzzy {
namespace {

constexpr Py_ssize_t kMaxListSize = PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(PyObject*));

// bytes(a ^ b for a, b in zip(data, pad)).hex()
Ref masked_hex(const uint8_t* data, const uint8_t* pad, size_t size) {
  std::array<uint8_t, kPadSize> masked;
  for (size_t i = 0; i < size; ++i) masked[i] = data[i] ^ pad[i];
  return hex_str(masked.data(), static_cast<Py_ssize_t>(size));
}

Attempt lock_all(Function& fn, PyObject* self, const SeededGenerator& seeded, PyObject* n_features,
                 PyObject* bits, PyObject* secret, Py_ssize_t count, Ref& lockers) {
  NativeDraws draws;
  const Attempt ready = prepare_draws(fn, self, seeded, n_features, bits, draws);
  if (ready != Attempt::taken) return ready;
  // More lockers than a list can hold: the literal loop would append until
  // memory ran out, which is the same MemoryError, only much later.
  if (count > kMaxListSize) {
    PyErr_NoMemory();
    return Attempt::failed;
  }

  const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(secret));
  const size_t size = std::min(static_cast<size_t>(PyBytes_GET_SIZE(secret)), kPadSize);
  PadCache pads(draws.size);
  std::vector<size_t> pad_keys;
  if (!draw_pads(draws, static_cast<size_t>(count), pads, pad_keys)) return Attempt::abandoned;
  // The texts are gathered first: a list is only made, and filled, once no
  // more objects are made that could start a garbage collection.
  std::vector<Ref> texts;
  texts.reserve(static_cast<size_t>(count));
  for (size_t key : pad_keys) {
    texts.push_back(masked_hex(data, pads.pad(key), size));
    if (!texts.back()) return Attempt::failed;
  }
  lockers = Ref::steal(PyList_New(count));
  if (!lockers) return Attempt::failed;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyList_SET_ITEM(lockers.get(), i, texts[static_cast<size_t>(i)].release());
  }
  return Attempt::taken;
}

}  // namespace

Native lock_lockers_native(Function& fn, PyObject* self, SeededGenerator& seeded,
                           PyObject* n_features, PyObject* bits, PyObject* secret, Py_ssize_t count,
                           Ref& lockers) {
  return run_native(
      seeded, [&] { return lock_all(fn, self, seeded, n_features, bits, secret, count, lockers); });
}

}  // namespace orvex::fuzzy
