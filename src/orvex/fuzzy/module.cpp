// orvex.fuzzy: module initialisation (placeholder until the module is built).
#include "runtime/module.hpp"

namespace {
PyModuleDef_Slot slots[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "fuzzy", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr};
}  // namespace

PyMODINIT_FUNC PyInit_fuzzy() {
  return PyModuleDef_Init(&module_def);
}
