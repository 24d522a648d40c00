// The Kestrine class. Each method binds its arguments, converts them in signature order (a
// TypeError from a conversion is re-raised as "argument '<name>': ..."), calls the engine and
// turns the result, or the engine's error, into Python objects.

#include "python/kestrine_object.h"

#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/engine/engine.h"
#include "python/convert.h"
#include "python/docstrings.h"
#include "python/document_methods.h"
#include "python/errors.h"
#include "python/result_types.h"

namespace kestrine::py {
namespace {

struct KestrineObject {
  PyObject_HEAD Engine* engine;
};

Engine& engine_of(PyObject* self) { return *reinterpret_cast<KestrineObject*>(self)->engine; }

// Converts failed for argument `name`: adds the prefix to a TypeError and reports failure.
PyObject* argument_failed(const char* name) {
  prefix_argument_error(name);
  return nullptr;
}

bool is_given(PyObject* object) { return object != nullptr && object != Py_None; }

// The engine looks the collection up itself; insert, batch_insert and search ask first only
// so that an unknown collection is reported before the errors of the conversions that follow
// the look-up (metadata, documents, filter). False with KeyError set when there is none.
bool report_unknown_collection(const Engine& engine, std::string_view name) {
  auto collection = engine.find_collection(name);
  if (collection) return true;
  raise_error(collection.error());
  return false;
}

// A path goes to the operating system as a C string: a NUL inside would silently cut it short
// and name another file. Refused the way Python's own file functions refuse it.
bool check_path(const std::string& path) {
  if (path.find('\0') == std::string::npos) return true;
  PyErr_SetString(PyExc_ValueError, "embedded null byte");
  return false;
}

// ---- constructor and lifetime --------------------------------------------------------------

// Passes the engine's warnings on as RuntimeWarning. False when a warning was turned into an
// exception (a warnings filter set to "error").
bool issue_warnings(const std::vector<std::string>& warnings) {
  for (const std::string& warning : warnings) {
    // Paths in the texts are bytes from the file system: never let them fail the decoding.
    PyRef text(
        PyUnicode_DecodeUTF8(warning.data(), static_cast<Py_ssize_t>(warning.size()), "replace"));
    if (!text) return false;
    const char* utf8 = PyUnicode_AsUTF8(text.get());
    if (utf8 == nullptr || PyErr_WarnEx(PyExc_RuntimeWarning, utf8, 1) < 0) return false;
  }
  return true;
}

PyObject* kestrine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data_dir", "encryption_key", nullptr};
  PyObject* data_dir_object = nullptr;
  PyObject* key_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:Kestrine", const_cast<char**>(keywords),
                                   &data_dir_object, &key_object)) {
    return nullptr;
  }
  std::string data_dir, key_text;
  if (is_given(data_dir_object) && !to_text(data_dir_object, &data_dir)) {
    return argument_failed("data_dir");
  }
  if (!check_path(data_dir)) return nullptr;
  if (is_given(key_object) && !to_text(key_object, &key_text)) {
    return argument_failed("encryption_key");
  }
  // The key is checked before anything on disk is touched.
  KeyPtr key;
  if (is_given(key_object)) {
    auto parsed = parse_key(key_text);
    if (!parsed) return raise_error(parsed.error());
    key = std::move(*parsed);
  }
  std::unique_ptr<Engine> engine;
  std::vector<std::string> warnings;
  if (is_given(data_dir_object)) {
    auto opened = Engine::open(data_dir, std::move(key), &warnings);
    if (!opened) return raise_error(opened.error());
    engine = std::move(*opened);
  } else {
    engine = std::make_unique<Engine>(std::move(key));
  }
  if (!issue_warnings(warnings)) return nullptr;
  PyRef self(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  reinterpret_cast<KestrineObject*>(self.get())->engine = engine.release();
  return self.release();
}

void kestrine_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<KestrineObject*>(self)->engine;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* kestrine_repr(PyObject* self) {
  return PyUnicode_FromFormat("Kestrine(collections=%zu)", engine_of(self).collection_count());
}

// ---- collections ---------------------------------------------------------------------------

