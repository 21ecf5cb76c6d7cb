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

// import torch; if isinstance(feature, torch.Tensor):
//     return feature.detach().cpu().numpy().flatten()
// PyTorch is optional: an ImportError from any of these steps means "not a
// tensor", anything else is the caller's error.
Outcome tensor_to_numpy(const State& st, PyObject* feature, Ref& flat) {
  Ref torch = Ref::steal(PyImport_Import(st.str.torch));
  Ref tensor_type = torch ? getattr(torch.get(), st.str.Tensor) : Ref();
  int is_tensor = tensor_type ? PyObject_IsInstance(feature, tensor_type.get()) : -1;
  if (is_tensor > 0) {
    Ref detached = call_method(feature, st.str.detach);
    Ref on_cpu = detached ? call_method(detached.get(), st.str.cpu) : Ref();
    Ref array = on_cpu ? call_method(on_cpu.get(), st.str.numpy) : Ref();
    flat = array ? call_method(array.get(), st.str.flatten) : Ref();
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
  const State& st = fn.state<State>();
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
  Ref flat = to_numpy_fn ? call(to_numpy_fn.get(), args[1]) : Ref();
  Ref positive = flat ? Ref::steal(PyObject_RichCompare(flat.get(), st.zero.get(), Py_GT)) : Ref();
  Ref ints = positive ? call_method(positive.get(), st.str.astype,
                                    reinterpret_cast<PyObject*>(&PyLong_Type))
                      : Ref();
  Ref bits = ints ? call_method(ints.get(), st.str.tolist) : Ref();
  if (bits && !PyList_CheckExact(bits.get()) && bits.get() != Py_None) {
    PyErr_Format(PyExc_TypeError, msg::kUnexpectedResult, "list", Py_TYPE(bits.get())->tp_name);
    return {};
  }
  return bits;
}

}  // namespace orvex::fuzzy
