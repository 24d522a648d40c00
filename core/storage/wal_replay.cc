#include "core/storage/wal_replay.h"

#include <type_traits>
#include <utility>
#include <variant>

namespace kestrine {
namespace {

// Inserts one logged document unless its id is live or the collection cannot take it.
bool apply_item(Collection& collection, wal::Item& item) {
  if (!item.document) return false;
  const Document& document = *item.document;
  if (!collection.check_insert(document.id, {}, item.embedding.size(), document.text)) {
    return false;
  }
  return collection.insert_document(std::move(item.document), item.embedding);
}

}  // namespace

Result<ReplayReport> scan_log(
    const std::filesystem::path& path, const EncryptionKey* key,
    const std::function<void(const RawRecord&, Result<WalEntry>&&)>& visit, FileSystem& fs) {
  auto reader = WalReader::open(path, fs);
  if (!reader) return fail(reader.error());
  ReplayReport report;
  report.file_size = (*reader)->file_size();
  bool decrypted_any = false;
  RawRecord record;
  for (;;) {
    report.valid_length = (*reader)->offset();
    auto next = (*reader)->read(&record);
    if (!next) return fail(next.error());
    if (*next == WalReader::Next::kEnd) break;
    if (*next == WalReader::Next::kTornTail) {
      report.end = LogEnd::kTornTail;
      break;
    }
    CheckedRecord checked = check_record(record, key);
    switch (checked.verdict) {
      case RecordVerdict::kPlain:
      case RecordVerdict::kDecrypted:
        break;
      case RecordVerdict::kBadChecksum:
        report.end = LogEnd::kCorrupt;
        report.problem = std::move(checked.problem);
        return report;
      case RecordVerdict::kEncryptedWithoutKey:
        report.refusal = LogRefusal::kMissingKey;
        report.problem = std::move(checked.problem);
        return report;
      case RecordVerdict::kUndecryptable:
        // After a record that opened, the key is right: this record is damaged.
        report.problem = std::move(checked.problem);
        if (decrypted_any) {
          report.end = LogEnd::kCorrupt;
        } else {
          report.refusal = LogRefusal::kWrongKey;
        }
        return report;
    }
    const bool decrypted = checked.verdict == RecordVerdict::kDecrypted;
    decrypted_any = decrypted_any || decrypted;
    auto entry = decode_entry(decrypted ? checked.plaintext : record.payload);
    if (entry) {
      ++report.entries;
    } else {
      ++report.undecodable;
    }
    visit(record, std::move(entry));
  }
  return report;
}

Result<ReplayReport> replay_log(const std::filesystem::path& path, const EncryptionKey* key,
                                const std::function<void(WalEntry&&)>& apply, FileSystem& fs) {
  auto report = scan_log(
      path, key,
      [&apply](const RawRecord&, Result<WalEntry>&& entry) {
        if (entry) apply(std::move(*entry));
      },
      fs);
  if (!report) return fail(report.error());
  if (report->refusal != LogRefusal::kNone) return fail(Error::invalid_data(report->problem));
  return report;
}

bool apply_entry(CollectionMap& database, WalEntry&& entry) {
  return std::visit(
      [&database](auto&& v) -> bool {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, wal::CreateCollection>) {
          if (!check_collection_name(v.name)) return false;
          return database.create_collection(v.name, v.dimension, v.config).has_value();
        } else if constexpr (std::is_same_v<V, wal::DeleteCollection>) {
          return database.remove_collection(v.name);
        } else {
          auto collection = database.get_collection(v.collection);
          if (!collection) return false;
          if constexpr (std::is_same_v<V, wal::InsertDocument>) {
            return apply_item(*collection, v.item);
          } else if constexpr (std::is_same_v<V, wal::DeleteDocument>) {
            return collection->delete_document(v.id);
          } else if constexpr (std::is_same_v<V, wal::BatchInsert>) {
            bool changed = false;
            for (wal::Item& item : v.items) changed = apply_item(*collection, item) || changed;
            return changed;
          } else {
            static_assert(std::is_same_v<V, wal::UpdateDocument>);
            const bool deleted = collection->delete_document(v.id);
            return apply_item(*collection, v.item) || deleted;
          }
        }
      },
      std::move(entry));
}

}  // namespace kestrine
