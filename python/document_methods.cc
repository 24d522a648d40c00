#include "python/document_methods.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/collection/listing.h"
#include "python/convert.h"
#include "python/engine_access.h"
#include "python/errors.h"

namespace kestrine::py {
namespace {

bool is_given(PyObject* object) { return object != nullptr && object != Py_None; }

PyObject* argument_failed(const char* name) {
  prefix_argument_error(name);
  return nullptr;
}

// A list of str, as texts; the UUIDs are parsed later, after the collection's look-up, as get
// parses its id.
bool to_id_texts(PyObject* object, std::vector<std::string>* out) {
  if (!PyList_Check(object)) return raise_type_mismatch(object, "PyList");
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
    PyRef item = PyRef::borrow(PyList_GET_ITEM(object, i));
    std::string text;
    if (!to_text(item.get(), &text)) return false;
    out->push_back(std::move(text));
  }
  return true;
}

bool to_uuids(const std::vector<std::string>& texts, std::vector<Uuid>* out) {
  out->resize(texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    if (!to_uuid(texts[i], &(*out)[i])) return false;
  }
  return true;
}

// An optional filter argument: absent and None give no filter.
bool to_optional_filter(PyObject* object, std::optional<Filter>* out) {
  if (!is_given(object)) return true;
  Filter filter;
  if (!to_filter(object, &filter)) return false;
  *out = std::move(filter);
  return true;
}

PyObject* id_list(const std::vector<Uuid>& ids) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < ids.size(); ++i) {
    PyObject* item = uuid_to_str(ids[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// `read(collection)` on the collection called `name`, looked up again inside the engine work:
// another thread may have dropped it since the first look-up.
template <typename Read>
auto on_collection(Engine& engine, const std::string& name, Read&& read)
    -> Result<decltype(read(std::declval<const Collection&>()))> {
  auto collection = engine.find_collection(name);
  if (!collection) return fail(collection.error());
  return read(**collection);
}

// Documents as get returns them; a null one as None.
PyObject* document_list(const std::vector<DocumentPtr>& documents) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(documents.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < documents.size(); ++i) {
    PyObject* item = documents[i] ? document_to_dict(*documents[i]) : Py_NewRef(Py_None);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace

PyObject* upsert(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!changeable(self)) return nullptr;
  static const char* keywords[] = {"collection", "id", "text", "embedding", "metadata", nullptr};
  PyObject *collection_object, *id_object, *text_object, *embedding_object,
      *metadata_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|O:upsert", const_cast<char**>(keywords),
                                   &collection_object, &id_object, &text_object, &embedding_object,
                                   &metadata_object)) {
    return nullptr;
  }
  std::string collection_name;
  auto document = std::make_shared<Document>();
  NewDocument incoming;
  if (!to_text(collection_object, &collection_name)) return argument_failed("collection");
  if (!to_text(id_object, &incoming.id_text)) return argument_failed("id");
  if (!to_text(text_object, &document->text)) return argument_failed("text");
  if (!to_embedding(embedding_object, &incoming.embedding)) return argument_failed("embedding");
  if (is_given(metadata_object) && !PyDict_Check(metadata_object)) {
    raise_type_mismatch(metadata_object, "PyDict");
    return argument_failed("metadata");
  }
  if (!report_unknown_collection(self, collection_name)) return nullptr;
  if (is_given(metadata_object) && !to_metadata(metadata_object, &document->metadata)) {
    return nullptr;
  }
  if (!to_uuid(incoming.id_text, &document->id)) return nullptr;
  incoming.document = std::move(document);
  auto replaced = unlocked(
      self, [&](Engine& engine) { return engine.upsert(collection_name, std::move(incoming)); });
  if (!replaced) return nullptr;
  if (!*replaced) return raise_error(replaced->error());
  return with_warnings(self, PyBool_FromLong(**replaced));
}

PyObject* batch_upsert(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!changeable(self)) return nullptr;
  static const char* keywords[] = {"collection", "documents", nullptr};
  PyObject *collection_object, *documents_object;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:batch_upsert", const_cast<char**>(keywords),
                                   &collection_object, &documents_object)) {
    return nullptr;
  }
  std::string collection_name;
  if (!to_text(collection_object, &collection_name)) return argument_failed("collection");
  if (!PyList_Check(documents_object)) {
    raise_type_mismatch(documents_object, "PyList");
    return argument_failed("documents");
  }
  if (!report_unknown_collection(self, collection_name)) return nullptr;
  std::vector<NewDocument> documents;
  if (!to_new_documents(documents_object, &documents)) return nullptr;
  std::optional<size_t> failed_document;
  auto ids = unlocked(self, [&](Engine& engine) {
    return engine.batch_upsert(collection_name, std::move(documents), &failed_document);
  });
  if (!ids) return nullptr;
  if (!*ids) {
    raise_error(ids->error());
    if (failed_document) set_document_index(*failed_document);
    return nullptr;
  }
  return with_warnings(self, id_list(**ids));
}

