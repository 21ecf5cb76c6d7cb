// lock_secret's lockers, natively: the same draws, pads and hex texts as the
// literal loop, with each distinct pad hashed once, and all of it but the
// making of the texts without the interpreter lock.
#include "fuzzy/native/draws.hpp"
#include "runtime/gil.hpp"
#include "runtime/hex.hpp"
#include "runtime/scratch.hpp"

#include <algorithm>
#include <new>

namespace orvex::fuzzy {
namespace {

constexpr Py_ssize_t kMaxListSize = PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(PyObject*));

// How the native part ended.
enum class Drawn { done, beyond_bits, no_memory };

// bytes(a ^ b for a, b in zip(data, pad)).hex()
void masked_hex(const uint8_t* data, const uint8_t* pad, size_t size, char* out) {
  uint8_t masked[kPadSize];
  for (size_t i = 0; i < size; ++i) masked[i] = data[i] ^ pad[i];
  hex_encode(masked, size, out);
}

// The draws, the pads and the texts, written into the characters of the new
// str objects that only this call holds: no object is made, no reference
// counted, so this runs without the interpreter lock.
Drawn draw_texts(NativeDraws& draws, const uint8_t* data, size_t size,
                 const std::vector<char*>& texts) noexcept {
  try {
    PadCache pads(draws.size);
    Scratch<size_t> pad_keys;
    if (!draw_pads(draws, texts.size(), pads, *pad_keys)) return Drawn::beyond_bits;
    for (size_t i = 0; i < texts.size(); ++i) {
      masked_hex(data, pads.pad((*pad_keys)[i]), size, texts[i]);
    }
    return Drawn::done;
  } catch (const std::bad_alloc&) {
    return Drawn::no_memory;
  }
}

Attempt lock_all(Function& fn, PyObject* self, const SeededGenerator& seeded, PyObject* n_features,
                 const FeatureBits& bits, PyObject* secret, Py_ssize_t count, Ref& lockers) {
  const State& st = fn.state<State>();
  NativeDraws draws;
  const Attempt ready = prepare_draws(fn, self, seeded, n_features, bits, draws);
  if (ready != Attempt::taken) return ready;
  // More lockers than a list can hold: the literal loop would append until
  // memory ran out, which is the same MemoryError, only much later.
  if (count > kMaxListSize) {
    PyErr_NoMemory();
    return Attempt::failed;
  }

  // The texts are made first, to be filled in later: a list is only made,
  // and filled, once no more objects are made that could start a garbage
  // collection.
  const size_t size = std::min(static_cast<size_t>(PyBytes_GET_SIZE(secret)), kPadSize);
  std::vector<Ref> made;
  Scratch<char*> texts;
  made.reserve(static_cast<size_t>(count));
  texts->reserve(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    made.push_back(Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(2 * size), 127)));
    if (!made.back()) return Attempt::failed;
    texts->push_back(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(made.back().get())));
  }
  // The secret is an exact bytes object the caller holds: immutable.
  const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(secret));
  const Drawn drawn = without_gil([&] { return draw_texts(draws, data, size, *texts); });
  // Out of memory natively, the literal loop may still manage with Python's.
  if (drawn != Drawn::done) return Attempt::abandoned;
  if (!finish_draws(st, draws)) return Attempt::failed;

  lockers = Ref::steal(PyList_New(count));
  if (!lockers) return Attempt::failed;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyList_SET_ITEM(lockers.get(), i, made[static_cast<size_t>(i)].release());
  }
  return Attempt::taken;
}

}  // namespace

Native lock_lockers_native(Function& fn, PyObject* self, SeededGenerator& seeded,
                           PyObject* n_features, const FeatureBits& bits, PyObject* secret,
                           Py_ssize_t count, Ref& lockers) {
  return run_native(
      seeded, [&] { return lock_all(fn, self, seeded, n_features, bits, secret, count, lockers); });
}

}  // namespace orvex::fuzzy
