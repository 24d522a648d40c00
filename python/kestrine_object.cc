// The Kestrine class. Each method binds its arguments, converts them in signature order (a
// TypeError from a conversion is re-raised as "argument '<name>': ..."), calls the engine and
// turns the result, or the engine's error, into Python objects.

#include "python/kestrine_object.h"

#include <atomic>
#include <limits>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/engine/engine.h"
#include "python/arguments.h"
#include "python/convert.h"
#include "python/docstrings.h"
#include "python/document_methods.h"
#include "python/engine_access.h"
#include "python/errors.h"
#include "python/result_types.h"

namespace kestrine::py {
namespace {

// Converts failed for argument `name`: adds the prefix to a TypeError and reports failure.
PyObject* argument_failed(const char* name) {
  prefix_argument_error(name);
  return nullptr;
}

bool is_given(PyObject* object) { return object != nullptr && object != Py_None; }

// A path goes to the operating system as a C string: a NUL inside would silently cut it short
// and name another file. Refused the way Python's own file functions refuse it.
bool check_path(const std::string& path) {
  if (path.find('\0') == std::string::npos) return true;
  PyErr_SetString(PyExc_ValueError, "embedded null byte");
  return false;
}

// ---- constructor and lifetime --------------------------------------------------------------

// Converts `checkpoint_bytes`: None keeps the default threshold, 0 turns automatic
// checkpoints off, a negative int is a ValueError.
bool to_checkpoint_bytes(PyObject* object, std::optional<uint64_t>* out) {
  if (!is_given(object)) return true;
  PyRef index(PyNumber_Index(object));
  if (!index) return argument_failed("checkpoint_bytes");
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return argument_failed("checkpoint_bytes");
  if (overflow < 0 || (overflow == 0 && value < 0)) {
    PyErr_SetString(PyExc_ValueError, "checkpoint_bytes must be non-negative");
    return false;
  }
  // Beyond any log's reach: as good as off, but not the same setting.
  *out = overflow > 0 ? std::numeric_limits<uint64_t>::max() : static_cast<uint64_t>(value);
  return true;
}

PyObject* kestrine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data_dir", "encryption_key", "read_only", "checkpoint_bytes",
                                   nullptr};
  PyObject* data_dir_object = nullptr;
  PyObject* key_object = nullptr;
  PyObject* read_only_object = nullptr;
  PyObject* checkpoint_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOO:Kestrine", const_cast<char**>(keywords),
                                   &data_dir_object, &key_object, &read_only_object,
                                   &checkpoint_object)) {
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
  bool read_only = false;
  if (is_given(read_only_object) && !to_bool(read_only_object, &read_only)) {
    return argument_failed("read_only");
  }
  if (read_only && !is_given(data_dir_object)) {
    PyErr_SetString(PyExc_ValueError, "read_only=True requires data_dir");
    return nullptr;
  }
  // Checked with or without data_dir; an ephemeral database has no log to bound.
  std::optional<uint64_t> checkpoint_bytes;
  if (!to_checkpoint_bytes(checkpoint_object, &checkpoint_bytes)) return nullptr;
  // The key is checked before anything on disk is touched.
  KeyPtr key;
  if (is_given(key_object)) {
    auto parsed = parse_key(key_text);
    if (!parsed) return raise_error(parsed.error());
    key = std::move(*parsed);
  }
  auto handle = std::make_unique<Handle>();
  handle->read_only = read_only;
  std::vector<std::string> warnings;
  if (is_given(data_dir_object)) {
    // Opening reads every snapshot and replays the log: no Python object is involved.
    Result<std::unique_ptr<Engine>> opened;
    Py_BEGIN_ALLOW_THREADS;
    opened = read_only ? Engine::open_read_only(data_dir, std::move(key), &warnings)
                       : Engine::open(data_dir, std::move(key), &warnings, checkpoint_bytes);
    Py_END_ALLOW_THREADS;
    if (!opened) return raise_error(opened.error());
    handle->engine = std::move(*opened);
  } else {
    handle->engine = std::make_unique<Engine>(std::move(key));
  }
  // A warning raised as an exception drops the engine here, and with it the directory's lock.
  if (!issue_warnings(warnings)) return nullptr;
  PyRef self(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  reinterpret_cast<KestrineObject*>(self.get())->handle = handle.release();
  return self.release();
}

// Ends the engine: the log's file is closed and the directory's lock let go. Waits, without
// the interpreter lock, for the engine work in flight.
void close_engine(Handle& handle) {
  std::unique_ptr<Engine> engine;
  Py_BEGIN_ALLOW_THREADS;
  {
    std::unique_lock end(handle.gate);
    handle.closed.store(true);
    engine = std::move(handle.engine);
  }
  engine.reset();
  Py_END_ALLOW_THREADS;
}

void kestrine_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // No call can be in flight: each holds a reference.
  delete reinterpret_cast<KestrineObject*>(self)->handle;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* kestrine_repr(PyObject* self) {
  if (handle_of(self).closed.load()) return PyUnicode_FromString("Kestrine(closed)");
  auto count = unlocked(self, [](Engine& engine) { return engine.collection_count(); });
  if (!count) return nullptr;
  return PyUnicode_FromFormat("Kestrine(collections=%zu)", *count);
}

PyObject* close(PyObject* self, PyObject*) {
  close_engine(handle_of(self));
  Py_RETURN_NONE;
}

PyObject* enter(PyObject* self, PyObject*) {
  if (!usable(self)) return nullptr;
  return Py_NewRef(self);
}

PyObject* exit(PyObject* self, PyObject*) {
  close_engine(handle_of(self));
  Py_RETURN_FALSE;
}

// ---- collections ---------------------------------------------------------------------------

PyObject* create_collection(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!changeable(self)) return nullptr;
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
  auto created = unlocked(
      self, [&](Engine& engine) { return engine.create_collection(name, dimension, config); });
  if (!created) return nullptr;
  if (!*created) return raise_error(created->error());
  return with_warnings(self, Py_NewRef(Py_None));
}