PyObject* get_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!usable(self)) return nullptr;
  static const char* keywords[] = {"collection", "ids", nullptr};
  PyObject *collection_object, *ids_object;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:get_many", const_cast<char**>(keywords),
                                   &collection_object, &ids_object)) {
    return nullptr;
  }
  std::string collection_name;
  std::vector<std::string> id_texts;
  if (!to_text(collection_object, &collection_name)) return argument_failed("collection");
  if (!to_id_texts(ids_object, &id_texts)) return argument_failed("ids");
  if (!report_unknown_collection(self, collection_name)) return nullptr;
  std::vector<Uuid> ids;
  if (!to_uuids(id_texts, &ids)) return nullptr;
  auto documents = unlocked(self, [&](Engine& engine) {
    return on_collection(engine, collection_name,
                         [&](const Collection& c) { return get_documents(c, ids); });
  });
  if (!documents) return nullptr;
  if (!*documents) return raise_error(documents->error());
  return document_list(**documents);
}

PyObject* count(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!usable(self)) return nullptr;
  static const char* keywords[] = {"collection", "filter", nullptr};
  PyObject *collection_object, *filter_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:count", const_cast<char**>(keywords),
                                   &collection_object, &filter_object)) {
    return nullptr;
  }
  std::string collection_name;
  if (!to_text(collection_object, &collection_name)) return argument_failed("collection");
  if (!report_unknown_collection(self, collection_name)) return nullptr;
  std::optional<Filter> filter;
  if (!to_optional_filter(filter_object, &filter)) return nullptr;
  auto counted = unlocked(self, [&](Engine& engine) {
    return on_collection(engine, collection_name, [&](const Collection& c) {
      return count_documents(c, filter ? &*filter : nullptr);
    });
  });
  if (!counted) return nullptr;
  if (!*counted) return raise_error(counted->error());
  return PyLong_FromSize_t(**counted);
}

PyObject* scan(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!usable(self)) return nullptr;
  static const char* keywords[] = {"collection", "filter", "limit", "after", nullptr};
  PyObject *collection_object, *filter_object = nullptr, *limit_object = nullptr,
                               *after_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOO:scan", const_cast<char**>(keywords),
                                   &collection_object, &filter_object, &limit_object,
                                   &after_object)) {
    return nullptr;
  }
  std::string collection_name, after_text;
  std::optional<size_t> limit;
  if (!to_text(collection_object, &collection_name)) return argument_failed("collection");
  if (is_given(limit_object)) {
    uint64_t value;
    if (!to_size(limit_object, &value)) return argument_failed("limit");
    limit = value;
  }
  if (is_given(after_object) && !to_text(after_object, &after_text)) {
    return argument_failed("after");
  }
  if (!report_unknown_collection(self, collection_name)) return nullptr;
  std::optional<Filter> filter;
  if (!to_optional_filter(filter_object, &filter)) return nullptr;
  std::optional<Uuid> after;
  if (is_given(after_object)) {
    Uuid id;
    if (!to_uuid(after_text, &id)) return nullptr;
    after = id;
  }
  auto page = unlocked(self, [&](Engine& engine) {
    return on_collection(engine, collection_name, [&](const Collection& c) {
      return scan_documents(c, filter ? &*filter : nullptr, after, limit);
    });
  });
  if (!page) return nullptr;
  if (!*page) return raise_error(page->error());
  return document_list(**page);
}

PyObject* delete_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!changeable(self)) return nullptr;
  static const char* keywords[] = {"collection", "ids", "filter", nullptr};
  PyObject *collection_object, *ids_object = nullptr, *filter_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:delete_many", const_cast<char**>(keywords),
                                   &collection_object, &ids_object, &filter_object)) {
    return nullptr;
  }
  std::string collection_name;
  std::vector<std::string> id_texts;
  if (!to_text(collection_object, &collection_name)) return argument_failed("collection");
  if (is_given(ids_object) && !to_id_texts(ids_object, &id_texts)) return argument_failed("ids");
  if (!is_given(ids_object) && !is_given(filter_object)) {
    PyErr_SetString(PyExc_ValueError, "delete_many needs ids or a filter");
    return nullptr;
  }
  if (!report_unknown_collection(self, collection_name)) return nullptr;
  std::vector<Uuid> ids;
  if (!to_uuids(id_texts, &ids)) return nullptr;
  std::optional<Filter> filter;
  if (!to_optional_filter(filter_object, &filter)) return nullptr;
  auto deleted = unlocked(self, [&](Engine& engine) {
    return engine.delete_many(collection_name, ids, filter ? &*filter : nullptr);
  });
  if (!deleted) return nullptr;
  if (!*deleted) return raise_error(deleted->error());
  return with_warnings(self, PyLong_FromUnsignedLongLong(**deleted));
}

}  // namespace kestrine::py
