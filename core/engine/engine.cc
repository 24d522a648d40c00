#include "core/engine/engine.h"

#include <unordered_set>
#include <utility>

#include "core/common/parallel.h"
#include "core/hnsw/insert.h"
#include "core/storage/examine.h"
#include "core/storage/file_io.h"
#include "core/storage/snapshot.h"
#include "core/storage/wal_format.h"

namespace kestrine {

Engine::Engine() : database_(std::make_shared<CollectionMap>()) {}

Engine::Engine(KeyPtr key) : database_(std::make_shared<CollectionMap>()), key_(std::move(key)) {}

Engine::Engine(std::shared_ptr<CollectionMap> database, std::unique_ptr<PersistentStore> store)
    : database_(std::move(database)),
      data_dir_(store->data_dir()),
      key_(store->key()),
      store_(std::move(store)) {}

Result<std::unique_ptr<Engine>> Engine::open(const std::filesystem::path& data_dir, KeyPtr key,
                                             std::vector<std::string>* warnings,
                                             std::optional<uint64_t> checkpoint_bytes) {
  auto opened = PersistentStore::open(data_dir, std::move(key));
  if (!opened) return fail(opened.error());
  opened->store->set_checkpoint_bytes(checkpoint_bytes);
  for (std::string& warning : opened->warnings) warnings->push_back(std::move(warning));
  // Not through make_unique: the constructor is private.
  return std::unique_ptr<Engine>(new Engine(std::move(opened->database), std::move(opened->store)));
}

Result<std::unique_ptr<Engine>> Engine::open_read_only(const std::filesystem::path& data_dir,
                                                       KeyPtr key,
                                                       std::vector<std::string>* warnings) {
  auto opened = kestrine::open_read_only(data_dir, key.get());
  if (!opened) return fail(opened.error());
  for (std::string& warning : opened->warnings) warnings->push_back(std::move(warning));
  if (opened->log.end == LogEnd::kCorrupt) {
    warnings->push_back("WAL replay stopped at a corrupt record at offset " +
                        std::to_string(opened->log.valid_length) + " of '" +
                        (data_dir / kWalFileName).string() + "' (" + opened->log.problem +
                        "); the log from there on was not replayed");
  }
  std::unique_ptr<Engine> engine(new Engine(std::move(key)));
  engine->database_ = std::move(opened->database);
  engine->data_dir_ = data_dir;
  engine->read_only_ = true;
  return engine;
}

Result<CheckpointHold> Engine::log(const WalEntry& entry) {
  if (!store_) return CheckpointHold();
  return store_->append_entry(entry);
}

void Engine::settle(CheckpointHold hold) {
  if (!store_) return;
  if (hold.owns_lock()) hold.unlock();
  if (auto ok = store_->checkpoint_if_due(*database_); !ok) {
    std::lock_guard lock(warnings_mutex_);
    warnings_.push_back("automatic checkpoint failed: " + ok.error().message());
  }
}

std::vector<std::string> Engine::take_warnings() {
  std::lock_guard lock(warnings_mutex_);
  return std::exchange(warnings_, {});
}

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
  auto hold = log(wal::CreateCollection{std::string(name), dimension, config});
  if (!hold) return fail(hold.error());
  Status created = database_->create_collection(name, dimension, config);
  if (created && store_) store_->collection_created(name);
  settle(std::move(*hold));  // a taken name was logged too
  return created;
}

Result<bool> Engine::delete_collection(std::string_view name) {
  auto hold = log(wal::DeleteCollection{std::string(name)});
  if (!hold) return fail(hold.error());
  const bool existed = database_->remove_collection(name);
  if (existed && store_) store_->collection_dropped(name);
  settle(std::move(*hold));
  return existed;
}

std::vector<std::string> Engine::list_collections() const { return database_->collection_names(); }

size_t Engine::collection_count() const { return database_->collection_count(); }

uint64_t Engine::total_memory_bytes() const { return database_->total_memory_bytes(); }

void Engine::assign_id(NewDocument& d) {
  if (!d.id_text.empty()) return;
  d.document->id = new_uuid();
  d.id_text = format_uuid(d.document->id);
}

