// lock_secret's lockers, natively: the same draws, pads and hex texts as the
// literal loop, with each distinct pad hashed once, and all of it but the
// making of the texts without the interpreter lock.
#include "fuzzy/fast.hpp"
#include "runtime/gil.hpp"
#include "runtime/hex.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <utility>

namespace orvex::fuzzy {
namespace {

// What the native part made: every locker's hex text, `width` characters
// each, one after another.
enum class Drawn { done, beyond_bits, no_memory };

// bytes(a ^ b for a, b in zip(data, pad)).hex()
void masked_hex(const uint8_t* data, const uint8_t* pad, size_t size, char* out) {
  uint8_t masked[kSha256Size];
  for (size_t i = 0; i < size; ++i) masked[i] = data[i] ^ pad[i];
  hex_encode(masked, size, out);
}

// The draws, the pads and the texts: no Python object is touched, so this
// runs without the interpreter lock.
Drawn draw_texts(NativeDraws& draws, const uint8_t* data, size_t size, size_t count,
                 std::string& texts) noexcept {
  try {
    PadCache pads(draws.size);
    std::vector<size_t> pad_keys;
    if (!draw_pads(draws, count, pads, pad_keys)) return Drawn::beyond_bits;
    pads.compute();
    texts.resize(2 * size * count);
    for (size_t i = 0; i < count; ++i) masked_hex(data, pads.pad(pad_keys[i]), size, &texts[2 * size * i]);
    return Drawn::done;
  } catch (const std::bad_alloc&) {
    return Drawn::no_memory;
  }
}

Fast lock_all(Function& fn, PyObject* self, const SeededGenerator& seeded, PyObject* n_features,
              PyObject* bits, PyObject* secret, Py_ssize_t count, Ref& lockers) {
  const State& st = fn.state<State>();
  NativeDraws draws;
  const Fast ready = prepare_draws(fn, self, seeded, n_features, bits, draws);
  if (ready != Fast::taken) return ready;

  // The secret is an exact bytes object the caller holds: immutable.
  const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(secret));
  const size_t size = std::min<size_t>(static_cast<size_t>(PyBytes_GET_SIZE(secret)), 32);
  std::string texts;
  const Drawn drawn = without_gil(
      [&] { return draw_texts(draws, data, size, static_cast<size_t>(count), texts); });
  // Out of memory natively, the literal loop may still manage with Python's.
  if (drawn != Drawn::done) return Fast::abandoned;
  if (!finish_draws(st, draws)) return Fast::failed;

  // The texts are made first: a list is only made, and filled, once no
  // more objects are made that could start a garbage collection.
  std::vector<Ref> made;
  made.reserve(static_cast<size_t>(count));
  const size_t width = 2 * size;
  for (Py_ssize_t i = 0; i < count; ++i) {
    Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(width), 127));
    if (!text) return Fast::failed;
    std::memcpy(PyUnicode_1BYTE_DATA(text.get()), texts.data() + width * static_cast<size_t>(i), width);
    made.push_back(std::move(text));
  }
  lockers = Ref::steal(PyList_New(count));
  if (!lockers) return Fast::failed;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyList_SET_ITEM(lockers.get(), i, made[static_cast<size_t>(i)].release());
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
  }
}

}  // namespace orvex::fuzzy
