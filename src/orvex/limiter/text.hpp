// Messages built the way an f-string builds them: fixed pieces and values
// formatted with format(value, "").
#pragma once

#include "runtime/ref.hpp"

#include <initializer_list>

namespace orvex::limiter {

// format(value, ""): a str unchanged, an int or float as str(), an exception
// as str(); whatever __format__ does for other objects.
Ref format_value(PyObject* value);

// One piece of a message: fixed UTF-8 text, or a str made by format_value.
struct Piece {
  Piece(const char* text) : text(text) {}          // NOLINT: implicit on purpose
  Piece(const Ref& value) : value(value.get()) {}  // NOLINT: implicit on purpose
  const char* text = nullptr;
  PyObject* value = nullptr;
};

// The pieces joined in order into one str.
Ref join_text(std::initializer_list<Piece> pieces);

}  // namespace orvex::limiter
