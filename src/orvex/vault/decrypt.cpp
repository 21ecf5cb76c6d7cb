// AESVault.decrypt: authenticated decryption of a vault record.
#include "runtime/module.hpp"
#include "runtime/hex.hpp"
#include "runtime/ops.hpp"
#include "vault/in_place.hpp"
#include "vault/messages.hpp"
#include "vault/methods.hpp"
#include "vault/state.hpp"

namespace orvex::vault {
namespace {

// bytes.fromhex(record[field]); a missing field raises KeyError(field).
Ref field_bytes(const State& st, PyObject* record, PyObject* field) {
  Ref value = dict_item(record, field);
  return value ? hex_bytes(value.get(), st.bytes_fromhex.get()) : Ref();
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
  if (!np) return {};
  Ref dtype_type = getattr(np.get(), st.str.dtype);
  if (!dtype_type) return {};
  Ref dtype_text = dict_item(record, st.str.dtype);
  if (!dtype_text) return {};
  Ref dtype = parse_dtype(st, np.get(), dtype_type.get(), dtype_text.get());
  if (!dtype) return {};
  Ref shape_value = dict_item(record, st.str.shape);
  if (!shape_value) return {};
  Ref shape = Ref::steal(PySequence_Tuple(shape_value.get()));
  if (!shape) return {};
  np = global(fn, st.str.np);  // looked up again, as the expression does
  if (!np) return {};
  Ref frombuffer = getattr(np.get(), st.str.frombuffer);
  if (!frombuffer) return {};
  Ref flat = call_kw(frombuffer.get(), st.kw_dtype.get(), plaintext, dtype);
  return flat ? call_method(flat.get(), st.str.reshape, shape) : Ref();
}

// record["ciphertext"] read as bytes.fromhex reads it, into new bytes. True
// in `fresh` where the vault read a large text of hex digit pairs itself, for
// the genuine cipher to open where it lies: those bytes are the caller's alone.
Ref read_ciphertext(const State& st, PyObject* record, bool& fresh) {
  Ref value = dict_item(record, st.str.ciphertext);
  if (!value) return {};
  const Genuine& g = st.genuine;
  const char* chars = nullptr;
  size_t size = 0;
  const int pairs =
      g.complete && g.verdict != InPlaceVerdict::differs ? hex_pairs(value.get(), chars, size) : 0;
  if (pairs < 0) return {};
  if (pairs && size >= kInPlaceFrom) {
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!bytes) return {};
    // The text is immutable and held by `value`; the bytes are not yet seen
    // by anyone.
    fresh = hex_read(chars, size, reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes.get())));
    if (fresh) return bytes;
  }
  return hex_bytes(value.get(), st.bytes_fromhex.get());
}

// decrypt_and_verify through the genuine cipher, in the bytes the ciphertext
// was read into, which then hold the plaintext.
int open_in_place(State& st, PyObject* cipher, Ref& ciphertext, PyObject* tag, Ref& plaintext) {
  const int agrees = in_place_agrees(st.genuine);
  if (agrees <= 0) return agrees;
  plaintext = open_in_bytes(st.genuine, cipher, std::move(ciphertext), tag);
  return plaintext ? 1 : -1;
}

// The protected block: everything that a ValueError or KeyError turns into a
// decryption failure.
Ref open_record(const Function& fn, State& st, PyObject* key, PyObject* record) {
  bool fresh = false;
  Ref ciphertext = read_ciphertext(st, record, fresh);
  if (!ciphertext) return {};
  Ref nonce = field_bytes(st, record, st.str.nonce);
  if (!nonce) return {};
  Ref tag = field_bytes(st, record, st.str.tag);
  if (!tag) return {};
  GcmCipher made = new_gcm_cipher(fn, st, key, nonce.get(), fresh, kDecryptAndVerify, kVerify);
  if (!made.cipher) return {};
  Ref plaintext;
  const int opened =
      made.genuine ? open_in_place(st, made.cipher.get(), ciphertext, tag.get(), plaintext) : 0;
  if (opened < 0) return {};
  if (!opened) {
    plaintext = call_method(made.cipher.get(), st.str.decrypt_and_verify, ciphertext, tag);
  }
  if (!plaintext) return {};
  const int has_shape = PyDict_Contains(record, st.str.shape);
  const int has_both = has_shape > 0 ? PyDict_Contains(record, st.str.dtype) : has_shape;
  if (has_both < 0) return {};
  return has_both ? rebuild_array(fn, st, record, plaintext.get()) : plaintext;
}

// logger.error(f"...{e}"), then the text of the ValueError raised from e.
Ref failure_message(const Function& fn, const State& st, PyObject* cause) {
  Ref text = Ref::steal(PyObject_Str(cause));
  if (!text) return {};
  Ref logger = global(fn, st.str.logger);
  if (!logger) return {};
  Ref log_line = concat_str(msg::kDecryptFailedLog, text.get());
  if (!log_line || !call_method(logger.get(), st.str.error, log_line)) return {};
  return concat_str(msg::kDecryptFailed, text.get());
}

// except (ValueError, KeyError) as e: log, then raise ValueError(...) from e.
void report_failure(const Function& fn, const State& st) {
  Ref cause = fetch_exception();
  Ref message = failure_message(fn, st, cause.get());
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
