// Rebuilding a collection's indexes from its live documents. Deleting a document only marks its
// node: the node's vector, codes, links and id-table entries stay until a rebuild replaces the
// HNSW index, the keyword index and both id tables by fresh ones that hold the live documents
// alone, numbered from 0 in the iteration order of `documents`. Documents themselves are kept
// as they are; only internal ids change. The rebuild is also the one place where
// product quantization is trained, when the index configuration names a subspace count.
//
// It runs in two halves so that the collection stays usable meanwhile:
//   build_indexes    reads every live document and its vector back from the index under the
//                    shared lock, then builds the new tables with no lock held (the costly
//                    part: every insertion and the codebook training);
//   install_indexes  under the exclusive lock, brings the new tables up to date with what
//                    changed since the read and puts them in place of the old ones.
// Collection::rebuild runs both, one rebuild of a collection at a time.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "core/bm25/inverted_index.h"
#include "core/collection/collection.h"
#include "core/common/error.h"
#include "core/common/uuid.h"
#include "core/common/uuid_map.h"
#include "core/hnsw/hnsw_index.h"

namespace kestrine {

// New tables for one collection, built from the documents that were live when it was read.
// Document j of that read has internal id j in all four tables.
struct RebuiltIndexes {
  HnswIndex hnsw;  // the collection's configuration and dimension
  InvertedIndex bm25;
  UuidMap<uint32_t> uuid_to_internal;
  CacheLineVector<Uuid> internal_to_uuid;
  // Per new internal id: the document's internal id in the tables it was read from, or kNoNode
  // when its id was not mapped. Unchanged exactly when the document is still live under that
  // same node at installation: a delete removes it from `documents`, and inserting the id again
  // gives it a new node.
  std::vector<uint32_t> source_nodes;

  static constexpr uint32_t kNoNode = std::numeric_limits<uint32_t>::max();
};

// Reads the live documents and their stored vectors (raw when kept, else the dequantized codes)
// under the shared lock, then, with no lock held, indexes them into new tables and trains a
// codebook when the configuration has a non-zero pq_subspaces and there is a node to train on.
// A failed training is returned as its kInternal error, and nothing of the collection changes.
Result<RebuiltIndexes> build_indexes(const Collection& collection);

// Under the exclusive lock: marks deleted, in the new tables, every document of the build that
// is no longer live under the node it was read from; puts the new tables in place; then adds,
// like an insert, every live document the build does not hold (inserted since the read, or
// deleted and inserted again), its vector read back from the tables being replaced. Returns the
// number of documents the build started from. `rebuilt` must come from build_indexes on this
// collection, with no other installation in between.
uint64_t install_indexes(Collection& collection, RebuiltIndexes rebuilt);

}  // namespace kestrine
