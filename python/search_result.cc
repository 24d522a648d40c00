// SearchResult: one hit of a search. It keeps the id and text as Python strings and its own
// copy of the metadata; each read of `metadata` builds a new dict, so changing the dict that
// was handed out changes nothing here.

#include <cstdio>
#include <string>

#include "python/convert.h"
#include "python/errors.h"
#include "python/result_types.h"

namespace kestrine::py {
namespace {

PyTypeObject* g_search_result_type = nullptr;

struct SearchResultObject {
  PyObject_HEAD PyObject* id;
  PyObject* text;
  float score;
  Metadata* metadata;
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
  delete r->metadata;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* get_id(PyObject* self, void*) { return Py_NewRef(as_result(self)->id); }
PyObject* get_text(PyObject* self, void*) { return Py_NewRef(as_result(self)->text); }
PyObject* get_score(PyObject* self, void*) {
  return PyFloat_FromDouble(static_cast<double>(as_result(self)->score));
}
PyObject* get_metadata(PyObject* self, void*) {
  return metadata_to_dict(*as_result(self)->metadata);
}

// The preview is the text up to 50 bytes, cut back to a character boundary so that it stays
// valid UTF-8, followed by "..." when the text was longer.
PyObject* result_repr(PyObject* self) {
  SearchResultObject* r = as_result(self);
  Py_ssize_t size;
  const char* text = PyUnicode_AsUTF8AndSize(r->text, &size);
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
  return PyUnicode_FromFormat("SearchResult(id='%U', text='%U', score=%s)", r->id,
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

PyObject* make_search_result(const Document& document, float score) {
  PyRef id(text_to_str(format_uuid(document.id)));
  if (!id) return nullptr;
  PyRef text(text_to_str(document.text));
  if (!text) return nullptr;
  PyObject* self = g_search_result_type->tp_alloc(g_search_result_type, 0);
  if (self == nullptr) return nullptr;
  SearchResultObject* r = as_result(self);
  r->id = id.release();
  r->text = text.release();
  r->score = score;
  r->metadata = new Metadata(document.metadata);
  return self;
}

}  // namespace kestrine::py
