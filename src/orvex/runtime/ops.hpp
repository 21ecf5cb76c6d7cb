// Python operations that have no single C API call, done as the interpreter does them.
#pragma once

#include "runtime/ref.hpp"

namespace orvex {

// a, b = value: exactly n items, with the interpreter's messages otherwise.
[[nodiscard]] bool unpack(PyObject* value, Ref* out, Py_ssize_t n);

// "text" + str(value), as f-strings and str.__add__ build messages.
Ref concat_str(const char* text, PyObject* value);

// The exception being raised, normalized, with its traceback attached; the
// error indicator is cleared. Only call it with an exception set.
Ref fetch_exception();

// Sets `exc` as the exception being raised.
void restore_exception(Ref exc);

// mapping[key] for a dict (or a subclass: its __missing__ is not consulted),
// or KeyError(key). The lookup may run a foreign key's __eq__, which could
// drop the value from the dict, so it is held at once.
Ref dict_item(PyObject* dict, PyObject* key);

// A type's own namespace dict (from 3.12 the static types keep it elsewhere).
Ref type_dict(PyTypeObject* type);

// raise exc_type(message) from cause: sets __cause__ and __context__.
void raise_from(PyObject* exc_type, PyObject* message, Ref cause);

// With an exception set: make `context` its __context__, as raising inside an
// `except` block does.
void chain_context(Ref context);

}  // namespace orvex
