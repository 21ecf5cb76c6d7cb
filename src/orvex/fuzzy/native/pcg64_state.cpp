// A PCG64 bit generator's state, read and written through its public
// `state` property, so that the inline steps continue and leave exactly the
// stream NumPy's own draws would.
#include "fuzzy/native/native.hpp"

namespace orvex::fuzzy {
namespace {

// A non-negative int below 2**128 (0 for anything else, -1 on error).
int read_u128(PyObject* value, Pcg64::u128& out) {
  if (!value || !PyLong_CheckExact(value)) return 0;
  Ref sixty_four = Ref::steal(PyLong_FromLong(64));
  Ref high_part = sixty_four ? Ref::steal(PyNumber_Rshift(value, sixty_four.get())) : Ref();
  if (!high_part) return -1;
  const unsigned long long high = PyLong_AsUnsignedLongLong(high_part.get());
  if (high == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
    PyErr_Clear();  // negative, or too large: not a state the steps know
    return 0;
  }
  const unsigned long long low = PyLong_AsUnsignedLongLongMask(value);
  if (low == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
  out = Pcg64::u128{high} << 64 | low;
  return 1;
}

Ref make_u128(Pcg64::u128 value) {
  Ref high = Ref::steal(PyLong_FromUnsignedLongLong(static_cast<uint64_t>(value >> 64)));
  Ref sixty_four = high ? Ref::steal(PyLong_FromLong(64)) : Ref();
  Ref shifted = sixty_four ? Ref::steal(PyNumber_Lshift(high.get(), sixty_four.get())) : Ref();
  Ref low = shifted ? Ref::steal(PyLong_FromUnsignedLongLong(static_cast<uint64_t>(value))) : Ref();
  return low ? Ref::steal(PyNumber_Or(shifted.get(), low.get())) : Ref();
}

// An exact int within [0, high].
int read_small(PyObject* value, unsigned long long high, unsigned long long& out) {
  if (!value || !PyLong_CheckExact(value)) return 0;
  out = PyLong_AsUnsignedLongLong(value);
  if (out == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
    PyErr_Clear();
    return 0;
  }
  return out <= high ? 1 : 0;
}

int item(PyObject* dict, PyObject* key, PyObject*& out) {
  out = PyDict_GetItemWithError(dict, key);
  return out ? 1 : PyErr_Occurred() ? -1 : 0;
}

}  // namespace

int read_pcg64(const State& st, PyObject* bit_generator, Pcg64& out, Ref& dict) {
  dict = getattr(bit_generator, st.str.state);
  if (!dict) return -1;
  if (!PyDict_CheckExact(dict.get())) return 0;
  PyObject *inner, *state, *inc, *has_uint32, *uinteger;
  int found = item(dict.get(), st.str.state, inner);
  if (found > 0 && !PyDict_CheckExact(inner)) return 0;
  if (found > 0) found = item(inner, st.str.state, state);
  if (found > 0) found = item(inner, st.str.inc, inc);
  if (found > 0) found = item(dict.get(), st.str.has_uint32, has_uint32);
  if (found > 0) found = item(dict.get(), st.str.uinteger, uinteger);
  if (found <= 0) return found;
  unsigned long long has = 0, half = 0;
  int read = read_u128(state, out.state);
  if (read > 0) read = read_u128(inc, out.inc);
  if (read > 0) read = read_small(has_uint32, 1, has);
  if (read > 0) read = read_small(uinteger, 0xFFFFFFFFull, half);
  out.has_uint32 = has != 0;
  out.uinteger = static_cast<uint32_t>(half);
  return read;
}

bool write_pcg64(const State& st, PyObject* bit_generator, const Pcg64& in, PyObject* dict) {
  PyObject* inner = PyDict_GetItemWithError(dict, st.str.state);
  if (!inner) return false;  // read_pcg64 found it there
  Ref state = make_u128(in.state);
  Ref has = state ? Ref::steal(PyLong_FromLong(in.has_uint32 ? 1 : 0)) : Ref();
  Ref half = has ? Ref::steal(PyLong_FromUnsignedLong(in.uinteger)) : Ref();
  return half && PyDict_SetItem(inner, st.str.state, state.get()) == 0 &&
         PyDict_SetItem(dict, st.str.has_uint32, has.get()) == 0 &&
         PyDict_SetItem(dict, st.str.uinteger, half.get()) == 0 &&
         PyObject_SetAttr(bit_generator, st.str.state, dict) == 0;
}

}  // namespace orvex::fuzzy
