#include "runtime/boundary.hpp"

#include "runtime/messages.hpp"

#include <exception>
#include <new>
#include <stdexcept>

namespace orvex {

void raise_for_cxx_exception(const std::exception& e) {
  // A length beyond what a container or new[] can ever allocate.
  if (dynamic_cast<const std::length_error*>(&e) ||
      dynamic_cast<const std::bad_array_new_length*>(&e)) {
    PyErr_Format(PyExc_OverflowError, msg::kSizeBeyondMemory, e.what());
    return;
  }
  if (dynamic_cast<const std::bad_alloc*>(&e)) {
    PyErr_NoMemory();
    return;
  }
  PyErr_Format(PyExc_SystemError, msg::kNativeFailure, e.what());
}

}  // namespace orvex
