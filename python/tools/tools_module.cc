// The private module kestrine._tools: read-only access to a data directory for the command-line
// tool, beside the public module _kestrine. Everything here returns plain Python data (dicts,
// lists, str, int, float, bool) and never changes a file: nothing is opened for writing, the
// log is never cut, no directory is created.
//
//   inspect_directory(path, key_hex=None) -> dict    every file, checked the way opening reads it
//   describe_state(path, key_hex=None) -> dict       the collections opening would give
//   iter_documents(path, collection, key_hex=None, filter=None)
//                                                    the live documents with their stored vectors
//                                                    (those that pass the filter, when given)

#include <algorithm>
#include <array>
#include <charconv>
#include <concepts>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/collection/filter_eval.h"
#include "core/common/metric.h"
#include "core/hnsw/hnsw_index.h"
#include "core/storage/crypto.h"
#include "core/storage/directory_lock.h"
#include "core/storage/examine.h"
#include "core/storage/persistent_store.h"
#include "core/storage/wal_format.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/pyref.h"

namespace kestrine::py {
namespace {

// ---- building plain Python values -------------------------------------------------------------

PyObject* to_python(std::string_view text) { return text_to_str(text); }
PyObject* to_python(const char* text) { return text_to_str(text); }
PyObject* to_python(uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
// Exactly bool: a string literal must not turn into True through the pointer conversion.
template <typename T>
  requires std::same_as<T, bool>
PyObject* to_python(T value) {
  return PyBool_FromLong(value);
}
PyObject* optional_text(std::string_view text) {
  return text.empty() ? Py_NewRef(Py_None) : text_to_str(text);
}

// A dict filled key by key; a failed step leaves it null with the exception set.
class DictBuilder {
 public:
  DictBuilder() : dict_(PyDict_New()) {}
  // Takes a new reference (null: a failure that is already raised).
  DictBuilder& set(const char* key, PyObject* value) {
    PyRef owned(value);
    if (!dict_) return *this;
    if (!owned || PyDict_SetItemString(dict_.get(), key, owned.get()) < 0) dict_ = PyRef();
    return *this;
  }
  template <typename T>
  DictBuilder& put(const char* key, T value) {
    return set(key, to_python(value));
  }
  PyObject* release() { return dict_.release(); }

 private:
  PyRef dict_;
};

// Appends a new reference to a list; false (exception set) on failure.
bool append(PyObject* list, PyObject* value) {
  PyRef owned(value);
  return owned && PyList_Append(list, owned.get()) == 0;
}

// The key text, parsed; false (exception set) when it is not a key.
bool parse_key_argument(PyObject* key_object, KeyPtr* key) {
  if (key_object == nullptr || key_object == Py_None) return true;
  std::string text;
  if (!to_text(key_object, &text)) return prefix_argument_error("key_hex");
  auto parsed = parse_key(text);
  if (!parsed) {
    raise_error(parsed.error());
    return false;
  }
  *key = std::move(*parsed);
  return true;
}

// A path argument; refused with an embedded NUL, as Python's own file functions refuse it.
bool parse_path_argument(PyObject* object, std::string* path) {
  if (!to_text(object, path)) return prefix_argument_error("path");
  if (path->find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
  }
  return true;
}

PyObject* summary_to_dict(const CollectionSummary& s) {
  return DictBuilder()
      .put("name", std::string_view(s.name))
      .put("dimension", s.dimension)
      .put("metric", metric_name(s.config.distance_metric))
      .put("m", s.config.m)
      .put("ef_construction", s.config.ef_construction)
      .put("ef_search", s.config.ef_search)
      .put("store_raw_vectors", s.config.store_raw_vectors)
      .put("pq_subspaces", s.config.pq_subspaces)
      .put("node_count", uint64_t{s.node_count})
      .put("documents", s.live_documents)
      .put("deleted_nodes", s.deleted_nodes)
      .put("memory_bytes", s.memory_bytes)
      .put("exact_vectors", s.exact_vectors)
      .release();
}

std::string_view form_name(SnapshotForm form) {
  switch (form) {
    case SnapshotForm::kChecksummed:
      return "checksummed";
    case SnapshotForm::kEncrypted:
      return "encrypted";
    case SnapshotForm::kBare:
      break;
  }
  return "bare";
}

std::string_view check_name(IntegrityCheck check) {
  switch (check) {
    case IntegrityCheck::kPassed:
      return "passed";
    case IntegrityCheck::kFailed:
      return "failed";
    case IntegrityCheck::kMissingKey:
      return "missing key";
    case IntegrityCheck::kNone:
      break;
  }
  return "none";
}

std::string_view step_name(SnapshotStep step) {
  switch (step) {
    case SnapshotStep::kRead:
      return "read";
    case SnapshotStep::kCheck:
      return "check";
    case SnapshotStep::kDecode:
      return "decode";
    case SnapshotStep::kValidate:
      return "validate";
    case SnapshotStep::kName:
      break;
  }
  return "name";
}

PyObject* snapshot_to_dict(const SnapshotInspection& s) {
  return DictBuilder()
      .put("file", std::string_view(s.file_name))
      .put("size", s.file_size)
      .put("form", form_name(s.form))
      .put("check", check_name(s.check))
      .set("crc",
           s.form == SnapshotForm::kChecksummed ? to_python(uint64_t{s.crc}) : Py_NewRef(Py_None))
      .put("decoded", s.decoded)
      .put("loadable", s.loadable)
      .set("failed_step", s.failed_step ? to_python(step_name(*s.failed_step)) : Py_NewRef(Py_None))
      .set("error", optional_text(s.error))
      .set("collection", s.collection ? summary_to_dict(*s.collection) : Py_NewRef(Py_None))
      .release();
}

// Entry kinds by their stored tag.
constexpr std::array<const char*, kWalEntryVariants> kEntryKinds = {
    "create_collection", "delete_collection", "insert_document",
    "delete_document",   "batch_insert",      "update_document"};

std::string_view end_name(LogEnd end) {
  switch (end) {
    case LogEnd::kTornTail:
      return "torn tail";
    case LogEnd::kCorrupt:
      return "corrupt";
    case LogEnd::kClean:
      break;
  }
  return "clean";
}

PyObject* log_to_dict(const LogInspection& log) {
  PyRef kinds(PyDict_New());
  if (!kinds) return nullptr;
  for (size_t i = 0; i < kEntryKinds.size(); ++i) {
    PyRef count(to_python(log.entries_by_kind[i]));
    if (!count || PyDict_SetItemString(kinds.get(), kEntryKinds[i], count.get()) < 0) {
      return nullptr;
    }
  }
  PyObject* refusal = log.refusal == LogRefusal::kMissingKey ? to_python("missing key")
                      : log.refusal == LogRefusal::kWrongKey ? to_python("wrong key")
                                                             : Py_NewRef(Py_None);
  return DictBuilder()
      .put("file", std::string_view("wal.bin"))
      .put("present", log.present)
      .put("size", log.file_size)
      .put("records", log.records)
      .put("encrypted_records", log.encrypted)
      .set("entries", kinds.release())
      .put("undecodable", log.undecodable)
      .set("first_undecodable_offset",
           log.undecodable ? to_python(log.first_undecodable_offset) : Py_NewRef(Py_None))
      .set("first_undecodable_error", optional_text(log.first_undecodable_error))
      .put("end", end_name(log.end))
      .set("refusal", refusal)
      .put("stop_offset", log.stop_offset)
      .set("problem", optional_text(log.problem))
      .set("open_error", optional_text(log.open_error))
      .put("sound", log.sound())
      .release();
}

std::string_view other_kind_name(OtherFile::Kind kind) {
  switch (kind) {
    case OtherFile::Kind::kTemporarySnapshot:
      return "temporary snapshot";
    case OtherFile::Kind::kCorruptLogTail:
      return "corrupt log tail";
    case OtherFile::Kind::kOther:
      break;
  }
  return "other";
}

// ---- inspect_directory, describe_state ---------------------------------------------------------

PyObject* inspect_directory(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path", "key_hex", nullptr};
  PyObject* path_object = nullptr;
  PyObject* key_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:inspect_directory",
                                   const_cast<char**>(keywords), &path_object, &key_object)) {
    return nullptr;
  }
  std::string path;
  KeyPtr key;
  if (!parse_path_argument(path_object, &path) || !parse_key_argument(key_object, &key)) {
    return nullptr;
  }
  auto inspected = inspect_directory(path, key.get());
  if (!inspected) return raise_error(inspected.error());

