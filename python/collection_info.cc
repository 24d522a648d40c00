// CollectionInfo: a description of one collection, taken at one moment.

#include <cinttypes>

#include "python/convert.h"
#include "python/result_types.h"

namespace kestrine::py {
namespace {

PyTypeObject* g_collection_info_type = nullptr;

struct CollectionInfoObject {
  PyObject_HEAD PyObject* name;
  uint64_t dimension;
  uint64_t document_count;
  uint64_t estimated_memory_bytes;
};

CollectionInfoObject* as_info(PyObject* self) {
  return reinterpret_cast<CollectionInfoObject*>(self);
}

PyObject* info_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for CollectionInfo");
  return nullptr;
}

void info_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(as_info(self)->name);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_info(self)->name); }
PyObject* get_dimension(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_info(self)->dimension);
}
PyObject* get_document_count(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_info(self)->document_count);
}
PyObject* get_estimated_memory_bytes(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_info(self)->estimated_memory_bytes);
}

PyObject* info_repr(PyObject* self) {
  CollectionInfoObject* info = as_info(self);
  char numbers[128];
  std::snprintf(numbers, sizeof numbers,
                "dimension=%" PRIu64 ", documents=%" PRIu64 ", memory=%" PRIu64, info->dimension,
                info->document_count, info->estimated_memory_bytes);
  return PyUnicode_FromFormat("CollectionInfo(name='%U', %s)", info->name, numbers);
}

PyGetSetDef info_getset[] = {
    {"name", get_name, nullptr, "The collection's name.", nullptr},
    {"dimension", get_dimension, nullptr, "The embedding dimension.", nullptr},
    {"document_count", get_document_count, nullptr, "The number of live documents.", nullptr},
    {"estimated_memory_bytes", get_estimated_memory_bytes, nullptr,
     "An estimate of the collection's memory use in bytes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot info_slots[] = {
    {Py_tp_doc, const_cast<char*>("Information about a collection.")},
    {Py_tp_new, reinterpret_cast<void*>(info_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(info_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(info_repr)},
    {Py_tp_getset, info_getset},
    {0, nullptr},
};

PyType_Spec info_spec = {
    "_kestrine.CollectionInfo",
    sizeof(CollectionInfoObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    info_slots,
};

}  // namespace

PyObject* create_collection_info_type() {
  PyObject* type = PyType_FromSpec(&info_spec);
  g_collection_info_type = reinterpret_cast<PyTypeObject*>(type);
  Py_XINCREF(type);
  return type;
}

PyObject* make_collection_info(std::string_view name, uint64_t dimension, uint64_t document_count,
                               uint64_t estimated_memory_bytes) {
  PyRef name_object(text_to_str(name));
  if (!name_object) return nullptr;
  PyObject* self = g_collection_info_type->tp_alloc(g_collection_info_type, 0);
  if (self == nullptr) return nullptr;
  CollectionInfoObject* info = as_info(self);
  info->name = name_object.release();
  info->dimension = dimension;
  info->document_count = document_count;
  info->estimated_memory_bytes = estimated_memory_bytes;
  return self;
}

}  // namespace kestrine::py
