#include "runtime/boundary.hpp"

#include "runtime/messages.hpp"

#include <exception>
#include <new>
#include <stdexcept>

namespace orvex {

void raise_for_cxx_exception() {
  try {
    throw;
  } catch (const std::bad_array_new_length& e) {
    PyErr_Format(PyExc_OverflowError, msg::kSizeBeyondMemory, e.what());
  } catch (const std::length_error& e) {
    PyErr_Format(PyExc_OverflowError, msg::kSizeBeyondMemory, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, msg::kNativeFailure, e.what());
  } catch (...) {
    PyErr_Format(PyExc_SystemError, msg::kNativeFailure, "unknown exception");
  }
}

}  // namespace orvex