PyObject* delete_collection(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!changeable(self)) return nullptr;
  static const char* keywords[] = {"name", nullptr};
  PyObject* name_object;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:delete_collection",
                                   const_cast<char**>(keywords), &name_object)) {
    return nullptr;
  }
  std::string name;
  if (!to_text(name_object, &name)) return argument_failed("name");
  auto existed = unlocked(self, [&](Engine& engine) { return engine.delete_collection(name); });
  if (!existed) return nullptr;
  if (!*existed) return raise_error(existed->error());
  return with_warnings(self, PyBool_FromLong(**existed));
}

PyObject* list_collections(PyObject* self, PyObject*) {
  if (!usable(self)) return nullptr;
  auto listed = unlocked(self, [](Engine& engine) { return engine.list_collections(); });
  if (!listed) return nullptr;
  const std::vector<std::string>& names = *listed;
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
  if (!usable(self)) return nullptr;
  static const char* keywords[] = {"name", nullptr};
  PyObject* name_object;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:collection_info", const_cast<char**>(keywords),
                                   &name_object)) {
    return nullptr;
  }
  std::string name;
  if (!to_text(name_object, &name)) return argument_failed("name");
  auto found = unlocked(self, [&](Engine& engine) { return engine.collection_info(name); });
  if (!found) return nullptr;
  if (!*found) return raise_error(found->error());
  const CollectionInfo& info = **found;
  return make_collection_info(info.name, info.dimension, info.documents, info.memory_bytes);
}

PyObject* total_memory_bytes(PyObject* self, PyObject*) {
  if (!usable(self)) return nullptr;
  auto bytes = unlocked(self, [](Engine& engine) { return engine.total_memory_bytes(); });
  if (!bytes) return nullptr;
  return PyLong_FromUnsignedLongLong(*bytes);
}

// ---- documents -----------------------------------------------------------------------------

PyObject* insert(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!changeable(self)) return nullptr;
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

  if (!report_unknown_collection(self, collection_name)) return nullptr;
  if (is_given(metadata_object) && !to_metadata(metadata_object, &document->metadata)) {
    return nullptr;
  }
  // Without an id, id_text stays empty and the engine draws one.
  if (is_given(id_object) && !to_uuid(incoming.id_text, &document->id)) return nullptr;
  incoming.document = std::move(document);
  auto id = unlocked(
      self, [&](Engine& engine) { return engine.insert(collection_name, std::move(incoming)); });
  if (!id) return nullptr;
  if (!*id) return raise_error(id->error());
  return with_warnings(self, uuid_to_str(**id));
}

