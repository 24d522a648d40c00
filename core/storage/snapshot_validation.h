// Consistency checks of a decoded snapshot, made before a collection is built from it.
#pragma once

#include "core/collection/collection.h"
#include "core/common/error.h"

namespace kestrine {

// Checks, in this order, and reports the first failure as kInvalidData with the rule's text
// (n = hnsw.node_count, d = dimension):
//   1. hnsw.dimension == d            "HNSW dimension X != collection dimension d"
//   2. |vector_data| == n * d         "vector_data length X != node_count(n) * dimension(d)"
//   3-7. |vector_min|, |vector_scale|, |neighbors|, |layers|, |deleted| == n
//                                     "<field> length X != node_count n"
//   8. with a PQ codebook, |pq_codes| == n * num_subspaces
//                                     "pq_codes length X != node_count(n) * num_subspaces(s)"
//   9. |uuid_to_internal| <= |internal_to_uuid|   "uuid_to_internal(X) != internal_to_uuid(Y)"
//  10. |internal_to_uuid| == n        "internal_to_uuid length X != node_count n"
//  11. |documents| <= n               "documents(X) > node_count(n)"
//  12. |raw_vectors| == n * d when the configuration keeps raw vectors, else 0
//                                     "raw_vectors length X != node_count(n) * dimension(d)"
//                                     "raw_vectors length X without store_raw_vectors"
//  13. entry_point < n when present   "entry_point X >= node_count n"; absent with n == 0: valid
//  14. every neighbour id < n
//        "neighbor X out of bounds (node_count=n) at node i layer l"
// Rule 9 accepts fewer id-map entries than slots: a deleted document's id may be inserted
// again, leaving its old slot behind with no map entry pointing to it.
//
// Past these rules the per-node tables are trusted: insertion and the distance code assert them
// instead of checking again. Everything else (the values of layers, max_level, list lengths
// against the link budgets, posting ids, documents missing from the id maps) is not checked
// here: the format allows it, and the code that uses a loaded collection bounds what it reads.
Status validate_snapshot(const CollectionData& data);

}  // namespace kestrine
