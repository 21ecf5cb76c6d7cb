// orvex.limiter: module initialisation and the RateLimiter class.
#include "limiter/messages.hpp"
#include "limiter/methods.hpp"
#include "limiter/state.hpp"
#include "runtime/module.hpp"
#include "runtime/python.hpp"

namespace orvex::limiter {

const FunctionSpec kClean = {
    "_clean", "RateLimiter._clean", msg::kCleanDoc, {{"self"}, {"key", "str"}}, "None", clean,
};

namespace {

const FunctionSpec kInit = {
    "__init__",
    "RateLimiter.__init__",
    nullptr,
    {{"self"},
     {"soft_limit", "int"},
     {"hard_limit", "int"},
     {"window_seconds", "int"},
     {"suspend_callback", "Optional[Callable[[str], None]]"}},
    nullptr,
    construct,
};

const FunctionSpec kCheckAndRecord = {
    "check_and_record",      "RateLimiter.check_and_record",
    msg::kCheckAndRecordDoc, {{"self"}, {"key", "str"}, {"skip_limit", "bool"}},
    "Tuple[bool, str]",      check_and_record,
};

const FunctionSpec kGetCount = {
    "get_count", "RateLimiter.get_count", msg::kGetCountDoc, {{"self"}, {"key", "str"}}, "int",
    get_count,
};

const FunctionSpec kIsSuspended = {
    "is_suspended",
    "RateLimiter.is_suspended",
    msg::kIsSuspendedDoc,
    {{"self"}, {"key", "str"}},
    "bool",
    is_suspended,
};

const FunctionSpec kReinstate = {
    "reinstate", "RateLimiter.reinstate", msg::kReinstateDoc, {{"self"}, {"key", "str"}}, "None",
    reinstate,
};

const FunctionSpec kReset = {
    "reset", "RateLimiter.reset", msg::kResetDoc, {{"self"}, {"key", "str"}}, "None", reset,
};

#ifdef ORVEX_TEST_HOOKS
// Private, and only in builds for testing: how many calls the native
// shortcut carried to the end, so that tests know it is taken at all.
const FunctionSpec kNativeCalls = {
    "_native_calls", "_native_calls", nullptr, {}, nullptr, native_calls,
};

bool add_test_hooks(PyObject* m, PyObject* function_type) {
  return set_global(m, "_native_calls",
                    make_function(function_type, m, kNativeCalls, nullptr).get());
}
#else
bool add_test_hooks(PyObject*, PyObject*) {
  return true;
}
#endif

// (allowed, message) with a fixed message.
Ref constant_result(PyObject* allowed, const char* message) {
  Ref text = Ref::steal(PyUnicode_FromString(message));
  return text ? Ref::steal(PyTuple_Pack(2, allowed, text.get())) : Ref();
}

bool init_state(State& st) {
  if (!st.str.init()) return false;
  st.bypassed = constant_result(Py_True, msg::kBypassed);
  st.suspended = constant_result(Py_False, msg::kSuspended);
  return st.bypassed && st.suspended;
}

// Where an instance of `type` keeps its default_factory: the offset of the
// member that exposes it, when `type` is the builtin defaultdict (a dict
// whose item access is dict's own and whose __missing__ is native). -1
// otherwise, and then the shortcut never takes over a history.
Py_ssize_t factory_offset(const State& st, PyObject* type) {
  if (!PyType_Check(type)) return -1;
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(type);
  Ref missing_name = Ref::steal(PyUnicode_InternFromString("__missing__"));
  if (!missing_name) {
    PyErr_Clear();
    return -1;
  }
  PyObject* missing = _PyType_Lookup(tp, missing_name.get());
  PyObject* factory = _PyType_Lookup(tp, st.str.default_factory);
  const PyMappingMethods* mapping = tp->tp_as_mapping;
  const PyMappingMethods* dict_mapping = PyDict_Type.tp_as_mapping;
  if (tp->tp_base != &PyDict_Type || !mapping ||
      mapping->mp_subscript != dict_mapping->mp_subscript ||
      mapping->mp_ass_subscript != dict_mapping->mp_ass_subscript || !missing ||
      Py_TYPE(missing) != &PyMethodDescr_Type || !factory ||
      Py_TYPE(factory) != &PyMemberDescr_Type) {
    return -1;
  }
  const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(factory)->d_member;
  return member->type == T_OBJECT || member->type == T_OBJECT_EX ? member->offset : -1;
}

Ref make_rate_limiter(PyObject* m, PyObject* type) {
  // Defaults are fixed when the class is made, as a class body fixes them.
  Ref init_defaults = Ref::steal(Py_BuildValue("(iiiO)", 5, 10, 60, Py_None));
  Ref check_defaults = Ref::steal(PyTuple_Pack(1, Py_False));
  if (!init_defaults || !check_defaults) return {};
  Ref init_fn = make_function(type, m, kInit, init_defaults.get());
  Ref clean_fn = make_function(type, m, kClean, nullptr);
  Ref check_fn = make_function(type, m, kCheckAndRecord, check_defaults.get());
  Ref get_count_fn = make_function(type, m, kGetCount, nullptr);
  Ref is_suspended_fn = make_function(type, m, kIsSuspended, nullptr);
  Ref reinstate_fn = make_function(type, m, kReinstate, nullptr);
  Ref reset_fn = make_function(type, m, kReset, nullptr);
  if (check_fn) reinterpret_cast<Function*>(check_fn.get())->vectorcall = check_and_record_entry;
  return make_class(m, "RateLimiter", msg::kClassDoc,
                    {init_fn.get(), clean_fn.get(), check_fn.get(), get_count_fn.get(),
                     is_suspended_fn.get(), reinstate_fn.get(), reset_fn.get()});
}

int exec_module(PyObject* m, State& st) {
  if (!init_state(st)) return -1;
  Ref defaultdict = import_from("collections", "defaultdict");
  if (!set_global(m, "time", import_module("time").get()) ||
      !set_global(m, "logging", import_module("logging").get()) ||
      !set_global(m, "defaultdict", defaultdict.get()) ||
      !set_global(m, "Callable", import_from("typing", "Callable").get()) ||
      !set_global(m, "Optional", import_from("typing", "Optional").get()) ||
      !set_global(m, "Tuple", import_from("typing", "Tuple").get()) ||
      !set_global(m, "logger", get_module_logger(m).get())) {
    return -1;
  }
  st.defaultdict = std::move(defaultdict);
  st.factory_offset = factory_offset(st, st.defaultdict.get());
  Ref function_type = make_function_type(m);
  if (!function_type ||
      !set_global(m, "RateLimiter", make_rate_limiter(m, function_type.get()).get())) {
    return -1;
  }
  return add_test_hooks(m, function_type.get()) ? 0 : -1;
}

ModuleDef<State, exec_module> module_def("limiter", msg::kModuleDoc);

}  // namespace
}  // namespace orvex::limiter

PyMODINIT_FUNC PyInit_limiter() {
  return orvex::limiter::module_def.init();
}
