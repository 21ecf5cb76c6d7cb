// The function object behind every method and module-level function.
//
// It behaves like a Python function where callers can tell: it binds as a
// method, has __name__, __qualname__, __module__, __doc__, __defaults__,
// __annotations__ (strings), __dict__ and a __signature__, and binds its
// arguments with Python's rules and the messages in runtime/messages.hpp.
// The body is C++ and receives every parameter already bound and coerced.
#pragma once

#include "runtime/module_def.hpp"
#include "runtime/ref.hpp"

namespace orvex {

constexpr int kMaxParams = 8;

struct Param {
  const char* name = nullptr;
  const char* annotation = nullptr;  // stored as a string; nullptr: not annotated
};

// What binding does with an argument, chosen by the parameter's annotation:
// "int", "float" and "bool" convert, "bytes", "str" and "dict" admit exactly
// that type, anything else admits anything.
enum class Coercion : unsigned char { none, to_int, to_float, to_bool, exact_type };

struct Function;

// The bound arguments: args[i] is parameter i, kept alive for the whole call.
using Args = PyObject* const*;
using Body = Ref (*)(Function& fn, Args args);

// The static description of one function; must outlive every module instance.
struct FunctionSpec {
  const char* name;
  const char* qualname;
  const char* doc;  // nullptr: None
  Param params[kMaxParams];
  const char* return_annotation;  // nullptr: no "return" entry
  Body body;
};

struct Function {
  PyObject_HEAD vectorcallfunc vectorcall;
  const FunctionSpec* spec;
  int nparams;
  Coercion coercion[kMaxParams];
  PyTypeObject* exact_type[kMaxParams];  // for Coercion::exact_type
  PyObject* module;                      // the defining module: its globals and its state
  PyObject* param_names;                 // tuple of interned str
  PyObject* name;
  PyObject* qualname;
  PyObject* module_name;  // __module__
  PyObject* doc;
  PyObject* defaults;     // tuple, or nullptr for None
  PyObject* annotations;  // dict; nullptr after `del f.__annotations__`
  PyObject* dict;
  PyObject* weakrefs;

  // The module's state; valid while the call runs (enter_call checked it).
  template <class State>
  State& state() const {
    return ModuleBlock<State>::of(module)->state();
  }
};

// Creates a module's function type (one per module instance).
Ref make_function_type(PyObject* module);

// Creates a function of `type` for `spec`, defined in `module`; `defaults` is
// a tuple or nullptr.
Ref make_function(PyObject* type, PyObject* module, const FunctionSpec& spec, PyObject* defaults);

// True when `o` is a function made from `spec` (for native shortcuts that may
// only skip a call when the callee is our own).
bool is_function_of(PyObject* o, const FunctionSpec& spec);

// How every function is entered when called: binds the arguments and runs
// the body under the recursion guard. A module may put an entry of its own
// in Function::vectorcall for call shapes it can bind more cheaply with the
// same outcome, and hand every other call to this one.
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames);

// Enters one call of fn, native shortcuts included: its module is still live,
// there is room on the C stack, and the recursion limit holds. False with an
// exception set; after true, leave_call() when the call ends.
[[nodiscard]] bool enter_call(const Function& fn);
inline void leave_call() {
  Py_LeaveRecursiveCall();
}

// Binds vectorcall arguments to fn's parameters: out[i] receives parameter i.
[[nodiscard]] bool bind_arguments(Function& fn, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames, Ref* out);

// fn.__signature__: an inspect.Signature of the current defaults and annotations.
Ref function_signature(Function& fn);

// fn.__annotations__: the declared strings until replaced; a new empty dict
// once deleted or set to None.
Ref function_annotations(Function& fn);

}  // namespace orvex