PyObject* batch_insert(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!changeable(self)) return nullptr;
  static const char* keywords[] = {"collection", "documents", "threads", nullptr};
  PyObject *collection_object, *documents_object, *threads_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:batch_insert", const_cast<char**>(keywords),
                                   &collection_object, &documents_object, &threads_object)) {
    return nullptr;
  }
  std::string collection_name;
  uint64_t threads = 1;
  if (!to_text(collection_object, &collection_name)) return argument_failed("collection");
  if (!PyList_Check(documents_object)) {
    raise_type_mismatch(documents_object, "PyList");
    return argument_failed("documents");
  }
  if (threads_object != nullptr && !to_thread_count(threads_object, &threads)) {
    return argument_failed("threads");
  }
  if (!report_unknown_collection(self, collection_name)) return nullptr;

  std::vector<NewDocument> documents;
  if (!to_new_documents(documents_object, &documents)) return nullptr;
  std::optional<size_t> failed_document;
  auto inserted = unlocked(self, [&](Engine& engine) {
    return engine.batch_insert(collection_name, std::move(documents), &failed_document, threads);
  });
  if (!inserted) return nullptr;
  if (!*inserted) {
    raise_error(inserted->error());
    if (failed_document) set_document_index(*failed_document);
    return nullptr;
  }
  const std::vector<Uuid>& ids = **inserted;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < ids.size(); ++i) {
    PyObject* item = uuid_to_str(ids[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return with_warnings(self, list.release());
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
  if (!usable(self)) return nullptr;
  std::string collection, id_text;
  if (!bind_document_call(args, kwargs, "OO:get", &collection, &id_text)) return nullptr;
  auto document =
      unlocked(self, [&](Engine& engine) { return engine.get_document(collection, id_text); });
  if (!document) return nullptr;
  if (!*document) return raise_error(document->error());
  return document_to_dict(***document);
}

PyObject* delete_document(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!changeable(self)) return nullptr;
  std::string collection, id_text;
  if (!bind_document_call(args, kwargs, "OO:delete", &collection, &id_text)) return nullptr;
  auto deleted =
      unlocked(self, [&](Engine& engine) { return engine.delete_document(collection, id_text); });
  if (!deleted) return nullptr;
  if (!*deleted) return raise_error(deleted->error());
  return with_warnings(self, PyBool_FromLong(**deleted));
}

// ---- rebuild ------------------------------------------------------------------------------

PyObject* rebuild(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!changeable(self)) return nullptr;
  static const char* keywords[] = {"collection", nullptr};
  PyObject* collection_object;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:rebuild", const_cast<char**>(keywords),
                                   &collection_object)) {
    return nullptr;
  }
  std::string collection_name;
  if (!to_text(collection_object, &collection_name)) return argument_failed("collection");
  auto count = unlocked(self, [&](Engine& engine) { return engine.rebuild(collection_name); });
  if (!count) return nullptr;
  if (!*count) return raise_error(count->error());
  return PyLong_FromUnsignedLongLong(**count);
}

// ---- search -------------------------------------------------------------------------------

// Converts the options that follow the queries in search and search_many, in signature order,
// into `request`. k, alpha and fusion_method have defaults of their own type, so None is not
// "absent" for them: it fails their conversion like any other wrong type. ef_search (keyword
// only) is None for the collection's own value.
bool convert_search_options(PyObject* k_object, PyObject* min_similarity_object,
                            PyObject* alpha_object, PyObject* fusion_object,
                            PyObject* ef_search_object, SearchRequest* request) {
  if (k_object != nullptr) {
    uint64_t k;
    if (!to_size(k_object, &k)) return argument_failed("k");
    request->k = k;
  }
  if (is_given(min_similarity_object)) {
    float min_similarity;
    if (!to_float32(min_similarity_object, &min_similarity)) {
      return argument_failed("min_similarity");
    }
    request->min_similarity = min_similarity;
  }
  if (alpha_object != nullptr && !to_float32(alpha_object, &request->alpha)) {
    return argument_failed("alpha");
  }
  std::string fusion_method = "rrf";
  if (fusion_object != nullptr && !to_text(fusion_object, &fusion_method)) {
    return argument_failed("fusion_method");
  }
  request->linear_fusion = fusion_method == "linear";
  if (is_given(ef_search_object)) {
    uint64_t ef_search;
    if (!to_ef_search(ef_search_object, &ef_search)) return argument_failed("ef_search");
    request->ef_search = ef_search;
  }
  return true;
}