namespace {

Status admit(const Collection& collection, const NewDocument& d) {
  return collection.check_insert(d.document->id, d.id_text, d.embedding.size(), d.document->text);
}

Error already_exists(std::string_view id_text) {
  return Error::invalid_value("document '" + std::string(id_text) + "' already exists");
}

Result<Uuid> parse_id(std::string_view id_text) {
  auto id = parse_uuid(id_text);
  if (!id) return fail(id.error().with_prefix("invalid UUID: "));
  return id;
}

}  // namespace

Status Engine::admit_batch(const Collection& collection, std::vector<NewDocument>& documents,
                           Admission admission, std::optional<size_t>* failed_document) {
  std::unordered_set<Uuid, UuidHash> seen;
  seen.reserve(documents.size());
  for (size_t i = 0; i < documents.size(); ++i) {
    NewDocument& d = documents[i];
    assign_id(d);
    Status ok = admission == Admission::kInsert
                    ? admit(collection, d)
                    : collection.check_replace(d.embedding.size(), d.document->text);
    if (ok && !seen.insert(d.document->id).second) {
      ok = fail(Error::invalid_value("duplicate document id '" + d.id_text + "' in batch"));
    }
    if (!ok) {
      if (failed_document != nullptr) *failed_document = i;
      return ok;
    }
  }
  return {};
}

Result<CollectionInfo> Engine::collection_info(std::string_view name) const {
  auto collection = find_collection(name);
  if (!collection) return fail(collection.error());
  return (*collection)->read([&](const CollectionData& data) {
    return CollectionInfo{(*collection)->name(), (*collection)->dimension(), data.documents.size(),
                          estimate_memory(data)};
  });
}

Result<Uuid> Engine::insert(std::string_view name, NewDocument document) {
  auto collection = find_collection(name);
  if (!collection) return fail(collection.error());
  assign_id(document);
  if (auto ok = admit(**collection, document); !ok) return fail(ok.error());
  const Uuid id = document.document->id;
  // The entry owns the document while it is logged, and hands it to the collection after.
  WalEntry entry = wal::InsertDocument{
      (*collection)->name(), {std::move(document.document), std::move(document.embedding)}};
  auto hold = log(entry);
  if (!hold) return fail(hold.error());
  wal::Item& item = std::get<wal::InsertDocument>(entry).item;
  // The id was free when admitted, but another thread may have inserted it since: its document
  // stays, and this one is not stored (replay ignores the later record of a live id too).
  const bool stored = (*collection)->insert_document(std::move(item.document), item.embedding);
  settle(std::move(*hold));
  if (!stored) return fail(already_exists(document.id_text));
  return id;
}

Result<std::vector<Uuid>> Engine::batch_insert(std::string_view name,
                                               std::vector<NewDocument> documents,
                                               std::optional<size_t>* failed_document,
                                               uint64_t threads) {
  auto collection = find_collection(name);
  if (!collection) return fail(collection.error());
  if (auto ok = admit_batch(**collection, documents, Admission::kInsert, failed_document); !ok) {
    return fail(ok.error());
  }
  // One entry for the whole batch: one record, one write, one flush to the device.
  std::vector<Uuid> ids;
  std::vector<std::string> id_texts;
  ids.reserve(documents.size());
  id_texts.reserve(documents.size());
  wal::BatchInsert batch{(*collection)->name(), {}};
  batch.items.reserve(documents.size());
  for (NewDocument& d : documents) {
    ids.push_back(d.document->id);
    id_texts.push_back(std::move(d.id_text));
    batch.items.push_back({std::move(d.document), std::move(d.embedding)});
  }
  WalEntry entry = std::move(batch);
  auto hold = log(entry);
  if (!hold) return fail(hold.error());
  // An id another thread inserted since the check keeps that thread's document. The rest of
  // the batch is stored all the same, as replaying its record would store it, and the first
  // such id is reported.
  std::optional<size_t> taken;
  auto& items = std::get<wal::BatchInsert>(entry).items;
  const size_t workers = resolve_thread_count(threads, items.size());
  if (workers == 1) {
    size_t text_bytes = 0;
    for (const wal::Item& item : items) text_bytes += item.document->text.size();
    (*collection)->reserve(items.size(), text_bytes);
    // Each document is shared, not handed over: the batch's documents are all freed together
    // after the loop. Freed one by one, they would leave holes among the batch's embeddings
    // that the tables growing meanwhile fill, and those long-lived blocks would then keep the
    // heap's pages around them once the batch is gone.
    for (size_t i = 0; i < items.size(); ++i) {
      if (!(*collection)->insert_document(items[i].document, items[i].embedding) && !taken) {
        taken = i;
      }
    }
  } else {
    std::vector<DocumentInsert> batch_items;
    batch_items.reserve(items.size());
    for (wal::Item& item : items) {
      batch_items.push_back({std::move(item.document), item.embedding});
    }
    taken = (*collection)->insert_documents(batch_items, workers);
  }
  release_insert_scratch();
  settle(std::move(*hold));
  if (taken) {
    if (failed_document != nullptr) *failed_document = *taken;
    return fail(already_exists(id_texts[*taken]));
  }
  return ids;
}