PyObject* create_collection(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"name",
                                   "dimension",
                                   "m",
                                   "ef_construction",
                                   "ef_search",
                                   "distance_metric",
                                   "store_raw_vectors",
                                   nullptr};
  PyObject *name_object, *dimension_object, *m_object = nullptr, *ef_construction_object = nullptr,
                                            *ef_search_object = nullptr, *metric_object = nullptr,
                                            *raw_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OOOOO:create_collection",
                                   const_cast<char**>(keywords), &name_object, &dimension_object,
                                   &m_object, &ef_construction_object, &ef_search_object,
                                   &metric_object, &raw_object)) {
    return nullptr;
  }
  std::string name;
  uint64_t dimension;
  HnswConfig config;
  std::string metric_text = "cosine";
  if (!to_text(name_object, &name)) return argument_failed("name");
  if (!to_size(dimension_object, &dimension)) return argument_failed("dimension");
  if (is_given(m_object) && !to_size(m_object, &config.m)) return argument_failed("m");
  if (is_given(ef_construction_object) &&
      !to_size(ef_construction_object, &config.ef_construction)) {
    return argument_failed("ef_construction");
  }
  if (is_given(ef_search_object) && !to_size(ef_search_object, &config.ef_search)) {
    return argument_failed("ef_search");
  }
  if (is_given(metric_object) && !to_text(metric_object, &metric_text)) {
    return argument_failed("distance_metric");
  }
  if (is_given(raw_object) && !to_bool(raw_object, &config.store_raw_vectors)) {
    return argument_failed("store_raw_vectors");
  }
  // Twice m, saturating: an absurd m must not wrap around to a small layer-0 budget.
  config.m_max0 = config.m > std::numeric_limits<uint64_t>::max() / 2
                      ? std::numeric_limits<uint64_t>::max()
                      : 2 * config.m;
  auto metric = parse_metric(metric_text);
  if (!metric) {
    PyRef message(PyUnicode_FromFormat(
        "unknown distance metric: '%s' (use 'cosine', 'euclidean', or 'dot_product')",
        metric_text.c_str()));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return nullptr;
  }
  config.distance_metric = *metric;
  if (auto ok = engine_of(self).create_collection(name, dimension, config); !ok) {
    return raise_error(ok.error());
  }
  Py_RETURN_NONE;
}

PyObject* delete_collection(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"name", nullptr};
  PyObject* name_object;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:delete_collection",
                                   const_cast<char**>(keywords), &name_object)) {
    return nullptr;
  }
  std::string name;
  if (!to_text(name_object, &name)) return argument_failed("name");
  auto existed = engine_of(self).delete_collection(name);
  if (!existed) return raise_error(existed.error());
  return PyBool_FromLong(*existed);
}

PyObject* list_collections(PyObject* self, PyObject*) {
  std::vector<std::string> names = engine_of(self).list_collections();
  PyRef list(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < names.size(); ++i) {
    PyObject* item = text_to_str(names[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* collection_info(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"name", nullptr};
  PyObject* name_object;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:collection_info", const_cast<char**>(keywords),
                                   &name_object)) {
    return nullptr;
  }
  std::string name;
  if (!to_text(name_object, &name)) return argument_failed("name");
  auto info = engine_of(self).collection_info(name);
  if (!info) return raise_error(info.error());
  return make_collection_info(info->name, info->dimension, info->documents, info->memory_bytes);
}

PyObject* total_memory_bytes(PyObject* self, PyObject*) {
  return PyLong_FromUnsignedLongLong(engine_of(self).total_memory_bytes());
}

// ---- documents -----------------------------------------------------------------------------

PyObject* insert(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"collection", "text", "embedding", "metadata", "id", nullptr};
  PyObject *collection_object, *text_object, *embedding_object, *metadata_object = nullptr,
                                                                *id_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|OO:insert", const_cast<char**>(keywords),
                                   &collection_object, &text_object, &embedding_object,
                                   &metadata_object, &id_object)) {
    return nullptr;
  }
  std::string collection_name;
  auto document = std::make_shared<Document>();
  NewDocument incoming;
  if (!to_text(collection_object, &collection_name)) return argument_failed("collection");
  if (!to_text(text_object, &document->text)) return argument_failed("text");
  if (!to_embedding(embedding_object, &incoming.embedding)) return argument_failed("embedding");
  if (is_given(metadata_object) && !PyDict_Check(metadata_object)) {
    raise_type_mismatch(metadata_object, "PyDict");
    return argument_failed("metadata");
  }
  if (is_given(id_object) && !to_text(id_object, &incoming.id_text)) {
    return argument_failed("id");
  }

  Engine& engine = engine_of(self);
  if (!report_unknown_collection(engine, collection_name)) return nullptr;
  if (is_given(metadata_object) && !to_metadata(metadata_object, &document->metadata)) {
    return nullptr;
  }
  // Without an id, id_text stays empty and the engine draws one.
  if (is_given(id_object) && !to_uuid(incoming.id_text, &document->id)) return nullptr;
  incoming.document = std::move(document);
  auto id = engine.insert(collection_name, std::move(incoming));
  if (!id) return raise_error(id.error());
  return text_to_str(format_uuid(*id));
}

