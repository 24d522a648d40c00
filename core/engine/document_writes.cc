// The engine's writes by id or by filter beyond insert and delete: upsert, batch_upsert and
// delete_many. Each checks everything before it logs, logs before it changes anything, and
// changes memory while it keeps the checkpoint hold, then settles (releases the hold and
// checkpoints when the log is due), as the other writes of engine.cc do.
#include <optional>
#include <string>
#include <unordered_set>

#include "core/bm25/inverted_index.h"
#include "core/collection/listing.h"
#include "core/engine/engine.h"
#include "core/hnsw/insert.h"

namespace kestrine {
namespace {

Status admit_replacement(const Collection& collection, const NewDocument& d) {
  return collection.check_replace(d.embedding.size(), d.document->text);
}

}  // namespace

Result<CheckpointHold> Engine::log_all(std::span<const WalEntry> entries) {
  if (!store_) return CheckpointHold();
  return store_->append_entries(entries);
}

Result<bool> Engine::upsert(std::string_view name, NewDocument document) {
  auto found = find_collection(name);
  if (!found) return fail(found.error());
  Collection& collection = **found;
  assign_id(document);
  if (auto ok = admit_replacement(collection, document); !ok) return fail(ok.error());
  const Uuid id = document.document->id;
  WalEntry entry = wal::UpdateDocument{
      collection.name(), id, {std::move(document.document), std::move(document.embedding)}};
  auto hold = log(entry);
  if (!hold) return fail(hold.error());
  wal::Item& item = std::get<wal::UpdateDocument>(entry).item;
  const bool replaced = collection.replace_document(std::move(item.document), item.embedding);
  settle(std::move(*hold));
  return replaced;
}

Result<std::vector<Uuid>> Engine::batch_upsert(std::string_view name,
                                               std::vector<NewDocument> documents,
                                               std::optional<size_t>* failed_document) {
  auto found = find_collection(name);
  if (!found) return fail(found.error());
  Collection& collection = **found;
  if (auto ok = admit_batch(collection, documents, Admission::kReplace, failed_document); !ok) {
    return fail(ok.error());
  }
  std::vector<Uuid> ids;
  ids.reserve(documents.size());
  std::vector<WalEntry> entries;
  entries.reserve(documents.size());
  for (NewDocument& d : documents) {
    ids.push_back(d.document->id);
    entries.push_back(wal::UpdateDocument{
        collection.name(), d.document->id, {std::move(d.document), std::move(d.embedding)}});
  }
  auto hold = log_all(entries);
  if (!hold) return fail(hold.error());
  // The documents are shared, not handed over, so that they are freed together after the loop
  // (as batch_insert's are).
  for (WalEntry& entry : entries) {
    wal::Item& item = std::get<wal::UpdateDocument>(entry).item;
    collection.replace_document(item.document, item.embedding);
  }
  release_insert_scratch();
  settle(std::move(*hold));
  return ids;
}

Result<uint64_t> Engine::delete_many(std::string_view name, std::span<const Uuid> ids,
                                     const Filter* filter) {
  auto found = find_collection(name);
  if (!found) return fail(found.error());
  Collection& collection = **found;
  std::vector<Uuid> targets = filter ? matching_ids(collection, *filter) : std::vector<Uuid>();
  std::unordered_set<Uuid, UuidHash> chosen(targets.begin(), targets.end());
  for (const Uuid& id : ids) {
    if (!chosen.contains(id) && collection.get_document(id) != nullptr) {
      chosen.insert(id);
      targets.push_back(id);
    }
  }
  if (targets.empty()) return uint64_t{0};
  std::vector<WalEntry> entries;
  entries.reserve(targets.size());
  for (const Uuid& id : targets) entries.push_back(wal::DeleteDocument{collection.name(), id});
  auto hold = log_all(entries);
  if (!hold) return fail(hold.error());
  // A document deleted by another call meanwhile is not counted: it was not deleted here.
  uint64_t deleted = 0;
  for (const Uuid& id : targets) deleted += collection.delete_document(id);
  settle(std::move(*hold));
  return deleted;
}

}  // namespace kestrine
