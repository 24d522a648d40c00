// What the snapshot fuzzer does with one input, shared with the regression test that replays
// the seed corpus and every input that once failed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>

#include "core/collection/collection.h"
#include "core/storage/crypto.h"
#include "core/storage/snapshot.h"
#include "tests/core/engine_probes.h"

namespace kestrine::fuzzing {

// The key of the encrypted seeds, so that sealed inputs reach the decoder too.
inline constexpr char kFuzzKeyHex[] =
    "6b65737472696e652066757a7a696e67206b657920666f7220736e617073686f";

inline const EncryptionKey& fuzz_key() {
  static const KeyPtr key = *parse_key(kFuzzKeyHex);
  return *key;
}

[[noreturn]] inline void broken(const char* what) {
  std::fprintf(stderr, "snapshot fuzzing: %s\n", what);
  std::abort();
}

// Parses `file` as a snapshot; when it is accepted, builds the collection and reads it the way
// later calls would. Returns whether it was accepted. Aborts on a broken invariant: whatever
// was accepted must encode to a file that is accepted again.
inline bool check_snapshot_input(std::span<const uint8_t> file) {
  auto parsed = parse_snapshot(file, "fuzz.kestrine", &fuzz_key());
  if (!parsed) return false;

  auto again = encode_snapshot(*parsed, nullptr);
  if (!again) broken("an accepted snapshot could not be encoded");
  auto reparsed = parse_snapshot(*again, "again.kestrine", nullptr);
  if (!reparsed) broken("a re-encoded snapshot was rejected");
  if (reparsed->hnsw.node_count != parsed->hnsw.node_count ||
      reparsed->documents.size() != parsed->documents.size()) {
    broken("a re-encoded snapshot decoded to other content");
  }

  auto collection = std::make_shared<Collection>(std::move(*parsed));
  (void)collection->estimate_memory();
  (void)document_count(*collection);
  collection->read([&collection](const CollectionData& data) {
    size_t probes = 0;
    for (const Uuid& id : data.internal_to_uuid) {
      if (++probes > 64) break;
      (void)collection->get_document(id);
    }
  });
  return true;
}

}  // namespace kestrine::fuzzing
