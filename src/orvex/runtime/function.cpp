// The function type: creation, attributes, descriptor binding and calls.
#include "runtime/function.hpp"
#include "runtime/boundary.hpp"
#include "runtime/messages.hpp"
#include "runtime/stack.hpp"

#include <array>
#include <cstddef>
#include <cstring>

namespace orvex {
namespace {

Function* as_function(PyObject* o) {
  return reinterpret_cast<Function*>(o);
}

}  // namespace

bool enter_call(const Function& fn) {
  if (!fn.module || !module_is_live(fn.module)) {
    PyErr_Format(PyExc_RuntimeError, msg::kModuleCleared, fn.spec->qualname);
    return false;
  }
  return enough_stack_left() && Py_EnterRecursiveCall(msg::kRecursionWhere) == 0;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  Function& fn = *as_function(callable);
  // A body may call back into Python (a callback, a replaced global) and so
  // into itself: keep the recursion limit, and, since a raised limit alone
  // does not protect the C stack before 3.12, the stack's own bound.
  if (!enter_call(fn)) return nullptr;
  Ref result = at_boundary(Ref(), [&] {
    Ref bound[kMaxParams];
    PyObject* view[kMaxParams];
    if (!bind_arguments(fn, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) return Ref();
    for (int i = 0; i < fn.nparams; ++i) view[i] = bound[i].get();
    return fn.spec->body(fn, view);
  });
  leave_call();
  return result.release();
}

namespace {

// Class access gives the function itself, instance access a bound method.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Pickled and copied by reference, like a Python function.
PyObject* function_reduce(PyObject* self, PyObject*) {
  return Py_NewRef(as_function(self)->qualname);
}

// The references a cycle can run through (module -> class -> function ->
// module), visited by traverse and dropped by clear. The names are strings
// and stay until deallocation, so that a cleared function can still be shown
// and refuses calls (enter_call) instead of crashing.
std::array<PyObject**, 5> cyclic_references(Function* f) {
  return {&f->module, &f->doc, &f->defaults, &f->annotations, &f->dict};
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  for (PyObject** field : cyclic_references(as_function(self))) Py_VISIT(*field);
  return 0;
}

int function_clear(PyObject* self) {
  for (PyObject** field : cyclic_references(as_function(self))) Py_CLEAR(*field);
  return 0;
}

void function_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Function* f = as_function(self);
  if (f->weakrefs) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(f->param_names);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->module_name);
  type->tp_free(self);
  Py_DECREF(type);
}

// --- attributes -------------------------------------------------------------

PyObject* get_name(PyObject* self, void*) {
  return Py_NewRef(as_function(self)->name);
}
PyObject* get_qualname(PyObject* self, void*) {
  return Py_NewRef(as_function(self)->qualname);
}

int set_str(PyObject*& slot, PyObject* value, const char* attr) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attr);
    return -1;
  }
  Py_SETREF(slot, Py_NewRef(value));
  return 0;
}
int set_name(PyObject* self, PyObject* value, void*) {
  return set_str(as_function(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
  return set_str(as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_defaults(PyObject* self, void*) {
  PyObject* d = as_function(self)->defaults;
  return Py_NewRef(d ? d : Py_None);
}
// slot = value, where None (or deleting) empties the slot and any other
// value must pass `check`.
int set_optional(PyObject*& slot, PyObject* value, int (*check)(PyObject*), const char* message) {
  if (value == Py_None) value = nullptr;
  if (value != nullptr && !check(value)) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  Py_XSETREF(slot, Py_XNewRef(value));
  return 0;
}

int set_defaults(PyObject* self, PyObject* value, void*) {
  return set_optional(
      as_function(self)->defaults, value, [](PyObject* o) -> int { return PyTuple_Check(o); },
      "__defaults__ must be set to a tuple object");
}

PyObject* get_annotations(PyObject* self, void*) {
  return function_annotations(*as_function(self)).release();
}
int set_annotations(PyObject* self, PyObject* value, void*) {
  return set_optional(
      as_function(self)->annotations, value, [](PyObject* o) -> int { return PyDict_Check(o); },
      "__annotations__ must be set to a dict object");
}

// The defining module's namespace, where typing.get_type_hints() resolves
// the string annotations, as for a Python function. A cleared function has
// no module left to name (function_clear), which is said rather than read.
PyObject* get_globals(PyObject* self, void*) {
  const Function* f = as_function(self);
  if (!f->module) {
    PyErr_Format(PyExc_RuntimeError, msg::kGlobalsCleared, f->spec->qualname);
    return nullptr;
  }
  return Py_NewRef(PyModule_GetDict(f->module));
}

PyObject* get_signature(PyObject* self, void*) {
  return function_signature(*as_function(self)).release();
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module_name), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Function, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

// Immutable like Python's own function type; the interpreter also specializes
// method loads (obj.method(...)) only for descriptors of immutable types.
#if PY_VERSION_HEX >= 0x030A0000
constexpr unsigned long kImmutableType = Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned long kImmutableType = 0;
#endif

PyType_Spec function_spec = {
    "orvex.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | kImmutableType,
    function_slots,
};

// The declared annotations as strings: the parameters', then "return".
Ref spec_annotations(const FunctionSpec& spec, int nparams) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return {};
  for (int i = 0; i < nparams; ++i) {
    const Param& p = spec.params[i];
    if (!p.annotation) continue;
    Ref text = Ref::steal(PyUnicode_FromString(p.annotation));
    if (!text || PyDict_SetItemString(dict.get(), p.name, text.get()) < 0) return {};
  }
  if (spec.return_annotation) {
    Ref text = Ref::steal(PyUnicode_FromString(spec.return_annotation));
    if (!text || PyDict_SetItemString(dict.get(), "return", text.get()) < 0) return {};
  }
  return dict;
}

Coercion coercion_for(const char* annotation, PyTypeObject*& exact) {
  exact = nullptr;
  if (annotation == nullptr) return Coercion::none;
  if (std::strcmp(annotation, "int") == 0) return Coercion::to_int;
  if (std::strcmp(annotation, "float") == 0) return Coercion::to_float;
  if (std::strcmp(annotation, "bool") == 0) return Coercion::to_bool;
  if (std::strcmp(annotation, "bytes") == 0) exact = &PyBytes_Type;
  if (std::strcmp(annotation, "str") == 0) exact = &PyUnicode_Type;
  if (std::strcmp(annotation, "dict") == 0) exact = &PyDict_Type;
  return exact ? Coercion::exact_type : Coercion::none;
}

}  // namespace

Ref make_function_type(PyObject* module) {
  Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &function_spec, nullptr));
  // Functions exist only as made by make_function (before 3.10 there is no
  // flag that says so).
  if (type) reinterpret_cast<PyTypeObject*>(type.get())->tp_new = nullptr;
  return type;
}

