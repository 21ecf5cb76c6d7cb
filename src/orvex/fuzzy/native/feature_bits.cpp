// The feature's bits read natively from an exact ndarray, and the literal
// steps of self._binarize(feature) around that read.
#include "fuzzy/native/feature_bits.hpp"
#include "fuzzy/features.hpp"
#include "fuzzy/methods.hpp"
#include "runtime/module.hpp"
#include "runtime/ops.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace orvex::fuzzy {
namespace {

// What the array's values are, from its buffer format: one item code in the
// machine's own byte order (NumPy writes '=' or nothing for that), and an
// item size the code allows.
enum class Kind { other, boolean, signed_int, unsigned_int, real };

constexpr char kOwnOrder = PY_LITTLE_ENDIAN ? '<' : '>';

Kind element_kind(const char* format, Py_ssize_t itemsize) {
  if (!format) return Kind::other;
  if (*format == '@' || *format == '=' || *format == kOwnOrder) ++format;
  if (format[0] == '\0' || format[1] != '\0') return Kind::other;
  const bool int_size = itemsize == 1 || itemsize == 2 || itemsize == 4 || itemsize == 8;
  switch (format[0]) {
    case '?':
      return itemsize == 1 ? Kind::boolean : Kind::other;
    case 'b':
    case 'h':
    case 'i':
    case 'l':
    case 'q':
      return int_size ? Kind::signed_int : Kind::other;
    case 'B':
    case 'H':
    case 'I':
    case 'L':
    case 'Q':
      return int_size ? Kind::unsigned_int : Kind::other;
    case 'f':
      return itemsize == 4 ? Kind::real : Kind::other;
    case 'd':
      return itemsize == 8 ? Kind::real : Kind::other;
    default:
      return Kind::other;
  }
}

// value > 0 as NumPy compares it: NaN and -0.0 are not. A bool holds 0 or 1,
// and any other byte a view may have put there counts as true, as NumPy
// reads it.
template <class T>
uint8_t positive(const char* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value > 0 ? 1 : 0;
}

// The most dimensions an array can have (NumPy's limit; the buffer protocol's).
constexpr int kMaxDims = 64;

// One row of `count` values `step` bytes apart; adjacent values (the common
// case) in a loop the compiler can vectorise.
template <class T>
void read_row(const char* row, Py_ssize_t count, Py_ssize_t step, uint8_t* out) {
  if (step == static_cast<Py_ssize_t>(sizeof(T))) {
    for (Py_ssize_t j = 0; j < count; ++j) out[j] = positive<T>(row + j * sizeof(T));
    return;
  }
  for (Py_ssize_t j = 0; j < count; ++j) out[j] = positive<T>(row + j * step);
}

// Every value in C order (as flatten() copies them), whatever the strides.
template <class T>
void read_values(const Py_buffer& view, uint8_t* out) {
  const auto* base = static_cast<const char*>(view.buf);
  if (view.ndim == 0) {
    *out = positive<T>(base);
    return;
  }
  const int last = view.ndim - 1;
  const Py_ssize_t inner = view.shape[last];
  const Py_ssize_t step = view.strides[last];
  Py_ssize_t index[kMaxDims] = {};
  for (;;) {
    const char* row = base;
    for (int d = 0; d < last; ++d) row += index[d] * view.strides[d];
    read_row<T>(row, inner, step, out);
    out += inner;
    int d = last - 1;
    for (; d >= 0; --d) {
      if (++index[d] < view.shape[d]) break;
      index[d] = 0;
    }
    if (d < 0) return;
  }
}

// The number of values, or -1 beyond kMaxNativeFeature.
Py_ssize_t value_count(const Py_buffer& view) {
  Py_ssize_t count = 1;
  for (int d = 0; d < view.ndim; ++d) {
    if (view.shape[d] == 0) return 0;
  }
  for (int d = 0; d < view.ndim; ++d) {
    if (view.shape[d] > kMaxNativeFeature / count) return -1;
    count *= view.shape[d];
  }
  return count;
}

// read_sign_bits once the buffer is taken: false for a dtype, shape or size
// it doesn't read.
bool read_view(const Py_buffer& view, std::vector<uint8_t>& out) {
  const Kind kind = element_kind(view.format, view.itemsize);
  if (kind == Kind::other || view.ndim < 0 || view.ndim > kMaxDims) return false;
  if (view.ndim > 0 && (!view.shape || !view.strides)) return false;
  const Py_ssize_t count = value_count(view);
  if (count < 0) return false;
  out.resize(static_cast<size_t>(count));
  if (count == 0) return true;
  switch (kind) {
    case Kind::boolean:
      read_values<uint8_t>(view, out.data());
      break;
    case Kind::signed_int:
      if (view.itemsize == 1) read_values<int8_t>(view, out.data());
      if (view.itemsize == 2) read_values<int16_t>(view, out.data());
      if (view.itemsize == 4) read_values<int32_t>(view, out.data());
      if (view.itemsize == 8) read_values<int64_t>(view, out.data());
      break;
    case Kind::unsigned_int:
      if (view.itemsize == 1) read_values<uint8_t>(view, out.data());
      if (view.itemsize == 2) read_values<uint16_t>(view, out.data());
      if (view.itemsize == 4) read_values<uint32_t>(view, out.data());
      if (view.itemsize == 8) read_values<uint64_t>(view, out.data());
      break;
    case Kind::real:
      if (view.itemsize == 4) read_values<float>(view, out.data());
      if (view.itemsize == 8) read_values<double>(view, out.data());
      break;
    case Kind::other:
      return false;
  }
  return true;
}

bool exact_array(const GenuineFeature& g, PyObject* o) {
  return g.complete && Py_TYPE(o) == reinterpret_cast<PyTypeObject*>(g.ndarray.get());
}

// self._binarize as looked up: the module's own function, bound to self.
bool is_own_binarize(const GenuineFeature& g, PyObject* method, PyObject* self) {
  return Py_IS_TYPE(method, &PyMethod_Type) && PyMethod_GET_FUNCTION(method) == g.binarize.get() &&
         PyMethod_GET_SELF(method) == self;
}

// `feature` is an exact ndarray and `np` the NumPy captured, a plain module
// whose ndarray is still the captured type: np.ndarray, isinstance() and
// feature.flatten() then run nothing but NumPy's own C code.
int plain_array(const State& st, PyObject* np, PyObject* feature) {
  const GenuineFeature& g = st.feature;
  if (np != g.numpy.get() || !PyModule_CheckExact(np) ||
      Py_TYPE(feature) != reinterpret_cast<PyTypeObject*>(g.ndarray.get())) {
    return 0;
  }
  PyObject* ndarray = PyDict_GetItemWithError(PyModule_GetDict(np), st.str.ndarray);
  if (!ndarray) return PyErr_Occurred() ? -1 : 0;
  return ndarray == g.ndarray.get() ? 1 : 0;
}

// _to_numpy(feature), the module's own, step by step: 1 with `bits` read
// from an exact ndarray (all that is left is NumPy's own work), 0 with `flat`
// its result, -1 with an exception set.
int to_numpy_or_bits(const Function& fn, State& st, PyObject* feature, Ref& flat,
                     std::vector<uint8_t>& bits) {
  switch (tensor_to_numpy(st, feature, flat)) {
    case TensorOutcome::converted:
      return 0;
    case TensorOutcome::failed:
      return -1;
    case TensorOutcome::not_a_tensor:
      break;
  }
  Ref np = global(fn, st.str.np);
  if (!np) return -1;
  const int plain = plain_array(st, np.get(), feature);
  if (plain < 0) return -1;
  if (plain && read_sign_bits(feature, false, bits)) return 1;
  flat = flatten_array(st, np.get(), feature);
  return flat ? 0 : -1;
}

// NumPy's major version from its __version__, 0 if unreadable.
long numpy_major(PyObject* numpy_dict) {
  PyObject* version = PyDict_GetItemString(numpy_dict, "__version__");
  const char* text = version && PyUnicode_Check(version) ? PyUnicode_AsUTF8(version) : nullptr;
  return text ? std::strtol(text, nullptr, 10) : 0;
}

bool capture(PyObject* module, GenuineFeature& g) {
  PyObject* globals = PyModule_GetDict(module);
  g.numpy = Ref::borrow(PyDict_GetItemString(globals, "np"));
  g.to_numpy = Ref::borrow(PyDict_GetItemString(globals, "_to_numpy"));
  PyObject* extractor = PyDict_GetItemString(globals, "FuzzyExtractor");
  if (!g.numpy || !g.to_numpy || !extractor || !PyModule_CheckExact(g.numpy.get()) ||
      !PyType_Check(extractor)) {
    return false;
  }
  // NumPy before 2.0 lets set_numeric_ops replace what an ndarray's
  // comparison calls: there the literal steps always run.
  PyObject* numpy_dict = PyModule_GetDict(g.numpy.get());
  if (numpy_major(numpy_dict) < 2) return false;
  g.ndarray = Ref::borrow(PyDict_GetItemString(numpy_dict, "ndarray"));
  Ref attrs = type_dict(reinterpret_cast<PyTypeObject*>(extractor));
  g.binarize = attrs ? Ref::borrow(PyDict_GetItemString(attrs.get(), "_binarize")) : Ref();
  return g.ndarray && PyType_Check(g.ndarray.get()) && g.binarize;
}

}  // namespace

