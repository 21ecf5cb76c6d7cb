// Owning references and the error idiom used throughout orvex.
//
// Error idiom: a function that makes an object returns a `Ref`; an empty Ref
// means a Python exception is set. A function that only succeeds or fails
// returns `bool` (false: an exception is set). Both are [[nodiscard]] so a
// failure can't be dropped silently. A check that can also answer "no"
// returns `int`, as the C API's own predicates do: 1 yes, 0 no, -1 an
// exception is set; callers test `< 0` before reading the answer.
//
// Module state holds its references in Ref members as well, so that
// destroying or resetting the state releases every one of them.
#pragma once

#include "runtime/python.hpp"

#include <utility>

namespace orvex {

class [[nodiscard]] Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference (a C API result); null stays null.
  static Ref steal(PyObject* o) noexcept { return Ref(o); }
  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* o) noexcept { return Ref(Py_XNewRef(o)); }

  Ref(const Ref& other) noexcept : p_(Py_XNewRef(other.p_)) {}
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  // Hands the reference to the caller, typically as a C API return value.
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* o) noexcept : p_(o) {}
  PyObject* p_ = nullptr;
};

inline PyObject* ptr(PyObject* o) noexcept {
  return o;
}
inline PyObject* ptr(const Ref& r) noexcept {
  return r.get();
}

// obj(*args): positional call through vectorcall.
template <class... A>
Ref call(PyObject* callable, const A&... args) {
  PyObject* argv[] = {nullptr, ptr(args)...};
  return Ref::steal(PyObject_Vectorcall(callable, argv + 1,
                                        sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj(*positional, **keywords): the last len(kwnames) arguments are the
// values of the keywords named in the tuple kwnames.
template <class... A>
Ref call_kw(PyObject* callable, PyObject* kwnames, const A&... args) {
  PyObject* argv[] = {nullptr, ptr(args)...};
  const size_t npos = sizeof...(A) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
  return Ref::steal(
      PyObject_Vectorcall(callable, argv + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// self.name(*args), looked up as Python looks up a method.
template <class... A>
Ref call_method(PyObject* self, PyObject* name, const A&... args) {
  PyObject* argv[] = {self, ptr(args)...};
  return Ref::steal(PyObject_VectorcallMethod(
      name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// self.name(*positional, **keywords), keywords as in call_kw.
template <class... A>
Ref call_method_kw(PyObject* self, PyObject* name, PyObject* kwnames, const A&... args) {
  PyObject* argv[] = {self, ptr(args)...};
  const size_t npos = 1 + sizeof...(A) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
  return Ref::steal(
      PyObject_VectorcallMethod(name, argv, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

inline Ref getattr(PyObject* o, PyObject* name) {
  return Ref::steal(PyObject_GetAttr(o, name));
}

}  // namespace orvex
