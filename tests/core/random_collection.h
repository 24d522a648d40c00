// Random collection states for storage tests, the fuzzer's seed corpus and benchmarks.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/collection/collection.h"
#include "core/common/uuid.h"

namespace kestrine::testing {

struct RandomOptions {
  uint32_t nodes = 20;
  uint64_t dimension = 8;
  bool raw_vectors = false;
  uint64_t pq_subspaces = 0;  // non-zero: a codebook and pq_codes
  double deleted_fraction = 0.25;
};

// A collection state whose tables agree with each other (it passes validation), filled with
// random content: every metadata type, unusual floats, non-ASCII text, deletions (the id-map
// entries of deleted documents are dropped, as after re-insertion), random neighbour lists on
// random levels (a graph of the shape validation requires), postings.
inline CollectionData random_collection(std::mt19937_64& rng, const RandomOptions& o) {
  auto pick = [&rng](uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng); };
  auto random_float = [&]() -> float {
    switch (pick(8)) {
      case 0:
        return -0.0f;
      case 1:
        return std::numeric_limits<float>::quiet_NaN();
      case 2:
        return std::numeric_limits<float>::infinity();
      default:
        return std::uniform_real_distribution<float>(-10, 10)(rng);
    }
  };
  auto random_text = [&]() {
    static const char* kPieces[] = {
        "alpha", "beta", "gamma", " ", "caffè", "日本", "\xF0\x9F\x90\x9F", ""};
    std::string text;
    const uint64_t n = pick(6);
    for (uint64_t i = 0; i < n; ++i) text += kPieces[pick(8)];
    return text;
  };

  CollectionData data;
  data.name = "collection-" + std::to_string(pick(1000));
  data.dimension = o.dimension;
  HnswIndex& h = data.hnsw;
  h.config.m = 1 + pick(32);
  h.config.m_max0 = 2 * h.config.m;
  h.config.ef_construction = pick(500);
  h.config.ef_search = pick(500);
  h.config.max_layers = 16;
  h.config.distance_metric = static_cast<DistanceMetric>(pick(3));
  h.config.pq_subspaces = o.pq_subspaces;
  h.config.store_raw_vectors = o.raw_vectors;
  h.dimension = o.dimension;
  h.node_count = o.nodes;

  const uint32_t n = o.nodes;
  for (uint64_t i = 0; i < n * o.dimension; ++i)
    h.vector_data.push_back(static_cast<uint8_t>(pick(256)));
  for (uint32_t i = 0; i < n; ++i) {
    const float min = random_float();
    append_code_header(h, min, random_float());
  }
  if (o.raw_vectors) {
    for (uint64_t i = 0; i < n * o.dimension; ++i) h.raw_vectors.push_back(random_float());
  }
  // Levels first: a link on layer l points to a node living there, within the layer's budget.
  std::vector<uint64_t> levels(n);
  uint64_t max_level = 0;
  for (uint32_t node = 0; node < n; ++node) {
    levels[node] = pick(4) == 0 ? pick(4) : 0;
    max_level = std::max(max_level, levels[node]);
  }
  for (uint32_t node = 0; node < n; ++node) {
    const uint64_t level = levels[node];
    h.layers.push_back(static_cast<uint8_t>(level));
    h.neighbors.add_node(level + 1);
    for (uint64_t layer = 0; layer <= level; ++layer) {
      std::vector<uint32_t> there;
      for (uint32_t other = 0; other < n; ++other) {
        if (levels[other] >= layer) there.push_back(other);
      }
      const uint64_t budget = layer == 0 ? h.config.m_max0 : h.config.m;
      const uint64_t links = std::min<uint64_t>(pick(6), budget);
      for (uint64_t k = 0; k < links; ++k)
        h.neighbors.append(node, layer, there[pick(there.size())]);
    }
  }
  if (o.pq_subspaces != 0) {
    PqCodebook codebook;
    codebook.num_subspaces = o.pq_subspaces;
    codebook.num_centroids = 256;
    codebook.subspace_dim = o.dimension / o.pq_subspaces;
    for (uint64_t i = 0; i < 256 * o.dimension; ++i) codebook.centroids.push_back(random_float());
    h.pq_codebook = std::move(codebook);
    for (uint64_t i = 0; i < n * o.pq_subspaces; ++i)
      h.pq_codes.push_back(static_cast<uint8_t>(pick(256)));
  }
  if (n != 0) {
    std::vector<uint32_t> top;
    for (uint32_t node = 0; node < n; ++node) {
      if (levels[node] == max_level) top.push_back(node);
    }
    h.entry_point = top[pick(top.size())];
  }
  h.max_level = max_level;

  for (uint32_t node = 0; node < n; ++node) {
    auto doc = std::make_shared<Document>();
    doc->id = new_uuid();
    doc->text = random_text();
    const uint64_t entries = pick(5);
    for (uint64_t k = 0; k < entries; ++k) {
      const std::string key = "key" + std::to_string(pick(10)) + (pick(2) ? "é" : "");
      switch (pick(4)) {
        case 0:
          doc->metadata[key] = pick(2) == 1;
          break;
        case 1:
          doc->metadata[key] = static_cast<int64_t>(rng());
          break;
        case 2:
          doc->metadata[key] = static_cast<double>(random_float()) * 1e300;
          break;
        default:
          doc->metadata[key] = random_text();
      }
    }
    data.internal_to_uuid.push_back(doc->id);
    const bool deleted = std::uniform_real_distribution<double>(0, 1)(rng) < o.deleted_fraction;
    h.deleted.push_back(deleted ? 1 : 0);
    data.bm25.doc_lengths.push_back(static_cast<uint32_t>(pick(50)));
    if (!deleted) {
      data.uuid_to_internal[doc->id] = node;
      data.store_document(doc->id, *doc);
      data.bm25.doc_count += 1;
      data.bm25.total_length += data.bm25.doc_lengths.back();
      const uint64_t terms = pick(4);
      for (uint64_t t = 0; t < terms; ++t) {
        data.bm25.postings["term" + std::to_string(pick(30))].push_back(
            {node, static_cast<uint32_t>(1 + pick(5))});
      }
    }
  }
  return data;
}

}  // namespace kestrine::testing