int read_sign_bits(PyObject* array, bool one_dimensional, std::vector<uint8_t>& out) {
  Py_buffer view;
  if (PyObject_GetBuffer(array, &view, PyBUF_RECORDS_RO) < 0) {
    // A dtype with no buffer format (datetime, ...): NumPy's own steps read it.
    PyErr_Clear();
    return 0;
  }
  bool read = false;
  try {
    read = (!one_dimensional || view.ndim == 1) && read_view(view, out);
  } catch (const std::bad_alloc&) {
    // left unread: NumPy's steps report what memory they lack
  } catch (const std::length_error&) {
    // the same
  }
  PyBuffer_Release(&view);
  return read ? 1 : 0;
}

bool binarize_feature(Function& fn, PyObject* self, PyObject* feature, FeatureBits& out) {
  State& st = fn.state<State>();
  Ref method = getattr(self, st.str._binarize);
  if (!method) return false;
  if (!st.feature.complete || !is_own_binarize(st.feature, method.get(), self)) {
    out.list = call(method.get(), feature);
    return static_cast<bool>(out.list);
  }
  // The module's own _binarize, run here step by step.
  Ref to_numpy_fn = global(fn, st.str._to_numpy);
  if (!to_numpy_fn) return false;
  Ref flat;
  if (to_numpy_fn.get() != st.feature.to_numpy.get()) {
    flat = call(to_numpy_fn.get(), feature);
  } else {
    const int read = to_numpy_or_bits(fn, st, feature, flat, out.bytes);
    if (read < 0) return false;
    out.native = read > 0;
    if (out.native) return true;
  }
  if (!flat) return false;
  // A tensor's array, or what a replaced _to_numpy gave: the comparison,
  // astype and tolist are NumPy's own work on an exact one-dimensional
  // ndarray too (tolist nests the rows of any other).
  if (exact_array(st.feature, flat.get()) && read_sign_bits(flat.get(), true, out.bytes)) {
    out.native = true;
    return true;
  }
  out.list = sign_bits(st, flat.get());
  return static_cast<bool>(out.list);
}

