// Work on dtypes that need not be repeated while the module's np is NumPy
// itself: the dtypes already found restorable (by identity, with their text)
// and the dtype texts already parsed by np.dtype.
//
// Both answers are pure functions of immutable NumPy objects, so reusing them
// changes nothing a caller can see; with any other np the vault does the work
// every time.
#pragma once

#include "runtime/ref.hpp"

#include <array>

namespace orvex::vault {

class DtypeMemo {
 public:
  // NumPy's module and its dtype type, as bound at import.
  [[nodiscard]] bool init(PyObject* numpy);
  // True when `np` is NumPy as imported and np.dtype is still its own.
  [[nodiscard]] bool applies(PyObject* np, PyObject* dtype_name) const;

  // str(dtype) of a dtype found restorable before, or nullptr (borrowed).
  PyObject* known_text(PyObject* dtype) const;
  void remember_text(PyObject* dtype, PyObject* text);

  // np.dtype(text) for an exact str parsed before, or nullptr (borrowed).
  PyObject* parsed(PyObject* text) const;
  void remember_parsed(PyObject* text, PyObject* dtype);

  int traverse(visitproc visit, void* arg);

 private:
  struct Entry {
    Ref dtype;
    Ref text;
  };
  // Arrays of a handful of dtypes are the rule: a small ring of identities is
  // enough, and never grows.
  static constexpr size_t kKnown = 16;
  static constexpr Py_ssize_t kParsedMax = 64;

  Ref numpy_;
  Ref dtype_type_;
  std::array<Entry, kKnown> known_{};
  size_t next_ = 0;
  Ref parsed_;  // dict: exact str -> dtype
};

}  // namespace orvex::vault
