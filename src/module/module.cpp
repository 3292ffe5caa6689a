// Entry point of the _ombrel extension module. Single-phase initialisation:
// the module has no state of its own and no module-level functions.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyMethodDef module_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_ombrel",
    "vorn.ev-backed asyncio event loop (native extension).",
    -1,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__ombrel() {
  return PyModule_Create2(&module_def, 1013);
}