PyObject* batch_insert(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"collection", "documents", nullptr};
  PyObject *collection_object, *documents_object;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:batch_insert", const_cast<char**>(keywords),
                                   &collection_object, &documents_object)) {
    return nullptr;
  }
  std::string collection_name;
  if (!to_text(collection_object, &collection_name)) return argument_failed("collection");
  if (!PyList_Check(documents_object)) {
    raise_type_mismatch(documents_object, "PyList");
    return argument_failed("documents");
  }
  Engine& engine = engine_of(self);
  if (!report_unknown_collection(engine, collection_name)) return nullptr;

  // Converting an element can run Python code that shrinks the list: stop at whichever of its
  // starting and current lengths is reached first.
  const Py_ssize_t initial_size = PyList_GET_SIZE(documents_object);
  std::vector<NewDocument> documents;
  documents.reserve(static_cast<size_t>(initial_size));
  for (Py_ssize_t i = 0; i < initial_size && i < PyList_GET_SIZE(documents_object); ++i) {
    PyRef item = PyRef::borrow(PyList_GET_ITEM(documents_object, i));
    NewDocument document;
    if (!to_new_document(item.get(), &document)) {
      set_document_index(static_cast<size_t>(i));
      return nullptr;
    }
    documents.push_back(std::move(document));
  }
  std::optional<size_t> failed_document;
  auto ids = engine.batch_insert(collection_name, std::move(documents), &failed_document);
  if (!ids) {
    raise_error(ids.error());
    if (failed_document) set_document_index(*failed_document);
    return nullptr;
  }
  PyRef list(PyList_New(static_cast<Py_ssize_t>(ids->size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < ids->size(); ++i) {
    PyObject* item = text_to_str(format_uuid((*ids)[i]));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// Binds (collection, id) and converts both.
bool bind_document_call(PyObject* args, PyObject* kwargs, const char* format,
                        std::string* collection, std::string* id_text) {
  static const char* keywords[] = {"collection", "id", nullptr};
  PyObject *collection_object, *id_object;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords),
                                   &collection_object, &id_object)) {
    return false;
  }
  if (!to_text(collection_object, collection)) return argument_failed("collection");
  if (!to_text(id_object, id_text)) return argument_failed("id");
  return true;
}

PyObject* get(PyObject* self, PyObject* args, PyObject* kwargs) {
  std::string collection, id_text;
  if (!bind_document_call(args, kwargs, "OO:get", &collection, &id_text)) return nullptr;
  auto document = engine_of(self).get_document(collection, id_text);
  if (!document) return raise_error(document.error());
  return document_to_dict(**document);
}

PyObject* delete_document(PyObject* self, PyObject* args, PyObject* kwargs) {
  std::string collection, id_text;
  if (!bind_document_call(args, kwargs, "OO:delete", &collection, &id_text)) return nullptr;
  auto deleted = engine_of(self).delete_document(collection, id_text);
  if (!deleted) return raise_error(deleted.error());
  return PyBool_FromLong(*deleted);
}

// ---- rebuild ------------------------------------------------------------------------------

