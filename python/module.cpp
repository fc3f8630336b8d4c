// The quillmap Python module: quillmap.Reader reads values straight from the daemon's shared segment
// (the reader library), quillmap.Client talks to the daemon's socket (the socket client).
#include "python/py_support.h"

namespace {

PyModuleDef quillmap_module = {
    PyModuleDef_HEAD_INIT,
    "quillmap",
    "Reading a quillmap dictionary from its shared segment (Reader) and changing it through the daemon "
    "(Client).",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_quillmap() {
  quillmap::py::Ref module(PyModule_Create(&quillmap_module));
  if (!module) return nullptr;
  if (!quillmap::py::add_exception_types(module.get()) || !quillmap::py::add_reader_types(module.get()) ||
      !quillmap::py::add_client_types(module.get())) {
    return nullptr;
  }
  if (PyModule_AddStringConstant(module.get(), "__version__", QUILLMAP_VERSION) != 0) return nullptr;
  return module.release();
}
