#include "core/storage/snapshot_validation.h"

#include <cstdint>
#include <string>

namespace kestrine {
namespace {

Error rule_failed(std::string text) { return Error::invalid_data(std::move(text)); }

// Whether a table of `length` elements holds `per_node` elements for each of `nodes` nodes.
// Stored products can exceed 64 bits; such a table cannot exist, so it never matches.
bool holds(uint64_t length, uint64_t nodes, uint64_t per_node) {
  if (per_node != 0 && nodes > UINT64_MAX / per_node) return false;
  return length == nodes * per_node;
}

Status check_per_node(const char* field, uint64_t length, uint64_t n) {
  if (length == n) return {};
  return fail(rule_failed(std::string(field) + " length " + std::to_string(length) +
                          " != node_count " + std::to_string(n)));
}

}  // namespace

Status validate_snapshot(const CollectionData& data) {
  const HnswIndex& h = data.hnsw;
  const uint64_t n = h.node_count;
  const uint64_t d = data.dimension;
  const std::string ns = std::to_string(n);

  if (h.dimension != d) {
    return fail(rule_failed("HNSW dimension " + std::to_string(h.dimension) +
                            " != collection dimension " + std::to_string(d)));
  }
  if (!holds(h.vector_data.size(), n, d)) {
    return fail(rule_failed("vector_data length " + std::to_string(h.vector_data.size()) +
                            " != node_count(" + ns + ") * dimension(" + std::to_string(d) + ")"));
  }
  if (auto ok = check_per_node("vector_min", h.vector_min.size(), n); !ok) return ok;
  if (auto ok = check_per_node("vector_scale", h.vector_scale.size(), n); !ok) return ok;
  if (auto ok = check_per_node("neighbors", h.neighbors.node_count(), n); !ok) return ok;
  if (auto ok = check_per_node("layers", h.layers.size(), n); !ok) return ok;
  if (auto ok = check_per_node("deleted", h.deleted.size(), n); !ok) return ok;
  if (h.pq_codebook && !holds(h.pq_codes.size(), n, h.pq_codebook->num_subspaces)) {
    return fail(rule_failed("pq_codes length " + std::to_string(h.pq_codes.size()) +
                            " != node_count(" + ns + ") * num_subspaces(" +
                            std::to_string(h.pq_codebook->num_subspaces) + ")"));
  }
  if (data.uuid_to_internal.size() > data.internal_to_uuid.size()) {
    return fail(rule_failed("uuid_to_internal(" + std::to_string(data.uuid_to_internal.size()) +
                            ") != internal_to_uuid(" +
                            std::to_string(data.internal_to_uuid.size()) + ")"));
  }
  if (data.internal_to_uuid.size() != n) {
    return fail(rule_failed("internal_to_uuid length " +
                            std::to_string(data.internal_to_uuid.size()) + " != node_count " + ns));
  }
  if (data.documents.size() > n) {
    return fail(rule_failed("documents(" + std::to_string(data.documents.size()) +
                            ") > node_count(" + ns + ")"));
  }
  if (h.config.store_raw_vectors && !holds(h.raw_vectors.size(), n, d)) {
    return fail(rule_failed("raw_vectors length " + std::to_string(h.raw_vectors.size()) +
                            " != node_count(" + ns + ") * dimension(" + std::to_string(d) + ")"));
  }
  if (!h.config.store_raw_vectors && !h.raw_vectors.empty()) {
    return fail(rule_failed("raw_vectors length " + std::to_string(h.raw_vectors.size()) +
                            " without store_raw_vectors"));
  }
  if (h.entry_point) {
    if (*h.entry_point >= n) {
      return fail(
          rule_failed("entry_point " + std::to_string(*h.entry_point) + " >= node_count " + ns));
    }
  } else if (n == 0) {
    return {};
  }
  for (uint32_t node = 0; node < n; ++node) {
    const size_t layers = h.neighbors.layer_count(node);
    for (size_t layer = 0; layer < layers; ++layer) {
      for (uint32_t id : h.neighbors.get(node, layer)) {
        if (id >= n) {
          return fail(rule_failed("neighbor " + std::to_string(id) +
                                  " out of bounds (node_count=" + ns + ") at node " +
                                  std::to_string(node) + " layer " + std::to_string(layer)));
        }
      }
    }
  }
  return {};
}

}  // namespace kestrine