Result<DocumentPtr> Engine::get_document(std::string_view name, std::string_view id_text) const {
  auto collection = find_collection(name);
  if (!collection) return fail(collection.error());
  auto id = parse_id(id_text);
  if (!id) return fail(id.error());
  DocumentPtr document = (*collection)->get_document(*id);
  if (!document) {
    return fail(Error::not_found("document '" + std::string(id_text) + "' not found"));
  }
  return document;
}

Result<bool> Engine::delete_document(std::string_view name, std::string_view id_text) {
  auto collection = find_collection(name);
  if (!collection) return fail(collection.error());
  auto id = parse_id(id_text);
  if (!id) return fail(id.error());
  auto hold = log(wal::DeleteDocument{(*collection)->name(), *id});
  if (!hold) return fail(hold.error());
  const bool deleted = (*collection)->delete_document(*id);
  settle(std::move(*hold));
  return deleted;
}

namespace {

// What `search` refuses before running: a request without any query, and a query embedding
// whose length is not the collection's dimension.
Status check_search_request(const Collection& collection, const SearchRequest& request) {
  if (auto ok = require_query(request); !ok) return ok;
  const uint64_t dimension = collection.dimension();
  if (request.query_embedding && request.query_embedding->size() != dimension) {
    return fail(Error::invalid_value("embedding dimension mismatch: expected " +
                                     std::to_string(dimension) + ", got " +
                                     std::to_string(request.query_embedding->size())));
  }
  return {};
}

}  // namespace

Result<std::vector<ScoredDocument>> Engine::search(std::string_view name,
                                                   const SearchRequest& request) const {
  auto collection = find_collection(name);
  if (!collection) return fail(collection.error());
  if (auto ok = check_search_request(**collection, request); !ok) return fail(ok.error());
  return search_collection(**collection, request);
}

Result<std::vector<std::vector<ScoredDocument>>> Engine::search_many(
    std::string_view name, std::span<const SearchRequest> requests, uint64_t threads) const {
  auto collection = find_collection(name);
  if (!collection) return fail(collection.error());
  for (const SearchRequest& request : requests) {
    if (auto ok = check_search_request(**collection, request); !ok) return fail(ok.error());
  }
  std::vector<std::vector<ScoredDocument>> results(requests.size());
  parallel_for(requests.size(), resolve_thread_count(threads, requests.size()),
               [&](size_t i) { results[i] = search_collection(**collection, requests[i]); });
  return results;
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
  if (read_only_ && (!path || same_directory(*directory, *data_dir_))) {
    return fail(Error::io(kReadOnlyMessage));
  }
  if (store_) return store_->save(*found, *directory, key.get(), *database_);
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
  if (store_) store_->collection_loaded(name, *directory);
  return {};
}

Status Engine::compact() {
  if (!store_) return fail(Error::invalid_value("compact requires data_dir to be set"));
  return store_->compact(*database_);
}

}  // namespace kestrine