PyObject* bits_list(const State& st, FeatureBits& bits) {
  if (bits.list || !bits.native) return bits.list.get();
  const auto n = static_cast<Py_ssize_t>(bits.bytes.size());
  Ref list = Ref::steal(PyList_New(n));
  if (!list) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* bit = bits.bytes[static_cast<size_t>(i)] ? st.one.get() : st.zero.get();
    PyList_SET_ITEM(list.get(), i, Py_NewRef(bit));
  }
  bits.list = std::move(list);
  return bits.list.get();
}

Ref native_sign_bits(Function& fn, Args args) {
  const State& st = fn.state<State>();
  PyObject* feature = args[0];
  std::vector<uint8_t> bits;
  if (!exact_array(st.feature, feature) || !read_sign_bits(feature, false, bits)) {
    return Ref::borrow(Py_None);
  }
  return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bits.data()),
                                              static_cast<Py_ssize_t>(bits.size())));
}

void capture_feature(PyObject* module, GenuineFeature& g) {
  if (capture(module, g)) {
    g.complete = true;
    return;
  }
  PyErr_Clear();
  g = GenuineFeature{};
}

int GenuineFeature::traverse(visitproc visit, void* arg) const {
  Py_VISIT(numpy.get());
  Py_VISIT(ndarray.get());
  Py_VISIT(to_numpy.get());
  Py_VISIT(binarize.get());
  return 0;
}

}  // namespace orvex::fuzzy