Ref make_function(PyObject* type, PyObject* module, const FunctionSpec& spec, PyObject* defaults) {
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(type);
  Ref self = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(Function, tp)));
  if (!self) return {};
  Function* f = as_function(self.get());
  // Zero every field first so that an early failure deallocates cleanly.
  std::memset(reinterpret_cast<char*>(f) + sizeof(PyObject), 0,
              sizeof(Function) - sizeof(PyObject));
  f->vectorcall = function_vectorcall;
  f->spec = &spec;
  f->module = Py_NewRef(module);
  f->defaults = Py_XNewRef(defaults);
  f->doc = spec.doc ? PyUnicode_FromString(spec.doc) : Py_NewRef(Py_None);
  f->name = PyUnicode_InternFromString(spec.name);
  f->qualname = PyUnicode_FromString(spec.qualname);
  f->module_name = PyObject_GetAttrString(module, "__name__");
  while (f->nparams < kMaxParams && spec.params[f->nparams].name) ++f->nparams;
  f->param_names = PyTuple_New(f->nparams);
  PyObject_GC_Track(self.get());
  if (!f->doc || !f->name || !f->qualname || !f->module_name || !f->param_names) return {};
  for (int i = 0; i < f->nparams; ++i) {
    PyObject* name = PyUnicode_InternFromString(spec.params[i].name);
    if (!name) return {};
    PyTuple_SET_ITEM(f->param_names, i, name);
    f->coercion[i] = coercion_for(spec.params[i].annotation, f->exact_type[i]);
  }
  f->annotations = spec_annotations(spec, f->nparams).release();
  if (!f->annotations) return {};
  return self;
}

bool is_function_of(PyObject* o, const FunctionSpec& spec) {
  return Py_TYPE(o)->tp_descr_get == function_descr_get && as_function(o)->spec == &spec;
}

Ref function_annotations(Function& fn) {
  // Deleted or set to None: a fresh empty dict, as a Python function gives.
  if (!fn.annotations && !(fn.annotations = PyDict_New())) return {};
  return Ref::borrow(fn.annotations);
}

}  // namespace orvex
