// The out-links of every node of an HNSW graph: one list per layer the node lives on. Lists
// grow by one id or are replaced whole; the representation stays private so that it can be
// tuned without touching the graph algorithms or the snapshot codec.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kestrine {

class NeighborLists {
 public:
  uint32_t node_count() const { return static_cast<uint32_t>(lists_.size()); }

  // Number of layers node `node` has lists for (0 for an unknown node).
  size_t layer_count(uint32_t node) const { return node < lists_.size() ? lists_[node].size() : 0; }

  // The list of `node` on `layer`; empty when the node has no list there.
  std::span<const uint32_t> get(uint32_t node, size_t layer) const {
    if (node >= lists_.size() || layer >= lists_[node].size()) return {};
    return lists_[node][layer];
  }

  // Appends a new node with `layers` empty lists.
  void add_node(size_t layers) { lists_.emplace_back(layers); }

  // Gives `node` empty lists up to and including `layer`.
  void ensure_layer(uint32_t node, size_t layer) {
    if (lists_[node].size() <= layer) lists_[node].resize(layer + 1);
  }

  void append(uint32_t node, size_t layer, uint32_t id) { lists_[node][layer].push_back(id); }

  void assign(uint32_t node, size_t layer, std::span<const uint32_t> ids) {
    lists_[node][layer].assign(ids.begin(), ids.end());
  }

  void reserve(size_t nodes) { lists_.reserve(nodes); }
  void clear() { lists_.clear(); }

  friend bool operator==(const NeighborLists&, const NeighborLists&) = default;

 private:
  std::vector<std::vector<std::vector<uint32_t>>> lists_;
};

}  // namespace kestrine
