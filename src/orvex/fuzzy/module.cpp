// orvex.fuzzy: module initialisation and the FuzzyExtractor class.
#include "fuzzy/messages.hpp"
#include "fuzzy/methods.hpp"
#include "fuzzy/state.hpp"
#include "runtime/module.hpp"

#include <random>

namespace orvex::fuzzy {
namespace {

const FunctionSpec kToNumpy = {
    "_to_numpy",  "_to_numpy", msg::kToNumpyDoc, {{"feature", "FeatureInput"}},
    "np.ndarray", to_numpy,
};

#ifdef ORVEX_TEST_HOOKS
// Private, and only in builds for testing: tests hold the native sampler and
// SHA-256 against NumPy's choice and hashlib with them.
const FunctionSpec kNativeSample = {
    "_native_sample", "_native_sample", msg::kSampleDoc, {{"rng"}, {"n", "int"}, {"k", "int"}},
    "list",           sample_positions,
};

const FunctionSpec kNativeDrawLockers = {
    "_native_draw_lockers",
    "_native_draw_lockers",
    msg::kDrawLockersDoc,
    {{"rng"}, {"n", "int"}, {"k", "int"}, {"count", "int"}, {"inline_pcg64", "bool"}},
    "list",
    draw_lockers,
};

const FunctionSpec kNativeSha256 = {
    "_native_sha256",       "_native_sha256", msg::kSha256Doc,
    {{"messages", "list"}}, "list",           sha256_digests,
};

const FunctionSpec kNativeSeedState = {
    "_native_seed_state", "_native_seed_state", msg::kSeedStateDoc, {{"seed", "bytes"}}, "dict",
    seed_state,
};

const FunctionSpec kNativeVoteProbes = {
    "_native_vote_probes",
    "_native_vote_probes",
    msg::kVoteProbesDoc,
    {{"candidates", "list"}, {"k0", "int"}, {"k1", "int"}},
    "tuple",
    vote_probes,
};

const FunctionSpec kImportMemoHolds = {
    "_import_memo_holds", "_import_memo_holds", msg::kImportMemoDoc, {}, "bool", import_memo_holds,
};

bool add_test_hooks(PyObject* m, PyObject* function_type) {
  Ref sample_fn = make_function(function_type, m, kNativeSample, nullptr);
  Ref sha256_fn = make_function(function_type, m, kNativeSha256, nullptr);
  Ref draw_fn = make_function(function_type, m, kNativeDrawLockers, nullptr);
  Ref probes_fn = make_function(function_type, m, kNativeVoteProbes, nullptr);
  Ref memo_fn = make_function(function_type, m, kImportMemoHolds, nullptr);
  Ref seed_fn = make_function(function_type, m, kNativeSeedState, nullptr);
  return set_global(m, "_import_memo_holds", memo_fn.get()) &&
         set_global(m, "_native_sample", sample_fn.get()) &&
         set_global(m, "_native_seed_state", seed_fn.get()) &&
         set_global(m, "_native_sha256", sha256_fn.get()) &&
         set_global(m, "_native_draw_lockers", draw_fn.get()) &&
         set_global(m, "_native_vote_probes", probes_fn.get());
}
#else
bool add_test_hooks(PyObject*, PyObject*) {
  return true;
}
#endif

const FunctionSpec kInit = {
    "__init__", "FuzzyExtractor.__init__",
    nullptr,    {{"self"}, {"n_lockers", "int"}, {"locker_size", "int"}},
    nullptr,    init_extractor,
};

const FunctionSpec kBinarize = {
    "_binarize",
    "FuzzyExtractor._binarize",
    msg::kBinarizeDoc,
    {{"self"}, {"feature", "FeatureInput"}},
    "list",
    binarize,
};

const FunctionSpec kLockSecret = {
    "lock_secret",
    "FuzzyExtractor.lock_secret",
    msg::kLockSecretDoc,
    {{"self"}, {"feature", "FeatureInput"}, {"secret_payload", "bytes"}},
    "dict",
    lock_secret,
};

const FunctionSpec kUnlockSecret = {
    "unlock_secret",
    "FuzzyExtractor.unlock_secret",
    msg::kUnlockSecretDoc,
    {{"self"}, {"feature", "FeatureInput"}, {"helper_data", "dict"}, {"prob_thresh", "float"}},
    "Tuple[Optional[bytes], dict]",
    unlock_secret,
};

// A key no record could have been written against: from the system's
// random source, once per module.
SipKey random_key() {
  std::random_device source;
  auto word = [&source] { return uint64_t{source()} << 32 | source(); };
  const uint64_t k0 = word();
  return {k0, word()};
}

bool init_state(State& st) {
  if (!st.str.init()) return false;
  st.vote_key = random_key();
  PyObject* bytes_type = reinterpret_cast<PyObject*>(&PyBytes_Type);
  PyObject* int_type = reinterpret_cast<PyObject*>(&PyLong_Type);
  st.bytes_fromhex = Ref::steal(PyObject_GetAttrString(bytes_type, "fromhex"));
  st.int_from_bytes = Ref::steal(PyObject_GetAttrString(int_type, "from_bytes"));
  st.kw_size_replace = Ref::steal(Py_BuildValue("(ss)", "size", "replace"));
  st.empty = Ref::steal(PyUnicode_FromString(""));
  st.zero = Ref::steal(PyLong_FromLong(0));
  st.one = Ref::steal(PyLong_FromLong(1));
  return st.bytes_fromhex && st.int_from_bytes && st.kw_size_replace && st.empty && st.zero &&
         st.one;
}

bool set_constant(PyObject* m, const char* name, Ref value) {
  return set_global(m, name, value.get());
}

// Union["torch.Tensor", np.ndarray]: torch only by name, so that importing
// this module never imports PyTorch.
Ref feature_input_alias(PyObject* m) {
  Ref union_ = Ref::steal(PyObject_GetAttrString(m, "Union"));
  Ref np = Ref::steal(PyObject_GetAttrString(m, "np"));
  if (!union_ || !np) return {};
  Ref ndarray = Ref::steal(PyObject_GetAttrString(np.get(), "ndarray"));
  if (!ndarray) return {};
  Ref members = Ref::steal(Py_BuildValue("(sO)", "torch.Tensor", ndarray.get()));
  if (!members) return {};
  return Ref::steal(PyObject_GetItem(union_.get(), members.get()));
}

// The class's defaults are the module constants as they are now, converted.
Ref init_defaults(PyObject* m) {
  Ref n_lockers = Ref::steal(PyObject_GetAttrString(m, "DEFAULT_N_LOCKERS"));
  Ref locker_size = Ref::steal(PyObject_GetAttrString(m, "DEFAULT_LOCKER_SIZE"));
  if (!n_lockers || !locker_size) return {};
  Ref n = Ref::steal(PyNumber_Long(n_lockers.get()));
  if (!n) return {};
  Ref size = Ref::steal(PyNumber_Long(locker_size.get()));
  return size ? Ref::steal(PyTuple_Pack(2, n.get(), size.get())) : Ref();
}

Ref unlock_defaults(PyObject* m) {
  Ref thresh = Ref::steal(PyObject_GetAttrString(m, "DEFAULT_PROB_THRESH"));
  Ref value = thresh ? Ref::steal(PyNumber_Float(thresh.get())) : Ref();
  return value ? Ref::steal(PyTuple_Pack(1, value.get())) : Ref();
}

Ref make_extractor_class(PyObject* m, PyObject* function_type) {
  Ref init_defaults_tuple = init_defaults(m);
  Ref unlock_defaults_tuple = init_defaults_tuple ? unlock_defaults(m) : Ref();
  if (!unlock_defaults_tuple) return {};
  Ref init_fn = make_function(function_type, m, kInit, init_defaults_tuple.get());
  Ref binarize_fn = make_function(function_type, m, kBinarize, nullptr);
  Ref lock_fn = make_function(function_type, m, kLockSecret, nullptr);
  Ref unlock_fn = make_function(function_type, m, kUnlockSecret, unlock_defaults_tuple.get());
  if (!init_fn || !binarize_fn || !lock_fn || !unlock_fn) return {};
  return make_class(m, "FuzzyExtractor", msg::kClassDoc,
                    {init_fn.get(), binarize_fn.get(), lock_fn.get(), unlock_fn.get()});
}

int exec_module(PyObject* m, State& st) {
  if (!init_state(st)) return -1;
  if (!set_global(m, "secrets", import_module("secrets").get()) ||
      !set_global(m, "logging", import_module("logging").get()) ||
      !set_global(m, "hashlib", import_module("hashlib").get()) ||
      !set_global(m, "np", import_module("numpy").get()) ||
      !set_global(m, "Counter", import_from("collections", "Counter").get()) ||
      !set_global(m, "Union", import_from("typing", "Union").get()) ||
      !set_global(m, "Optional", import_from("typing", "Optional").get()) ||
      !set_global(m, "Tuple", import_from("typing", "Tuple").get()) ||
      !set_global(m, "logger", get_module_logger(m).get()) ||
      !set_constant(m, "DEFAULT_N_LOCKERS", Ref::steal(PyLong_FromLong(1024))) ||
      !set_constant(m, "DEFAULT_LOCKER_SIZE", Ref::steal(PyLong_FromLong(8))) ||
      !set_constant(m, "DEFAULT_PROB_THRESH", Ref::steal(PyFloat_FromDouble(0.2))) ||
      !set_global(m, "FeatureInput", feature_input_alias(m).get())) {
    return -1;
  }
  Ref function_type = make_function_type(m);
  if (!function_type) return -1;
  Ref to_numpy_fn = make_function(function_type.get(), m, kToNumpy, nullptr);
  if (!set_global(m, "_to_numpy", to_numpy_fn.get())) return -1;
  Ref cls = make_extractor_class(m, function_type.get());
  if (!set_global(m, "FuzzyExtractor", cls.get())) return -1;
  if (!add_test_hooks(m, function_type.get())) return -1;
  capture_genuine(m, st.genuine);
  capture_import_world(st.torch_import);
  return 0;
}

ModuleDef<State, exec_module> module_def("fuzzy", msg::kModuleDoc);

}  // namespace
}  // namespace orvex::fuzzy

PyMODINIT_FUNC PyInit_fuzzy() {
  return orvex::fuzzy::module_def.init();
}
