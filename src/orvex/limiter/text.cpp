#include "limiter/text.hpp"

namespace orvex::limiter {

Ref format_value(PyObject* value) {
  return Ref::steal(PyObject_Format(value, nullptr));
}

Ref join_text(std::initializer_list<Piece> pieces) {
  Ref parts = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
  if (!parts) return {};
  Py_ssize_t i = 0;
  for (const Piece& piece : pieces) {
    PyObject* part = piece.text ? PyUnicode_FromString(piece.text) : Py_NewRef(piece.value);
    if (!part) return {};
    PyTuple_SET_ITEM(parts.get(), i++, part);
  }
  Ref empty = Ref::steal(PyUnicode_FromStringAndSize(nullptr, 0));
  if (!empty) return {};
  return Ref::steal(PyUnicode_Join(empty.get(), parts.get()));
}

}  // namespace orvex::limiter
