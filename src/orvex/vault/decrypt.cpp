// AESVault.decrypt: authenticated decryption of a vault record.
#include "runtime/module.hpp"
#include "runtime/ops.hpp"
#include "vault/hex.hpp"
#include "vault/messages.hpp"
#include "vault/methods.hpp"
#include "vault/state.hpp"

namespace orvex::vault {
namespace {

// bytes.fromhex(record[field]); a missing field raises KeyError(field).
Ref field_bytes(const State& st, PyObject* record, PyObject* field) {
  PyObject* value = PyDict_GetItemWithError(record, field);
  if (!value) {
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, field);
    return {};
  }
  Ref held = Ref::borrow(value);
  return hex_bytes(held.get(), st.bytes_fromhex);
}

Ref item(PyObject* record, PyObject* field) {
  PyObject* value = PyDict_GetItemWithError(record, field);
  if (!value && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, field);
  return Ref::borrow(value);
}

// np.dtype(text), or the dtype that text gave before while np is NumPy itself.
Ref parse_dtype(State& st, PyObject* np, PyObject* dtype_type, PyObject* text) {
  const bool memo = st.dtypes.applies(np, st.str.dtype);
  Ref dtype = memo ? Ref::borrow(st.dtypes.parsed(text)) : Ref();
  if (dtype) return dtype;
  dtype = call(dtype_type, text);
  if (dtype && memo) st.dtypes.remember_parsed(text, dtype.get());
  return dtype;
}

// np.frombuffer(plaintext, dtype=np.dtype(record["dtype"])).reshape(tuple(record["shape"]))
Ref rebuild_array(const Function& fn, State& st, PyObject* record, PyObject* plaintext) {
  Ref np = global(fn, st.str.np);
  Ref dtype_type = np ? getattr(np.get(), st.str.dtype) : Ref();
  Ref dtype_text = dtype_type ? item(record, st.str.dtype) : Ref();
  Ref dtype = dtype_text ? parse_dtype(st, np.get(), dtype_type.get(), dtype_text.get()) : Ref();
  Ref shape_value = dtype ? item(record, st.str.shape) : Ref();
  Ref shape = shape_value ? Ref::steal(PySequence_Tuple(shape_value.get())) : Ref();
  np = shape ? global(fn, st.str.np) : Ref();  // looked up again, as the expression does
  Ref frombuffer = np ? getattr(np.get(), st.str.frombuffer) : Ref();
  Ref flat = frombuffer ? call_kw(frombuffer.get(), st.kw_dtype, plaintext, dtype) : Ref();
  return flat ? call_method(flat.get(), st.str.reshape, shape) : Ref();
}

// The protected block: everything that a ValueError or KeyError turns into a
// decryption failure.
Ref open_record(const Function& fn, State& st, PyObject* key, PyObject* record) {
  Ref ciphertext = field_bytes(st, record, st.str.ciphertext);
  Ref nonce = ciphertext ? field_bytes(st, record, st.str.nonce) : Ref();
  Ref tag = nonce ? field_bytes(st, record, st.str.tag) : Ref();
  Ref aes = tag ? global(fn, st.str.AES) : Ref();
  Ref aes_new = aes ? getattr(aes.get(), st.str.new_) : Ref();
  Ref mode = aes_new ? getattr(aes.get(), st.str.MODE_GCM) : Ref();
  Ref cipher = mode ? call_kw(aes_new.get(), st.kw_nonce, key, mode, nonce) : Ref();
  Ref plaintext =
      cipher ? call_method(cipher.get(), st.str.decrypt_and_verify, ciphertext, tag) : Ref();
  if (!plaintext) return {};
  const int has_shape = PyDict_Contains(record, st.str.shape);
  const int has_both = has_shape > 0 ? PyDict_Contains(record, st.str.dtype) : has_shape;
  if (has_both < 0) return {};
  return has_both ? rebuild_array(fn, st, record, plaintext.get()) : plaintext;
}

// except (ValueError, KeyError) as e: log, then raise ValueError(...) from e.
void report_failure(const Function& fn, const State& st) {
  Ref cause = fetch_exception();
  Ref text = Ref::steal(PyObject_Str(cause.get()));
  Ref logger = text ? global(fn, st.str.logger) : Ref();
  Ref log_line = logger ? concat_str(msg::kDecryptFailedLog, text.get()) : Ref();
  Ref logged = log_line ? call_method(logger.get(), st.str.error, log_line) : Ref();
  Ref message = logged ? concat_str(msg::kDecryptFailed, text.get()) : Ref();
  if (!message) {
    chain_context(std::move(cause));
    return;
  }
  raise_from(PyExc_ValueError, message.get(), std::move(cause));
}

}  // namespace

Ref decrypt(Function& fn, Args args) {
  State& st = fn.state<State>();
  Ref result = open_record(fn, st, args[1], args[2]);
  if (!result &&
      (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_KeyError))) {
    report_failure(fn, st);
  }
  return result;
}

}  // namespace orvex::vault
