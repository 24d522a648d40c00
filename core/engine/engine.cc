#include "core/engine/engine.h"

#include <unordered_set>

#include "core/bm25/inverted_index.h"
#include "core/storage/snapshot.h"

namespace kestrine {

Status check_collection_name(std::string_view name) {
  if (name.empty() || name.find('/') != std::string_view::npos ||
      name.find('\0') != std::string_view::npos) {
    return fail(Error::invalid_value("invalid collection name: '" + std::string(name) + "'"));
  }
  return {};
}

Engine::Engine() : database_(std::make_shared<Database>()) {}

Engine::Engine(KeyPtr key) : database_(std::make_shared<Database>()), key_(std::move(key)) {}

Result<std::shared_ptr<Collection>> Engine::find_collection(std::string_view name) const {
  auto collection = database_->get_collection(name);
  if (!collection) {
    return fail(Error::not_found("collection '" + std::string(name) + "' not found"));
  }
  return collection;
}

Status Engine::create_collection(std::string_view name, uint64_t dimension,
                                 const HnswConfig& config) {
  if (auto ok = check_collection_name(name); !ok) return ok;
  return database_->create_collection(name, dimension, config);
}

Result<bool> Engine::delete_collection(std::string_view name) {
  return database_->remove_collection(name);
}

std::vector<std::string> Engine::list_collections() const { return database_->collection_names(); }

size_t Engine::collection_count() const { return database_->collection_count(); }

uint64_t Engine::total_memory_bytes() const { return database_->total_memory_bytes(); }

Result<Uuid> Engine::insert(Collection& collection, NewDocument document) {
  const Uuid id = document.document->id;
  if (auto ok = collection.check_insert(id, document.id_text, document.embedding.size()); !ok) {
    return fail(ok.error());
  }
  if (auto ok = check_text_size(document.document->text); !ok) return fail(ok.error());
  collection.insert_document(std::move(document.document), document.embedding);
  return id;
}

Result<std::vector<Uuid>> Engine::batch_insert(Collection& collection,
                                               std::vector<NewDocument> documents) {
  std::unordered_set<Uuid, UuidHash> seen;
  seen.reserve(documents.size());
  for (const NewDocument& d : documents) {
    const Uuid& id = d.document->id;
    if (auto ok = collection.check_insert(id, d.id_text, d.embedding.size()); !ok) {
      return fail(ok.error());
    }
    if (auto ok = check_text_size(d.document->text); !ok) return fail(ok.error());
    if (!seen.insert(id).second) {
      return fail(Error::invalid_value("duplicate document id '" + d.id_text + "' in batch"));
    }
  }
  std::vector<Uuid> ids;
  ids.reserve(documents.size());
  for (NewDocument& d : documents) {
    ids.push_back(d.document->id);
    collection.insert_document(std::move(d.document), d.embedding);
  }
  return ids;
}

Result<bool> Engine::delete_document(Collection& collection, const Uuid& id) {
  return collection.delete_document(id);
}

Result<std::vector<ScoredDocument>> Engine::search(const Collection& collection,
                                                   const SearchRequest& request) const {
  if (!request.query_embedding && !request.query_text) {
    return fail(Error::invalid_value(kMissingQueryMessage));
  }
  if (request.query_embedding && request.query_embedding->size() != collection.dimension()) {
    return fail(Error::invalid_value("embedding dimension mismatch: expected " +
                                     std::to_string(collection.dimension()) + ", got " +
                                     std::to_string(request.query_embedding->size())));
  }
  return search_collection(collection, request);
}

Result<uint64_t> Engine::rebuild(std::string_view collection) {
  auto found = find_collection(collection);
  if (!found) return fail(found.error());
  return (*found)->rebuild();
}

Result<std::filesystem::path> Engine::snapshot_directory(
    std::optional<std::string_view> path) const {
  if (path) return std::filesystem::path(*path);
  if (data_dir_) return *data_dir_;
  return fail(Error::invalid_value("no path specified and Kestrine was created without data_dir"));
}

Status Engine::save(std::string_view collection, std::optional<std::string_view> path,
                    std::optional<std::string_view> key_text) {
  auto found = find_collection(collection);
  if (!found) return fail(found.error());
  auto directory = snapshot_directory(path);
  if (!directory) return fail(directory.error());
  KeyPtr key = key_;
  if (key_text) {
    auto parsed = parse_key(*key_text);
    if (!parsed) return fail(parsed.error());
    key = std::move(*parsed);
  }
  return write_snapshot(*found, *directory, key.get());
}

Status Engine::load(std::string_view name, std::optional<std::string_view> path,
                    std::optional<std::string_view> key_text) {
  if (auto ok = check_collection_name(name); !ok) return ok;
  auto directory = snapshot_directory(path);
  if (!directory) return fail(directory.error());
  KeyPtr key;
  if (key_text) {
    auto parsed = parse_key(*key_text);
    if (!parsed) return fail(parsed.error());
    key = std::move(*parsed);
  }
  auto data = read_snapshot_data(snapshot_path(*directory, name), key.get());
  if (!data) return fail(data.error().with_prefix("failed to load '" + std::string(name) + "': "));
  // The collection is known by the name it is loaded under. Keeping a different stored name
  // would make its next save write "<stored name>.kestrine", over another collection's file.
  data->name = std::string(name);
  // One replacement under the map's lock: no moment where the name is missing.
  database_->put_collection(std::make_shared<Collection>(std::move(*data)));
  return {};
}

}  // namespace kestrine