PyObject* rebuild(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"collection", nullptr};
  PyObject* collection_object;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:rebuild", const_cast<char**>(keywords),
                                   &collection_object)) {
    return nullptr;
  }
  std::string collection_name;
  if (!to_text(collection_object, &collection_name)) return argument_failed("collection");
  auto count = engine_of(self).rebuild(collection_name);
  if (!count) return raise_error(count.error());
  return PyLong_FromUnsignedLongLong(*count);
}

// ---- search -------------------------------------------------------------------------------

PyObject* search(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"collection",     "query_embedding", "query_text",    "k",
                                   "min_similarity", "alpha",           "fusion_method", "filter",
                                   nullptr};
  PyObject *collection_object, *embedding_object = nullptr, *text_object = nullptr,
                               *k_object = nullptr, *min_similarity_object = nullptr,
                               *alpha_object = nullptr, *fusion_object = nullptr,
                               *filter_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOOOO:search", const_cast<char**>(keywords),
                                   &collection_object, &embedding_object, &text_object, &k_object,
                                   &min_similarity_object, &alpha_object, &fusion_object,
                                   &filter_object)) {
    return nullptr;
  }
  // k, alpha and fusion_method have defaults of their own type, so None is not "absent" for
  // them: it fails their conversion like any other wrong type.
  std::string collection_name;
  SearchRequest request;
  std::string fusion_method = "rrf";
  if (!to_text(collection_object, &collection_name)) return argument_failed("collection");
  if (is_given(embedding_object)) {
    std::vector<float> embedding;
    if (!to_embedding(embedding_object, &embedding)) return argument_failed("query_embedding");
    request.query_embedding = std::move(embedding);
  }
  if (is_given(text_object)) {
    std::string text;
    if (!to_text(text_object, &text)) return argument_failed("query_text");
    request.query_text = std::move(text);
  }
  if (k_object != nullptr) {
    uint64_t k;
    if (!to_size(k_object, &k)) return argument_failed("k");
    request.k = k;
  }
  if (is_given(min_similarity_object)) {
    float min_similarity;
    if (!to_float32(min_similarity_object, &min_similarity)) {
      return argument_failed("min_similarity");
    }
    request.min_similarity = min_similarity;
  }
  if (alpha_object != nullptr && !to_float32(alpha_object, &request.alpha)) {
    return argument_failed("alpha");
  }
  if (fusion_object != nullptr && !to_text(fusion_object, &fusion_method)) {
    return argument_failed("fusion_method");
  }
  request.linear_fusion = fusion_method == "linear";

  Engine& engine = engine_of(self);
  if (!report_unknown_collection(engine, collection_name)) return nullptr;
  if (auto ok = require_query(request); !ok) return raise_error(ok.error());
  // The filter is parsed here, after the look-up; its errors carry no argument prefix.
  if (is_given(filter_object)) {
    Filter filter;
    if (!to_filter(filter_object, &filter)) return nullptr;
    request.filter = std::move(filter);
  }
  auto hits = engine.search(collection_name, request);
  if (!hits) return raise_error(hits.error());
  PyRef list(PyList_New(static_cast<Py_ssize_t>(hits->size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < hits->size(); ++i) {
    PyObject* item = make_search_result(*(*hits)[i].document, (*hits)[i].score);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// ---- snapshots -----------------------------------------------------------------------------

// Binds (<first>, path=None, encryption_key=None), converting the optional texts.
bool bind_snapshot_call(PyObject* args, PyObject* kwargs, const char* format, const char* first,
                        std::string* name, std::optional<std::string>* path,
                        std::optional<std::string>* key_text) {
  const char* keywords[] = {first, "path", "encryption_key", nullptr};
  PyObject *name_object, *path_object = nullptr, *key_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &name_object,
                                   &path_object, &key_object)) {
    return false;
  }
  if (!to_text(name_object, name)) return argument_failed(first);
  std::string text;
  if (is_given(path_object)) {
    if (!to_text(path_object, &text)) return argument_failed("path");
    if (!check_path(text)) return false;
    *path = std::move(text);
  }
  if (is_given(key_object)) {
    if (!to_text(key_object, &text)) return argument_failed("encryption_key");
    *key_text = std::move(text);
  }
  return true;
}

PyObject* save(PyObject* self, PyObject* args, PyObject* kwargs) {
  std::string collection;
  std::optional<std::string> path, key_text;
  if (!bind_snapshot_call(args, kwargs, "O|OO:save", "collection", &collection, &path, &key_text)) {
    return nullptr;
  }
  if (auto ok = engine_of(self).save(collection, path, key_text); !ok) {
    return raise_error(ok.error());
  }
  Py_RETURN_NONE;
}

PyObject* load(PyObject* self, PyObject* args, PyObject* kwargs) {
  std::string name;
  std::optional<std::string> path, key_text;
  if (!bind_snapshot_call(args, kwargs, "O|OO:load", "name", &name, &path, &key_text)) {
    return nullptr;
  }
  if (auto ok = engine_of(self).load(name, path, key_text); !ok) return raise_error(ok.error());
  Py_RETURN_NONE;
}

PyObject* compact(PyObject* self, PyObject*) {
  if (auto ok = engine_of(self).compact(); !ok) return raise_error(ok.error());
  Py_RETURN_NONE;
}

// ---- the type ------------------------------------------------------------------------------

// A method of document_methods.h, called with the object's engine.
template <PyObject* (*method)(Engine&, PyObject*, PyObject*)>
PyObject* on_engine(PyObject* self, PyObject* args, PyObject* kwargs) {
  return method(engine_of(self), args, kwargs);
}

#define KESTRINE_METHOD(name, function, doc)                                        \
  {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function)), \
   METH_VARARGS | METH_KEYWORDS, doc}

