// The module entry. The module belongs to the first interpreter that imports it: importing it
// again there returns the same module object, and any other (sub-)interpreter gets an
// ImportError, because the classes and the engine's per-process state are shared.

#include "python/errors.h"
#include "python/kestrine_object.h"
#include "python/result_types.h"

namespace kestrine::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_kestrine",
    "Kestrine's engine: an in-process vector database with HNSW and BM25 indexing.",
    0,  // no per-module state; importing again calls the init function, which checks the owner
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* create_module() {
  PyRef module(PyModule_Create(&module_def));
  if (!module) return nullptr;
  struct {
    const char* name;
    PyObject* (*create)();
  } classes[] = {
      {"Kestrine", create_kestrine_type},
      {"SearchResult", create_search_result_type},
      {"CollectionInfo", create_collection_info_type},
  };
  for (const auto& c : classes) {
    PyRef type(c.create());
    if (!type) return nullptr;
    if (PyModule_AddObjectRef(module.get(), c.name, type.get()) < 0) return nullptr;
  }
  return module.release();
}

}  // namespace
}  // namespace kestrine::py

PyMODINIT_FUNC PyInit__kestrine(void) {
  static int64_t owner = -1;
  static PyObject* module = nullptr;
  const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (owner == -1) {
    owner = interpreter;
  } else if (owner != interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "_kestrine does not support sub-interpreters: it can only be imported by the "
                    "interpreter that imported it first");
    return nullptr;
  }
  if (module == nullptr) {
    module = kestrine::py::create_module();
    if (module == nullptr) return nullptr;
  }
  return Py_NewRef(module);
}
