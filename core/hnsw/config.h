// Configuration of one HNSW index, fixed for the index's life and stored with it.
#pragma once

#include <cstdint>

#include "core/common/metric.h"

namespace kestrine {

struct HnswConfig {
  uint64_t m = 16;                 // link budget on layers >= 1; sets the level distribution
  uint64_t m_max0 = 32;            // link budget on layer 0
  uint64_t ef_construction = 200;  // beam width of the layer searches during insertion
  uint64_t ef_search = 50;         // minimum beam width on layer 0 during a search
  uint64_t max_layers = 16;        // drawn levels are capped at max_layers - 1
  DistanceMetric distance_metric = DistanceMetric::kCosine;
  uint64_t pq_subspaces = 0;  // non-zero: a rebuild trains product quantization
  bool store_raw_vectors = false;

  friend bool operator==(const HnswConfig&, const HnswConfig&) = default;
};

}  // namespace kestrine
