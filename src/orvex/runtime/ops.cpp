#include "runtime/ops.hpp"

namespace orvex {

bool unpack(PyObject* value, Ref* out, Py_ssize_t n) {
  if ((PyTuple_CheckExact(value) || PyList_CheckExact(value)) &&
      PySequence_Fast_GET_SIZE(value) == n) {
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = Ref::borrow(PySequence_Fast_GET_ITEM(value, i));
    return true;
  }
  Ref it = Ref::steal(PyObject_GetIter(value));
  if (!it) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value)->tp_iter == nullptr &&
        !PySequence_Check(value)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                   Py_TYPE(value)->tp_name);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    out[i] = Ref::steal(PyIter_Next(it.get()));
    if (!out[i]) {
      if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, i);
      }
      return false;
    }
  }
  Ref extra = Ref::steal(PyIter_Next(it.get()));
  if (extra) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
    return false;
  }
  return !PyErr_Occurred();
}

Ref concat_str(const char* text, PyObject* value) {
  Ref head = Ref::steal(PyUnicode_FromString(text));
  Ref tail = Ref::steal(PyObject_Str(value));
  if (!head || !tail) return {};
  return Ref::steal(PyUnicode_Concat(head.get(), tail.get()));
}

Ref fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback && value) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref::steal(value);
#endif
}

void restore_exception(Ref exc) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc.release());
#else
  // Restore, not SetObject: SetObject would replace the context with whatever
  // exception the caller happens to be handling.
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())));
  PyObject* traceback = PyException_GetTraceback(exc.get());
  PyErr_Restore(type, exc.release(), traceback);
#endif
}

Ref dict_item(PyObject* dict, PyObject* key) {
  PyObject* value = PyDict_GetItemWithError(dict, key);
  if (!value && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
  return Ref::borrow(value);
}

Ref type_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyType_GetDict(type));
#else
  return Ref::borrow(type->tp_dict);
#endif
}

void raise_from(PyObject* exc_type, PyObject* message, Ref cause) {
  Ref exc = Ref::steal(PyObject_CallOneArg(exc_type, message));
  if (!exc) return;
  PyException_SetContext(exc.get(), Ref(cause).release());
  PyException_SetCause(exc.get(), cause.release());
  restore_exception(std::move(exc));
}

namespace {

// exc.__context__ = context, first cutting `exc` out of the context's own
// chain so that no cycle forms (what the interpreter does when it chains).
void set_context(PyObject* exc, Ref context) {
  if (exc == context.get()) return;
  PyObject* o = context.get();
  PyObject* slow = o;  // Floyd's cycle detection: the chain may already loop
  bool advance_slow = false;
  for (;;) {
    Ref next = Ref::steal(PyException_GetContext(o));
    if (!next) break;
    if (next.get() == exc) {
      PyException_SetContext(o, nullptr);
      break;
    }
    o = next.get();
    if (o == slow) break;
    if (advance_slow) {
      Ref s = Ref::steal(PyException_GetContext(slow));
      slow = s.get();  // still referenced by the chain
    }
    advance_slow = !advance_slow;
  }
  PyException_SetContext(exc, context.release());
}

}  // namespace

void chain_context(Ref context) {
  Ref current = fetch_exception();
  set_context(current.get(), std::move(context));
  restore_exception(std::move(current));
}

}  // namespace orvex
