// Interned strings held in a module's state.
//
// A module lists its names once, as an X-macro, and declares the table with
//
//   #define MY_STRINGS(X) X(np) X(logger) X(tobytes)
//   ORVEX_STRING_TABLE(MyStrings, MY_STRINGS)
//
// which gives `struct MyStrings { PyObject* np; ... }` with init(); the
// table releases its strings when it is destroyed. Each field holds the interned str of its own
// name; a trailing underscore is dropped, so that C++ keywords can be named too (new_: "new").
#pragma once

#include "runtime/python.hpp"

#include <cstring>

namespace orvex {
inline PyObject* intern_identifier(const char* field) {
  const size_t n = std::strlen(field);
  PyObject* s = PyUnicode_FromStringAndSize(field, field[n - 1] == '_' ? n - 1 : n);
  if (s) PyUnicode_InternInPlace(&s);
  return s;
}
}  // namespace orvex

#define ORVEX_STRING_FIELD_(name) PyObject* name = nullptr;
#define ORVEX_STRING_INIT_(name) \
  if (!(name = ::orvex::intern_identifier(#name))) return false;
#define ORVEX_STRING_CLEAR_(name) Py_CLEAR(name);

#define ORVEX_STRING_TABLE(Table, LIST)                                 \
  struct Table {                                                        \
    LIST(ORVEX_STRING_FIELD_)                                           \
    Table() = default;                                                  \
    Table(const Table&) = delete;                                       \
    Table& operator=(const Table&) = delete;                            \
    ~Table() { LIST(ORVEX_STRING_CLEAR_) }                              \
    [[nodiscard]] bool init() { LIST(ORVEX_STRING_INIT_) return true; } \
  }
