// The changes the write-ahead log records, one WalEntry per logged call.
//
// An entry is encoded as an enumeration of the record encoding (encoder.h): the variant's tag
// as u32, then its fields in order.
//
//   tag  variant            fields
//   0    CreateCollection   name: string | dimension: u64 | config: HnswConfig
//   1    DeleteCollection   name: string
//   2    InsertDocument     collection: string | document: Document | embedding: seq f32
//   3    DeleteDocument     collection: string | id: UUID
//   4    BatchInsert        collection: string | items: seq of (document: Document,
//                                                               embedding: seq f32)
//   5    UpdateDocument     collection: string | id: UUID | document: Document |
//                           embedding: seq f32
//
// Document and HnswConfig are the snapshot records (records.h). UpdateDocument is what an
// upsert writes: replay deletes the id, then inserts the document. A tag above 5 is a decoding
// error, which the reader of a log treats as a record to skip.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/collection/document.h"
#include "core/common/error.h"
#include "core/common/uuid.h"
#include "core/hnsw/config.h"
#include "core/storage/decoder.h"
#include "core/storage/encoder.h"

namespace kestrine {
namespace wal {

// A document with its embedding, as inserted.
struct Item {
  DocumentPtr document;
  std::vector<float> embedding;
};

struct CreateCollection {
  std::string name;
  uint64_t dimension = 0;
  HnswConfig config;
};
struct DeleteCollection {
  std::string name;
};
struct InsertDocument {
  std::string collection;
  Item item;
};
struct DeleteDocument {
  std::string collection;
  Uuid id;
};
struct BatchInsert {
  std::string collection;
  std::vector<Item> items;
};
struct UpdateDocument {
  std::string collection;
  Uuid id;
  Item item;
};

}  // namespace wal

// The variant's index is the stored tag.
using WalEntry = std::variant<wal::CreateCollection, wal::DeleteCollection, wal::InsertDocument,
                              wal::DeleteDocument, wal::BatchInsert, wal::UpdateDocument>;

inline constexpr uint32_t kWalEntryVariants = std::variant_size_v<WalEntry>;

void encode_wal_entry(Encoder& e, const WalEntry& entry);
WalEntry decode_wal_entry(Decoder& d);

// The entry as one exactly sized buffer with `head` and `tail` bytes of room around it.
std::vector<uint8_t> encode_entry(const WalEntry& entry, size_t head = 0, size_t tail = 0);
// The entry at the start of `bytes`; later bytes are ignored. kInvalidData with the decoder's
// texts, among them "invalid value: integer `6`, expected variant index 0 <= i < 6".
Result<WalEntry> decode_entry(std::span<const uint8_t> bytes);

// The name of the collection an entry is about.
const std::string& entry_collection(const WalEntry& entry);

}  // namespace kestrine