  PyRef snapshots(PyList_New(0));
  if (!snapshots) return nullptr;
  uint64_t loadable_bytes = 0;  // what opening loads, and sizes the default threshold by
  for (const SnapshotInspection& s : inspected->snapshots) {
    if (!append(snapshots.get(), snapshot_to_dict(s))) return nullptr;
    if (s.loadable) loadable_bytes += s.file_size;
  }
  PyRef others(PyList_New(0));
  if (!others) return nullptr;
  for (const OtherFile& f : inspected->other_files) {
    PyObject* entry = DictBuilder()
                          .put("file", std::string_view(f.file_name))
                          .put("size", f.file_size)
                          .put("kind", other_kind_name(f.kind))
                          .release();
    if (!append(others.get(), entry)) return nullptr;
  }
  return DictBuilder()
      .put("path", std::string_view(path))
      .set("snapshots", snapshots.release())
      .set("log", log_to_dict(inspected->log))
      .set("other_files", others.release())
      .put("default_checkpoint_threshold",
           PersistentStore::default_checkpoint_threshold(loadable_bytes))
      .release();
}

// Opens `path` read-only for one of the functions below; null with the exception set.
std::optional<ReadOnlyDatabase> open_state(PyObject* path_object, PyObject* key_object) {
  std::string path;
  KeyPtr key;
  if (!parse_path_argument(path_object, &path) || !parse_key_argument(key_object, &key)) {
    return std::nullopt;
  }
  auto state = open_read_only(path, key.get());
  if (!state) {
    raise_error(state.error());
    return std::nullopt;
  }
  return std::move(*state);
}

PyObject* describe_state(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path", "key_hex", nullptr};
  PyObject* path_object = nullptr;
  PyObject* key_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:describe_state", const_cast<char**>(keywords),
                                   &path_object, &key_object)) {
    return nullptr;
  }
  auto state = open_state(path_object, key_object);
  if (!state) return nullptr;
  std::vector<std::string> names = state->database->collection_names();
  std::ranges::sort(names);
  PyRef collections(PyList_New(0));
  if (!collections) return nullptr;
  for (const std::string& name : names) {
    auto collection = state->database->get_collection(name);
    CollectionSummary summary =
        collection->read([](const CollectionData& data) { return summarize_collection(data); });
    if (!append(collections.get(), summary_to_dict(summary))) return nullptr;
  }
  PyRef warnings(PyList_New(0));
  if (!warnings) return nullptr;
  for (const std::string& warning : state->warnings) {
    if (!append(warnings.get(), to_python(std::string_view(warning)))) return nullptr;
  }
  return DictBuilder()
      .set("collections", collections.release())
      .set("warnings", warnings.release())
      .put("log_end", end_name(state->log.end))
      .put("log_replayed_bytes", state->log.valid_length)
      .release();
}