// The filter is parsed after the collection's look-up; its errors carry no argument prefix.
bool convert_filter(PyObject* filter_object, SearchRequest* request) {
  if (!is_given(filter_object)) return true;
  Filter filter;
  if (!to_filter(filter_object, &filter)) return false;
  request->filter = std::move(filter);
  return true;
}

// One search's hits as a list of SearchResult, which take over the documents.
PyObject* hits_to_list(std::vector<ScoredDocument>& hits) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < hits.size(); ++i) {
    PyObject* item = make_search_result(std::move(hits[i].document), hits[i].score);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* search(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!usable(self)) return nullptr;
  static const char* keywords[] = {
      "collection", "query_embedding", "query_text", "k",         "min_similarity",
      "alpha",      "fusion_method",   "filter",     "ef_search", nullptr};
  static const Parameters parameters(keywords, 8, 1);
  PyObject* bound[9];
  if (!parameters.bind(args, kwargs, bound) &&
      !PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOOOO$O:search", const_cast<char**>(keywords),
                                   &bound[0], &bound[1], &bound[2], &bound[3], &bound[4], &bound[5],
                                   &bound[6], &bound[7], &bound[8])) {
    return nullptr;
  }
  PyObject *collection_object = bound[0], *embedding_object = bound[1], *text_object = bound[2],
           *k_object = bound[3], *min_similarity_object = bound[4], *alpha_object = bound[5],
           *fusion_object = bound[6], *filter_object = bound[7], *ef_search_object = bound[8];
  std::string collection_name;
  SearchRequest request;
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
  if (!convert_search_options(k_object, min_similarity_object, alpha_object, fusion_object,
                              ef_search_object, &request)) {
    return nullptr;
  }

  // An unknown collection is reported before a missing query and before the filter's errors.
  // Without a filter to convert, a request with a query goes straight to the engine, which
  // reports an unknown collection first as well: one release of the interpreter lock, not two.
  const bool needs_checks = is_given(filter_object) || !require_query(request);
  if (needs_checks && !report_unknown_collection(self, collection_name)) return nullptr;
  if (auto ok = require_query(request); !ok) return raise_error(ok.error());
  if (!convert_filter(filter_object, &request)) return nullptr;
  auto searched =
      unlocked(self, [&](Engine& engine) { return engine.search(collection_name, request); });
  if (!searched) return nullptr;
  if (!*searched) return raise_error(searched->error());
  return hits_to_list(**searched);
}

