// Argument binding: Python's order of checks, fixed messages, and the
// coercions that parameter annotations ask for.
//
// Order: keyword names (not a string, unknown, given twice), too many
// positional arguments, missing arguments and defaults; then the numeric and
// truth-value conversions in parameter order; then the exact-type checks in
// parameter order. The body runs only when all have passed.
#include "runtime/function.hpp"
#include "runtime/messages.hpp"

namespace orvex {
namespace {

Py_ssize_t defaults_count(const Function& fn) {
  return fn.defaults ? PyTuple_GET_SIZE(fn.defaults) : 0;
}

void raise_arg_count(const Function& fn, bool too_many, Py_ssize_t given) {
  const Py_ssize_t ndefaults = defaults_count(fn);
  const Py_ssize_t required = ndefaults < fn.nparams ? fn.nparams - ndefaults : 0;
  const Py_ssize_t expected = too_many ? fn.nparams : required;
  const char* bound = ndefaults == 0 ? "exactly" : too_many ? "at most" : "at least";
  PyErr_Format(PyExc_TypeError, msg::kArgCount, fn.spec->name, bound, expected,
               expected == 1 ? "" : "s", given);
}

int param_index(const Function& fn, PyObject* keyword) {
  for (int i = 0; i < fn.nparams; ++i) {
    if (PyTuple_GET_ITEM(fn.param_names, i) == keyword) return i;
  }
  // Not interned, or a str subclass: compare by value, which runs no Python code.
  for (int i = 0; i < fn.nparams; ++i) {
    if (PyUnicode_Compare(PyTuple_GET_ITEM(fn.param_names, i), keyword) == 0) return i;
  }
  return -1;
}

bool bind_keywords(const Function& fn, PyObject* const* values, PyObject* kwnames, Ref* out) {
  const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(keyword)) {
      PyErr_Format(PyExc_TypeError, msg::kKeywordsMustBeStrings, fn.spec->name);
      return false;
    }
    const int i = param_index(fn, keyword);
    if (i < 0) {
      PyErr_Format(PyExc_TypeError, msg::kUnexpectedKeyword, fn.spec->name, keyword);
      return false;
    }
    if (out[i]) {
      PyErr_Format(PyExc_TypeError, msg::kMultipleValues, fn.spec->name, keyword);
      return false;
    }
    out[i] = Ref::borrow(values[k]);
  }
  return true;
}

// Fills what is still missing from __defaults__ as it is now; defaults belong
// to the last parameters, as for a Python function.
bool fill_defaults(const Function& fn, Py_ssize_t nargs, bool had_keywords, Ref* out) {
  const Py_ssize_t ndefaults = defaults_count(fn);
  const Py_ssize_t first_default = fn.nparams - ndefaults;
  for (int i = 0; i < fn.nparams; ++i) {
    if (out[i]) continue;
    if (i < first_default) {
      raise_arg_count(fn, false, had_keywords ? i : nargs);
      return false;
    }
    out[i] = Ref::borrow(PyTuple_GET_ITEM(fn.defaults, i - first_default));
  }
  return true;
}

void raise_incorrect_type(const char* param, const char* expected, PyObject* value, bool subclass) {
  PyErr_Format(PyExc_TypeError, msg::kIncorrectType, param, expected, Py_TYPE(value)->tp_name,
               subclass ? ". " : "", subclass ? msg::kSubclassRejected : "");
}

// An exact int stays; other numbers become int(value); the rest is refused.
Ref to_int(const char* param, PyObject* value) {
  if (PyLong_CheckExact(value)) return Ref::borrow(value);
  if (!PyNumber_Check(value)) {
    raise_incorrect_type(param, "int", value, false);
    return {};
  }
  return Ref::steal(PyNumber_Long(value));
}

Ref to_float(PyObject* value) {
  if (PyFloat_CheckExact(value)) return Ref::borrow(value);
  const double d = PyFloat_AsDouble(value);
  if (d == -1.0 && PyErr_Occurred()) return {};
  return Ref::steal(PyFloat_FromDouble(d));
}

Ref to_bool(PyObject* value) {
  const int truth = PyObject_IsTrue(value);
  if (truth < 0) return {};
  return Ref::borrow(truth ? Py_True : Py_False);
}

bool convert(const Function& fn, Ref* out) {
  for (int i = 0; i < fn.nparams; ++i) {
    const char* param = fn.spec->params[i].name;
    switch (fn.coercion[i]) {
      case Coercion::to_int:
        out[i] = to_int(param, out[i].get());
        break;
      case Coercion::to_float:
        out[i] = to_float(out[i].get());
        break;
      case Coercion::to_bool:
        out[i] = to_bool(out[i].get());
        break;
      default:
        continue;
    }
    if (!out[i]) return false;
  }
  return true;
}

bool check_exact_types(const Function& fn, Ref* out) {
  for (int i = 0; i < fn.nparams; ++i) {
    PyTypeObject* expected = fn.exact_type[i];
    if (fn.coercion[i] != Coercion::exact_type || Py_IS_TYPE(out[i].get(), expected)) continue;
    raise_incorrect_type(fn.spec->params[i].name, expected->tp_name, out[i].get(),
                         PyObject_TypeCheck(out[i].get(), expected));
    return false;
  }
  return true;
}

}  // namespace

bool bind_arguments(Function& fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    Ref* out) {
  const bool had_keywords = kwnames && PyTuple_GET_SIZE(kwnames) > 0;
  for (Py_ssize_t i = 0; i < nargs && i < fn.nparams; ++i) out[i] = Ref::borrow(args[i]);
  if (had_keywords && !bind_keywords(fn, args + nargs, kwnames, out)) return false;
  if (nargs > fn.nparams) {
    raise_arg_count(fn, true, nargs);
    return false;
  }
  return fill_defaults(fn, nargs, had_keywords, out) && convert(fn, out) &&
         check_exact_types(fn, out);
}

}  // namespace orvex
