#include "core/storage/snapshot_validation.h"

#include <cstdint>
#include <optional>
#include <span>
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

// Rules 15 and 16: a graph with nodes has an entry point, and the top level is the entry
// point's own level (a descent starts on the entry point's highest list).
std::optional<Error> check_top(const HnswIndex& h) {
  if (!h.entry_point) {
    return rule_failed("entry_point missing with node_count " + std::to_string(h.node_count));
  }
  const uint64_t level = h.layers[*h.entry_point];
  if (h.max_level != level) {
    return rule_failed("max_level " + std::to_string(h.max_level) + " != level " +
                       std::to_string(level) + " of entry_point " + std::to_string(*h.entry_point));
  }
  return std::nullopt;
}

// Rules 17 and 18: a node of level L has lists for layers 0..L, and no level exceeds max_level.
std::optional<Error> check_levels(const HnswIndex& h, uint32_t node, size_t layers) {
  const uint64_t level = h.layers[node];
  if (layers != level + 1) {
    return rule_failed("node " + std::to_string(node) + " of level " + std::to_string(level) +
                       " has " + std::to_string(layers) + " neighbor layers");
  }
  if (level > h.max_level) {
    return rule_failed("level " + std::to_string(level) + " of node " + std::to_string(node) +
                       " > max_level " + std::to_string(h.max_level));
  }
  return std::nullopt;
}

// Rule 19: no list is longer than its layer's link budget (m_max0 on layer 0, m above).
std::optional<Error> check_budget(const HnswConfig& config, uint32_t node, size_t layer,
                                  size_t length) {
  const uint64_t budget = layer == 0 ? config.m_max0 : config.m;
  if (length <= budget) return std::nullopt;
  return rule_failed("neighbors of node " + std::to_string(node) + " layer " +
                     std::to_string(layer) + ": " + std::to_string(length) + " > budget " +
                     std::to_string(budget));
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
  if (auto ok = check_per_node("vector_min", h.headers.min_count, n); !ok) return ok;
  if (auto ok = check_per_node("vector_scale", h.headers.scale_count, n); !ok) return ok;
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
  // The graph's shape (rules 15-20) is checked in the same pass as rule 14; a failure of rule
  // 14 anywhere still wins, so the first shape failure is held until the pass ends.
  std::optional<Error> shape = check_top(h);
  for (uint32_t node = 0; node < n; ++node) {
    const size_t layers = h.neighbors.layer_count(node);
    if (!shape) shape = check_levels(h, node, layers);
    for (size_t layer = 0; layer < layers; ++layer) {
      const std::span<const uint32_t> list = h.neighbors.get(node, layer);
      if (!shape) shape = check_budget(h.config, node, layer, list.size());
      for (uint32_t id : list) {
        if (id >= n) {
          return fail(rule_failed("neighbor " + std::to_string(id) +
                                  " out of bounds (node_count=" + ns + ") at node " +
                                  std::to_string(node) + " layer " + std::to_string(layer)));
        }
        if (!shape && h.layers[id] < layer) {
          shape = rule_failed("neighbor " + std::to_string(id) + " of level " +
                              std::to_string(h.layers[id]) + " at node " + std::to_string(node) +
                              " layer " + std::to_string(layer));
        }
      }
    }
  }
  if (shape) return fail(std::move(*shape));
  return {};
}

}  // namespace kestrine