PyObject* search_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!usable(self)) return nullptr;
  static const char* keywords[] = {
      "collection",    "query_embeddings", "query_texts", "k",         "min_similarity", "alpha",
      "fusion_method", "filter",           "threads",     "ef_search", nullptr};
  static const Parameters parameters(keywords, 9, 1);
  PyObject* bound[10];
  if (!parameters.bind(args, kwargs, bound) &&
      !PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOOOOO$O:search_many",
                                   const_cast<char**>(keywords), &bound[0], &bound[1], &bound[2],
                                   &bound[3], &bound[4], &bound[5], &bound[6], &bound[7], &bound[8],
                                   &bound[9])) {
    return nullptr;
  }
  PyObject *collection_object = bound[0], *embeddings_object = bound[1], *texts_object = bound[2],
           *k_object = bound[3], *min_similarity_object = bound[4], *alpha_object = bound[5],
           *fusion_object = bound[6], *filter_object = bound[7], *threads_object = bound[8],
           *ef_search_object = bound[9];
  std::string collection_name;
  std::vector<std::vector<float>> embeddings;
  std::vector<std::string> texts;
  SearchRequest options;
  uint64_t threads = 1;
  if (!to_text(collection_object, &collection_name)) return argument_failed("collection");
  if (is_given(embeddings_object) && !to_embedding_rows(embeddings_object, &embeddings)) {
    return argument_failed("query_embeddings");
  }
  if (is_given(texts_object) && !to_text_list(texts_object, &texts)) {
    return argument_failed("query_texts");
  }
  if (!convert_search_options(k_object, min_similarity_object, alpha_object, fusion_object,
                              ef_search_object, &options)) {
    return nullptr;
  }
  if (threads_object != nullptr && !to_thread_count(threads_object, &threads)) {
    return argument_failed("threads");
  }

  if (!report_unknown_collection(self, collection_name)) return nullptr;
  const bool with_embeddings = is_given(embeddings_object);
  const bool with_texts = is_given(texts_object);
  if (!with_embeddings && !with_texts) {
    return raise_error(
        Error::invalid_value("at least one of query_embeddings or query_texts is required"));
  }
  if (with_embeddings && with_texts && embeddings.size() != texts.size()) {
    return raise_error(Error::invalid_value(
        "query_embeddings and query_texts differ in length: " + std::to_string(embeddings.size()) +
        " and " + std::to_string(texts.size())));
  }
  if (!convert_filter(filter_object, &options)) return nullptr;
  const size_t count = with_embeddings ? embeddings.size() : texts.size();
  std::vector<SearchRequest> requests(count, options);
  for (size_t i = 0; i < count; ++i) {
    if (with_embeddings) requests[i].query_embedding = std::move(embeddings[i]);
    if (with_texts) requests[i].query_text = std::move(texts[i]);
  }
  // Every query is converted before and every result object built after the searches, which
  // run with the interpreter lock released.
  auto searched = unlocked(
      self, [&](Engine& engine) { return engine.search_many(collection_name, requests, threads); });
  if (!searched) return nullptr;
  if (!*searched) return raise_error(searched->error());
  std::vector<std::vector<ScoredDocument>>& hits = **searched;
  PyRef lists(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!lists) return nullptr;
  for (size_t i = 0; i < hits.size(); ++i) {
    PyObject* list = hits_to_list(hits[i]);
    if (list == nullptr) return nullptr;
    PyList_SET_ITEM(lists.get(), static_cast<Py_ssize_t>(i), list);
  }
  return lists.release();
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
  if (!usable(self)) return nullptr;
  std::string collection;
  std::optional<std::string> path, key_text;
  if (!bind_snapshot_call(args, kwargs, "O|OO:save", "collection", &collection, &path, &key_text)) {
    return nullptr;
  }
  // A read-only database writes snapshots only outside its data directory (Engine::save).
  auto saved =
      unlocked(self, [&](Engine& engine) { return engine.save(collection, path, key_text); });
  if (!saved) return nullptr;
  if (!*saved) return raise_error(saved->error());
  Py_RETURN_NONE;
}

PyObject* load(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!changeable(self)) return nullptr;
  std::string name;
  std::optional<std::string> path, key_text;
  if (!bind_snapshot_call(args, kwargs, "O|OO:load", "name", &name, &path, &key_text)) {
    return nullptr;
  }
  auto loaded = unlocked(self, [&](Engine& engine) { return engine.load(name, path, key_text); });
  if (!loaded) return nullptr;
  if (!*loaded) return raise_error(loaded->error());
  Py_RETURN_NONE;
}

PyObject* compact(PyObject* self, PyObject*) {
  if (!changeable(self)) return nullptr;
  auto compacted = unlocked(self, [](Engine& engine) { return engine.compact(); });
  if (!compacted) return nullptr;
  if (!*compacted) return raise_error(compacted->error());
  Py_RETURN_NONE;
}

// ---- the type ------------------------------------------------------------------------------

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
    KESTRINE_METHOD("upsert", upsert, doc::kUpsert),
    KESTRINE_METHOD("batch_upsert", batch_upsert, doc::kBatchUpsert),
    KESTRINE_METHOD("get_many", get_many, doc::kGetMany),
    KESTRINE_METHOD("count", count, doc::kCount),
    KESTRINE_METHOD("scan", scan, doc::kScan),
    KESTRINE_METHOD("delete_many", delete_many, doc::kDeleteMany),
    KESTRINE_METHOD("rebuild", rebuild, doc::kRebuild),
    KESTRINE_METHOD("search", search, doc::kSearch),
    KESTRINE_METHOD("search_many", search_many, doc::kSearchMany),
    KESTRINE_METHOD("save", save, doc::kSave),
    KESTRINE_METHOD("load", load, doc::kLoad),
    {"compact", compact, METH_NOARGS, doc::kCompact},
    {"total_memory_bytes", total_memory_bytes, METH_NOARGS, doc::kTotalMemoryBytes},
    {"close", close, METH_NOARGS, doc::kClose},
    {"__enter__", enter, METH_NOARGS, doc::kEnter},
    {"__exit__", exit, METH_VARARGS, doc::kExit},
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