// ---- iter_documents -----------------------------------------------------------------------

// The live documents of one collection, in internal-id (insertion) order, each as
// {"id", "text", "metadata", "embedding"}. The collection belongs to the iterator alone (it was
// read for it), so nothing else changes it while the iteration runs.
struct DocumentIterator {
  PyObject_HEAD std::shared_ptr<Collection>* collection;
  uint32_t next;
  bool exact_vectors;  // the vectors handed out are the stored raw ones, not decoded codes
  std::vector<std::string>* warnings;  // snapshots of other collections that opening skips
  Filter* filter;                      // null: every live document
};

PyObject* document_iterator_exact_vectors(PyObject* self, void*) {
  return PyBool_FromLong(reinterpret_cast<DocumentIterator*>(self)->exact_vectors);
}

PyObject* document_iterator_warnings(PyObject* self, void*) {
  const auto& warnings = *reinterpret_cast<DocumentIterator*>(self)->warnings;
  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  for (const std::string& warning : warnings) {
    if (!append(list.get(), to_python(std::string_view(warning)))) return nullptr;
  }
  return list.release();
}

PyGetSetDef document_iterator_getset[] = {
    {"exact_vectors", document_iterator_exact_vectors, nullptr,
     "Whether the embeddings are the stored raw vectors (else dequantized 8-bit codes).", nullptr},
    {"warnings", document_iterator_warnings, nullptr,
     "Snapshots that opening the directory would skip, as opening words it.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A stored 32-bit value as the Python float whose repr is the shortest decimal that reads back
// to the same 32-bit value ("0.0123" rather than "0.012299999594688416").
PyObject* float32_to_python(float value) {
  char text[64];
  auto [end, ec] = std::to_chars(text, text + sizeof text - 1, value);
  if (ec != std::errc()) return PyFloat_FromDouble(value);
  *end = '\0';
  return PyFloat_FromDouble(std::strtod(text, nullptr));
}

PyObject* document_iterator_next(PyObject* self) {
  auto* it = reinterpret_cast<DocumentIterator*>(self);
  Collection& collection = **it->collection;
  DocumentPtr document;
  std::vector<float> embedding;
  collection.read([&](const CollectionData& data) {
    const auto& ids = data.internal_to_uuid;
    for (; it->next < ids.size() && !document; ++it->next) {
      const Uuid& id = ids[it->next];
      const auto found = data.find_document(id);
      const uint32_t* node = data.uuid_to_internal.get(id);
      // A deleted id inserted again lives under its newest node only.
      if (!found || node == nullptr || *node != it->next) continue;
      if (it->filter != nullptr && !metadata_matches(found->metadata, *it->filter)) continue;
      document = share_document(*found);
      embedding = stored_vector(data.hnsw, it->next);
    }
  });
  if (!document) return nullptr;  // StopIteration
  PyRef values(PyList_New(static_cast<Py_ssize_t>(embedding.size())));
  if (!values) return nullptr;
  for (size_t i = 0; i < embedding.size(); ++i) {
    PyObject* value = float32_to_python(embedding[i]);
    if (value == nullptr) return nullptr;
    PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(i), value);
  }
  PyRef dict(document_to_dict(*document));
  if (!dict || PyDict_SetItemString(dict.get(), "embedding", values.get()) < 0) return nullptr;
  return dict.release();
}

void document_iterator_dealloc(PyObject* self) {
  auto* it = reinterpret_cast<DocumentIterator*>(self);
  PyTypeObject* type = Py_TYPE(self);
  delete it->collection;
  delete it->warnings;
  delete it->filter;
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot document_iterator_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("The live documents of a collection, with their stored vectors.")},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(document_iterator_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(document_iterator_dealloc)},
    {Py_tp_getset, document_iterator_getset},
    {0, nullptr},
};