PyMethodDef kestrine_methods[] = {
    KESTRINE_METHOD("create_collection", create_collection, doc::kCreateCollection),
    KESTRINE_METHOD("delete_collection", delete_collection, doc::kDeleteCollection),
    {"list_collections", list_collections, METH_NOARGS, doc::kListCollections},
    KESTRINE_METHOD("collection_info", collection_info, doc::kCollectionInfo),
    KESTRINE_METHOD("insert", insert, doc::kInsert),
    KESTRINE_METHOD("batch_insert", batch_insert, doc::kBatchInsert),
    KESTRINE_METHOD("get", get, doc::kGet),
    KESTRINE_METHOD("delete", delete_document, doc::kDelete),
    KESTRINE_METHOD("upsert", on_engine<upsert>, doc::kUpsert),
    KESTRINE_METHOD("batch_upsert", on_engine<batch_upsert>, doc::kBatchUpsert),
    KESTRINE_METHOD("get_many", on_engine<get_many>, doc::kGetMany),
    KESTRINE_METHOD("count", on_engine<count>, doc::kCount),
    KESTRINE_METHOD("scan", on_engine<scan>, doc::kScan),
    KESTRINE_METHOD("delete_many", on_engine<delete_many>, doc::kDeleteMany),
    KESTRINE_METHOD("rebuild", rebuild, doc::kRebuild),
    KESTRINE_METHOD("search", search, doc::kSearch),
    KESTRINE_METHOD("save", save, doc::kSave),
    KESTRINE_METHOD("load", load, doc::kLoad),
    {"compact", compact, METH_NOARGS, doc::kCompact},
    {"total_memory_bytes", total_memory_bytes, METH_NOARGS, doc::kTotalMemoryBytes},
    {nullptr, nullptr, 0, nullptr},
};

#undef KESTRINE_METHOD

PyType_Slot kestrine_slots[] = {
    {Py_tp_doc, const_cast<char*>(doc::kKestrine)},
    {Py_tp_new, reinterpret_cast<void*>(kestrine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(kestrine_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(kestrine_repr)},
    {Py_tp_methods, kestrine_methods},
    {0, nullptr},
};

PyType_Spec kestrine_spec = {
    "_kestrine.Kestrine", sizeof(KestrineObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kestrine_slots,
};

}  // namespace

PyObject* create_kestrine_type() { return PyType_FromSpec(&kestrine_spec); }

}  // namespace kestrine::py
