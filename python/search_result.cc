// SearchResult: one hit of a search. It keeps the document it found (documents are immutable and
// shared), builds the id and text strings on their first read and keeps them, and builds a new
// dict on each read of `metadata`, so changing the dict that was handed out changes nothing here.
// Most callers read only a few fields of a few results: nothing is converted before it is read.

#include <cstdio>
#include <new>
#include <string>
#include <utility>

#include "python/convert.h"
#include "python/errors.h"
#include "python/result_types.h"

namespace kestrine::py {
namespace {

PyTypeObject* g_search_result_type = nullptr;

struct SearchResultObject {
  PyObject_HEAD PyObject* id;  // null until first read
  PyObject* text;              // null until first read
  float score;
  DocumentPtr document;  // constructed in place by make_search_result, destroyed by dealloc
};

SearchResultObject* as_result(PyObject* self) {
  return reinterpret_cast<SearchResultObject*>(self);
}

PyObject* result_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for SearchResult");
  return nullptr;
}

void result_dealloc(PyObject* self) {
  SearchResultObject* r = as_result(self);
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(r->id);
  Py_XDECREF(r->text);
  r->document.~DocumentPtr();
  type->tp_free(self);
  Py_DECREF(type);
}

// The id and text strings, built on first read and kept, so that every read gives the same
// object. Null with an exception set when building fails.
PyObject* id_of(SearchResultObject* r) {
  if (r->id == nullptr) r->id = uuid_to_str(r->document->id);
  return r->id;
}
PyObject* text_of(SearchResultObject* r) {
  if (r->text == nullptr) r->text = text_to_str(r->document->text);
  return r->text;
}

PyObject* get_id(PyObject* self, void*) { return Py_XNewRef(id_of(as_result(self))); }
PyObject* get_text(PyObject* self, void*) { return Py_XNewRef(text_of(as_result(self))); }
PyObject* get_score(PyObject* self, void*) {
  return PyFloat_FromDouble(static_cast<double>(as_result(self)->score));
}
PyObject* get_metadata(PyObject* self, void*) {
  return metadata_to_dict(as_result(self)->document->metadata);
}

// The preview is the text up to 50 bytes, cut back to a character boundary so that it stays
// valid UTF-8, followed by "..." when the text was longer.
PyObject* result_repr(PyObject* self) {
  SearchResultObject* r = as_result(self);
  PyObject* id = id_of(r);
  if (id == nullptr) return nullptr;
  PyObject* text_object = text_of(r);
  if (text_object == nullptr) return nullptr;
  Py_ssize_t size;
  const char* text = PyUnicode_AsUTF8AndSize(text_object, &size);
  if (text == nullptr) return nullptr;
  std::string preview;
  if (size <= 50) {
    preview.assign(text, static_cast<size_t>(size));
  } else {
    size_t cut = 50;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    preview.assign(text, cut);
    preview += "...";
  }
  char score[64];
  std::snprintf(score, sizeof score, "%.4f", static_cast<double>(r->score));
  PyRef preview_object(text_to_str(preview));
  if (!preview_object) return nullptr;
  return PyUnicode_FromFormat("SearchResult(id='%U', text='%U', score=%s)", id,
                              preview_object.get(), score);
}

PyGetSetDef result_getset[] = {
    {"id", get_id, nullptr, "The document's UUID in hyphenated lowercase form.", nullptr},
    {"text", get_text, nullptr, "The document's text.", nullptr},
    {"score", get_score, nullptr, "The hit's score (similarity, BM25 or fused).", nullptr},
    {"metadata", get_metadata, nullptr, "A new dict of the document's metadata.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("A single search result with document ID, text, score, and metadata.")},
    {Py_tp_new, reinterpret_cast<void*>(result_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_getset, result_getset},
    {0, nullptr},
};

PyType_Spec result_spec = {
    "_kestrine.SearchResult",
    sizeof(SearchResultObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    result_slots,
};

}  // namespace

PyObject* create_search_result_type() {
  PyObject* type = PyType_FromSpec(&result_spec);
  g_search_result_type = reinterpret_cast<PyTypeObject*>(type);
  Py_XINCREF(type);  // the module keeps one reference, this file the other
  return type;
}

PyObject* make_search_result(DocumentPtr document, float score) {
  PyObject* self = g_search_result_type->tp_alloc(g_search_result_type, 0);
  if (self == nullptr) return nullptr;
  SearchResultObject* r = as_result(self);
  // tp_alloc zeroed the object: id and text are null until read.
  r->score = score;
  new (&r->document) DocumentPtr(std::move(document));
  return self;
}

}  // namespace kestrine::py