PyType_Spec document_iterator_spec = {
    "kestrine._tools.DocumentIterator",
    sizeof(DocumentIterator),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    document_iterator_slots,
};

PyObject* document_iterator_type = nullptr;

PyObject* iter_documents(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path", "collection", "key_hex", "filter", nullptr};
  PyObject* path_object = nullptr;
  PyObject* name_object = nullptr;
  PyObject* key_object = nullptr;
  PyObject* filter_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO:iter_documents",
                                   const_cast<char**>(keywords), &path_object, &name_object,
                                   &key_object, &filter_object)) {
    return nullptr;
  }
  std::string name;
  if (!to_text(name_object, &name)) {
    prefix_argument_error("collection");
    return nullptr;
  }
  auto state = open_state(path_object, key_object);
  if (!state) return nullptr;
  auto collection = state->database->get_collection(name);
  if (!collection) {
    // A collection whose snapshot cannot be read is missing for that reason: say so.
    std::string message = "collection '" + name + "' not found";
    if (!state->warnings.empty()) message += " (opening skips " + state->warnings.front() + ")";
    return raise_error(Error::not_found(message));
  }
  // Parsed after the look-up, as search parses it.
  auto filter = std::make_unique<Filter>();
  if (filter_object != nullptr && filter_object != Py_None) {
    if (!to_filter(filter_object, filter.get())) return nullptr;
  } else {
    filter.reset();
  }
  auto* type = reinterpret_cast<PyTypeObject*>(document_iterator_type);
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* it = reinterpret_cast<DocumentIterator*>(self);
  it->exact_vectors = collection->read(
      [](const CollectionData& data) { return summarize_collection(data).exact_vectors; });
  it->collection = new std::shared_ptr<Collection>(std::move(collection));
  it->warnings = new std::vector<std::string>(std::move(state->warnings));
  it->filter = filter.release();
  it->next = 0;
  return self;
}

// ---- the module ----------------------------------------------------------------------------

PyMethodDef methods[] = {
    {"inspect_directory", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(inspect_directory)),
     METH_VARARGS | METH_KEYWORDS,
     "inspect_directory(path, key_hex=None)\n--\n\n"
     "Every file of a data directory, read the way opening reads it; changes nothing."},
    {"describe_state", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(describe_state)),
     METH_VARARGS | METH_KEYWORDS,
     "describe_state(path, key_hex=None)\n--\n\n"
     "The collections that opening the directory would give, built in memory; changes nothing."},
    {"iter_documents", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(iter_documents)),
     METH_VARARGS | METH_KEYWORDS,
     "iter_documents(path, collection, key_hex=None, filter=None)\n--\n\n"
     "The live documents of a collection with their stored vectors (those that pass the "
     "filter, when given); changes nothing."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "kestrine._tools",
    "Read-only access to a Kestrine data directory, for the command-line tool (private).",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kestrine::py

PyMODINIT_FUNC PyInit__tools(void) {
  using namespace kestrine::py;
  PyRef module(PyModule_Create(&module_def));
  if (!module) return nullptr;
  if (document_iterator_type == nullptr) {
    document_iterator_type = PyType_FromSpec(&document_iterator_spec);
    if (document_iterator_type == nullptr) return nullptr;
  }
  if (PyModule_AddObjectRef(module.get(), "DocumentIterator", document_iterator_type) < 0) {
    return nullptr;
  }
  // The log's file name, so that the command-line tool names and finds it without a copy.
  const std::string log_file_name(kestrine::kWalFileName);
  if (PyModule_AddStringConstant(module.get(), "LOG_FILE_NAME", log_file_name.c_str()) < 0) {
    return nullptr;
  }
  // The lock file's name: a directory a failed first load created is removed with it.
  const std::string lock_file_name(kestrine::kLockFileName);
  if (PyModule_AddStringConstant(module.get(), "LOCK_FILE_NAME", lock_file_name.c_str()) < 0) {
    return nullptr;
  }
  return module.release();
}
