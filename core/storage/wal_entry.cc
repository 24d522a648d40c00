#include "core/storage/wal_entry.h"

#include <memory>
#include <type_traits>
#include <utility>

#include "core/storage/records.h"

namespace kestrine {
namespace {

// Smallest encoded batch item: a document (UUID 8 + 16, empty text, no metadata) and an empty
// embedding. A declared item count that cannot fit in the remaining bytes is a truncation.
constexpr size_t kMinItem = (8 + 16) + 8 + 8 + 8;

void encode_item(Encoder& e, const wal::Item& item) {
  encode_document(e, *item.document);
  e.f32s(item.embedding);
}

wal::Item decode_item(Decoder& d) {
  wal::Item item;
  item.document = std::make_shared<const Document>(decode_document(d));
  d.f32s(item.embedding);
  return item;
}

}  // namespace

void encode_wal_entry(Encoder& e, const WalEntry& entry) {
  e.variant(static_cast<uint32_t>(entry.index()));
  std::visit(
      [&e](const auto& v) {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, wal::CreateCollection>) {
          e.string(v.name);
          e.u64(v.dimension);
          encode_hnsw_config(e, v.config);
        } else if constexpr (std::is_same_v<V, wal::DeleteCollection>) {
          e.string(v.name);
        } else if constexpr (std::is_same_v<V, wal::InsertDocument>) {
          e.string(v.collection);
          encode_item(e, v.item);
        } else if constexpr (std::is_same_v<V, wal::DeleteDocument>) {
          e.string(v.collection);
          e.uuid(v.id);
        } else if constexpr (std::is_same_v<V, wal::BatchInsert>) {
          e.string(v.collection);
          e.length(v.items.size());
          for (const wal::Item& item : v.items) encode_item(e, item);
        } else {
          static_assert(std::is_same_v<V, wal::UpdateDocument>);
          e.string(v.collection);
          e.uuid(v.id);
          encode_item(e, v.item);
        }
      },
      entry);
}

WalEntry decode_wal_entry(Decoder& d) {
  switch (d.variant(kWalEntryVariants)) {
    case 0: {
      wal::CreateCollection v;
      v.name = d.string();
      v.dimension = d.u64();
      v.config = decode_hnsw_config(d);
      return v;
    }
    case 1:
      return wal::DeleteCollection{d.string()};
    case 2: {
      wal::InsertDocument v;
      v.collection = d.string();
      v.item = decode_item(d);
      return v;
    }
    case 3: {
      wal::DeleteDocument v;
      v.collection = d.string();
      v.id = d.uuid();
      return v;
    }
    case 4: {
      wal::BatchInsert v;
      v.collection = d.string();
      const uint64_t n = d.count(kMinItem);
      v.items.reserve(reserve_hint<wal::Item>(n));
      for (uint64_t i = 0; i < n && d.ok(); ++i) v.items.push_back(decode_item(d));
      return v;
    }
    default: {
      wal::UpdateDocument v;
      v.collection = d.string();
      v.id = d.uuid();
      v.item = decode_item(d);
      return v;
    }
  }
}

std::vector<uint8_t> encode_entry(const WalEntry& entry, size_t head, size_t tail) {
  return encode_exact([&entry](Encoder& e) { encode_wal_entry(e, entry); }, head, tail);
}

Result<WalEntry> decode_entry(std::span<const uint8_t> bytes) {
  return decode_record<WalEntry>(bytes, decode_wal_entry);
}

const std::string& entry_collection(const WalEntry& entry) {
  return std::visit(
      [](const auto& v) -> const std::string& {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, wal::CreateCollection> ||
                      std::is_same_v<V, wal::DeleteCollection>) {
          return v.name;
        } else {
          return v.collection;
        }
      },
      entry);
}

}  // namespace kestrine
