// Feature input: _to_numpy (tensor or array -> flat array) and
// FuzzyExtractor._binarize (flat array -> list of sign bits).
#include "fuzzy/features.hpp"
#include "fuzzy/messages.hpp"
#include "fuzzy/methods.hpp"
#include "runtime/module.hpp"
#include "runtime/ops.hpp"

namespace orvex::fuzzy {
namespace {

// feature.detach().cpu().numpy().flatten()
Ref flatten_tensor(const State& st, PyObject* feature) {
  Ref detached = call_method(feature, st.str.detach);
  if (!detached) return {};
  Ref on_cpu = call_method(detached.get(), st.str.cpu);
  if (!on_cpu) return {};
  Ref array = call_method(on_cpu.get(), st.str.numpy);
  return array ? call_method(array.get(), st.str.flatten) : Ref();
}

}  // namespace

TensorOutcome tensor_to_numpy(State& st, PyObject* feature, Ref& flat) {
  Ref torch;
  if (import_torch(st, torch) == 0) return TensorOutcome::not_a_tensor;
  Ref tensor_type = torch ? getattr(torch.get(), st.str.Tensor) : Ref();
  int is_tensor = tensor_type ? PyObject_IsInstance(feature, tensor_type.get()) : -1;
  if (is_tensor > 0) {
    flat = flatten_tensor(st, feature);
    if (flat) return TensorOutcome::converted;
    is_tensor = -1;
  }
  if (is_tensor == 0) return TensorOutcome::not_a_tensor;
  if (!PyErr_ExceptionMatches(PyExc_ImportError)) return TensorOutcome::failed;
  PyErr_Clear();
  return TensorOutcome::not_a_tensor;
}

Ref flatten_array(const State& st, PyObject* np, PyObject* feature) {
  Ref ndarray = getattr(np, st.str.ndarray);
  if (!ndarray) return {};
  const int is_array = PyObject_IsInstance(feature, ndarray.get());
  if (is_array < 0) return {};
  if (is_array) return call_method(feature, st.str.flatten);
  // str(type(feature)) may run a metaclass's __str__: hold the type.
  Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(feature)));
  Ref message = concat_str(msg::kBadFeature, type.get());
  if (message) PyErr_SetObject(PyExc_TypeError, message.get());
  return {};
}

Ref sign_bits(const State& st, PyObject* flat) {
  Ref positive = Ref::steal(PyObject_RichCompare(flat, st.zero.get(), Py_GT));
  if (!positive) return {};
  Ref ints = call_method(positive.get(), st.str.astype, reinterpret_cast<PyObject*>(&PyLong_Type));
  if (!ints) return {};
  Ref bits = call_method(ints.get(), st.str.tolist);
  if (bits && !PyList_CheckExact(bits.get()) && bits.get() != Py_None) {
    PyErr_Format(PyExc_TypeError, msg::kUnexpectedResult, "list", Py_TYPE(bits.get())->tp_name);
    return {};
  }
  return bits;
}

Ref to_numpy(Function& fn, Args args) {
  State& st = fn.state<State>();
  PyObject* feature = args[0];
  Ref flat;
  switch (tensor_to_numpy(st, feature, flat)) {
    case TensorOutcome::converted:
      return flat;
    case TensorOutcome::failed:
      return {};
    case TensorOutcome::not_a_tensor:
      break;
  }
  Ref np = global(fn, st.str.np);
  return np ? flatten_array(st, np.get(), feature) : Ref();
}

// (_to_numpy(feature) > 0).astype(int).tolist()
Ref binarize(Function& fn, Args args) {
  const State& st = fn.state<State>();
  Ref to_numpy_fn = global(fn, st.str._to_numpy);
  if (!to_numpy_fn) return {};
  Ref flat = call(to_numpy_fn.get(), args[1]);
  return flat ? sign_bits(st, flat.get()) : Ref();
}

}  // namespace orvex::fuzzy
