// orvex.vault: module initialisation and the AESVault class.
#include "runtime/module.hpp"
#include "vault/messages.hpp"
#include "vault/methods.hpp"
#include "vault/state.hpp"

namespace orvex::vault {
namespace {

const FunctionSpec kEncrypt = {
    "encrypt",        "AESVault.encrypt",
    msg::kEncryptDoc, {{"self"}, {"key", "bytes"}, {"payload", "Union[np.ndarray, bytes]"}},
    "dict",           encrypt,
};

const FunctionSpec kDecrypt = {
    "decrypt",
    "AESVault.decrypt",
    msg::kDecryptDoc,
    {{"self"}, {"key", "bytes"}, {"record", "dict"}},
    "Union[np.ndarray, bytes]",
    decrypt,
};

#ifdef ORVEX_TEST_HOOKS
// Private, and only in builds for testing.
const FunctionSpec kNativeHex = {
    "_native_hex", "_native_hex", msg::kNativeHexDoc, {{"data", "bytes"}, {"codec", "str"}},
    "str",         native_hex,
};

const FunctionSpec kNativeUnhex = {
    "_native_unhex",   "_native_unhex", msg::kNativeUnhexDoc, {{"text", "bytes"}, {"codec", "str"}},
    "Optional[bytes]", native_unhex,
};

const FunctionSpec kInPlaceVerdict = {
    "_in_place_verdict", "_in_place_verdict", msg::kInPlaceVerdictDoc, {}, "str", in_place_verdict,
};

bool add_test_hooks(PyObject* m, PyObject* function_type) {
  Ref hex_fn = make_function(function_type, m, kNativeHex, nullptr);
  Ref unhex_fn = make_function(function_type, m, kNativeUnhex, nullptr);
  Ref verdict_fn = make_function(function_type, m, kInPlaceVerdict, nullptr);
  return set_global(m, "_native_hex", hex_fn.get()) &&
         set_global(m, "_native_unhex", unhex_fn.get()) &&
         set_global(m, "_in_place_verdict", verdict_fn.get());
}
#else
bool add_test_hooks(PyObject*, PyObject*) {
  return true;
}
#endif

bool init_state(State& st) {
  if (!st.str.init()) return false;
  st.bytes_fromhex =
      Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBytes_Type), "fromhex"));
  st.kw_nonce = Ref::steal(Py_BuildValue("(s)", "nonce"));
  st.kw_dtype = Ref::steal(Py_BuildValue("(s)", "dtype"));
  return st.bytes_fromhex && st.kw_nonce && st.kw_dtype;
}

int exec_module(PyObject* m, State& st) {
  if (!init_state(st)) return -1;
  Ref numpy, aes;
  if (!set_global(m, "logging", import_module("logging").get()) ||
      !set_global(m, "np", (numpy = import_module("numpy")).get()) ||
      !st.dtypes.init(numpy.get()) ||
      !set_global(m, "Optional", import_from("typing", "Optional").get()) ||
      !set_global(m, "Union", import_from("typing", "Union").get()) ||
      !set_global(m, "AES", (aes = import_from("Crypto.Cipher", "AES")).get()) ||
      !set_global(m, "logger", get_module_logger(m).get())) {
    return -1;
  }
  capture_genuine(numpy.get(), aes.get(), st.genuine);
  Ref function_type = make_function_type(m);
  if (!function_type) return -1;
  Ref encrypt_fn = make_function(function_type.get(), m, kEncrypt, nullptr);
  Ref decrypt_fn = make_function(function_type.get(), m, kDecrypt, nullptr);
  if (!encrypt_fn || !decrypt_fn) return -1;
  Ref cls = make_class(m, "AESVault", msg::kClassDoc, {encrypt_fn.get(), decrypt_fn.get()});
  return set_global(m, "AESVault", cls.get()) && add_test_hooks(m, function_type.get()) ? 0 : -1;
}

ModuleDef<State, exec_module> module_def("vault", msg::kModuleDoc);

}  // namespace
}  // namespace orvex::vault

PyMODINIT_FUNC PyInit_vault() {
  return orvex::vault::module_def.init();
}
