// Feature input: _to_numpy (tensor or array -> flat array) and
// FuzzyExtractor._binarize (flat array -> list of sign bits).
#include "fuzzy/messages.hpp"
#include "fuzzy/methods.hpp"
#include "fuzzy/state.hpp"
#include "runtime/module.hpp"
#include "runtime/ops.hpp"

namespace orvex::fuzzy {
namespace {

enum class Outcome { converted, not_a_tensor, failed };

// feature.detach().cpu().numpy().flatten()
Ref flatten_tensor(const State& st, PyObject* feature) {
  Ref detached = call_method(feature, st.str.detach);
  if (!detached) return {};
  Ref on_cpu = call_method(detached.get(), st.str.cpu);
  if (!on_cpu) return {};
  Ref array = call_method(on_cpu.get(), st.str.numpy);
  return array ? call_method(array.get(), st.str.flatten) : Ref();
}

// import torch; if isinstance(feature, torch.Tensor):
//     return feature.detach().cpu().numpy().flatten()
// PyTorch is optional: an ImportError from any of these steps means "not a
// tensor", anything else is the caller's error. Where PyTorch is missing, the
// import is answered from the memo of its last failure (import_memo.hpp).
Outcome tensor_to_numpy(State& st, PyObject* feature, Ref& flat) {
  Ref torch;
  if (import_torch(st, torch) == 0) return Outcome::not_a_tensor;
  Ref tensor_type = torch ? getattr(torch.get(), st.str.Tensor) : Ref();
  int is_tensor = tensor_type ? PyObject_IsInstance(feature, tensor_type.get()) : -1;
  if (is_tensor > 0) {
    flat = flatten_tensor(st, feature);
    if (flat) return Outcome::converted;
    is_tensor = -1;
  }
  if (is_tensor == 0) return Outcome::not_a_tensor;
  if (!PyErr_ExceptionMatches(PyExc_ImportError)) return Outcome::failed;
  PyErr_Clear();
  return Outcome::not_a_tensor;
}

}  // namespace

Ref to_numpy(Function& fn, Args args) {
  State& st = fn.state<State>();
  PyObject* feature = args[0];
  Ref flat;
  switch (tensor_to_numpy(st, feature, flat)) {
    case Outcome::converted:
      return flat;
    case Outcome::failed:
      return {};
    case Outcome::not_a_tensor:
      break;
  }
  Ref np = global(fn, st.str.np);
  Ref ndarray = np ? getattr(np.get(), st.str.ndarray) : Ref();
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

// (_to_numpy(feature) > 0).astype(int).tolist(), checked against the
// declared result type.
Ref binarize(Function& fn, Args args) {
  const State& st = fn.state<State>();
  Ref to_numpy_fn = global(fn, st.str._to_numpy);
  if (!to_numpy_fn) return {};
  Ref flat = call(to_numpy_fn.get(), args[1]);
  if (!flat) return {};
  Ref positive = Ref::steal(PyObject_RichCompare(flat.get(), st.zero.get(), Py_GT));
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

}  // namespace orvex::fuzzy
