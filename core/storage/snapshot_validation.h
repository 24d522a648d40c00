// Consistency checks of a decoded snapshot, made before a collection is built from it.
#pragma once

#include "core/collection/collection.h"
#include "core/common/error.h"

namespace kestrine {

// Checks, in this order, and reports the first failure as kInvalidData with the rule's text
// (n = hnsw.node_count, d = dimension):
//   1. hnsw.dimension == d            "HNSW dimension X != collection dimension d"
//   2. |vector_data| == n * d         "vector_data length X != node_count(n) * dimension(d)"
//   3-7. |vector_min|, |vector_scale| (the stored lengths: headers.min_count, scale_count),
//        |neighbors|, |layers|, |deleted| == n
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
// With n > 0, the graph's shape, in the same pass as rule 14 (a rule-14 failure anywhere is
// reported first; otherwise the first of these, in this order, then node by node):
//  15. an entry point is present     "entry_point missing with node_count n"
//  16. max_level == layers[entry]    "max_level X != level Y of entry_point e"
//  17. node i has layers[i] + 1 lists "node i of level L has X neighbor layers"
//  18. layers[i] <= max_level         "level L of node i > max_level X"
//  19. a list holds at most its layer's budget (m_max0 on layer 0, m above)
//                                     "neighbors of node i layer l: X > budget B"
//  20. a link on layer l points to a node that lives on layer l
//                                     "neighbor X of level L at node i layer l"
// Every graph insertion builds satisfies them; a descent, a layer search and an insertion rely
// on them (they assert, where they used to clamp).
// Rule 9 accepts fewer id-map entries than slots: a deleted document's id may be inserted
// again, leaving its old slot behind with no map entry pointing to it.
//
// Past these rules the per-node tables are trusted: insertion and the distance code assert them
// instead of checking again. Not checked here, and bounded by the code that uses them: the
// configuration's values, the keyword index's posting ids and lengths, documents missing from
// the id maps, and a product-quantization codebook that cannot encode the dimension.
Status validate_snapshot(const CollectionData& data);

}  // namespace kestrine
