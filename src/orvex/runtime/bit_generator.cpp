#include "runtime/bit_generator.hpp"
#include "runtime/messages.hpp"

namespace orvex {
namespace {

// The name under which NumPy bit generators expose their C interface.
constexpr const char* kCapsuleName = "BitGenerator";

}  // namespace

int bit_generator_interface(PyObject* bit_generator, PyObject* capsule_name, BitGen*& out) {
  Ref capsule = getattr(bit_generator, capsule_name);
  if (!capsule) return -1;
  if (!PyCapsule_IsValid(capsule.get(), kCapsuleName)) return 0;
  out = static_cast<BitGen*>(PyCapsule_GetPointer(capsule.get(), kCapsuleName));
  return 1;
}

BitGen* bit_generator_of(PyObject* rng, PyObject* bit_generator_name, PyObject* capsule_name,
                         Ref& holder) {
  holder = getattr(rng, bit_generator_name);
  if (!holder) return nullptr;
  BitGen* out = nullptr;
  const int found = bit_generator_interface(holder.get(), capsule_name, out);
  if (found == 0) PyErr_SetString(PyExc_TypeError, msg::kNotANumpyGenerator);
  return found > 0 ? out : nullptr;
}

}  // namespace orvex
