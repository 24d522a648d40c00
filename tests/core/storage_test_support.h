// Shared by the storage tests: random collection states, content comparison, byte poking.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/collection/collection.h"
#include "core/common/uuid.h"

namespace kestrine::testing {

inline std::vector<uint8_t> to_bytes(std::string_view text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

inline std::vector<uint8_t> from_hex(std::string_view hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

// Byte poking: little-endian fields written over an encoding at a given offset.
inline void put_u32_le(std::vector<uint8_t>& bytes, size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes.at(offset + i) = static_cast<uint8_t>(v >> (8 * i));
}
inline void put_u64_le(std::vector<uint8_t>& bytes, size_t offset, uint64_t v) {
  for (int i = 0; i < 8; ++i) bytes.at(offset + i) = static_cast<uint8_t>(v >> (8 * i));
}
inline void flip_byte(std::vector<uint8_t>& bytes, size_t offset) { bytes.at(offset) ^= 0xFF; }
inline std::vector<uint8_t> cut_tail(std::vector<uint8_t> bytes, size_t n) {
  bytes.resize(bytes.size() - n);
  return bytes;
}

// The state of create_collection("c", dimension 2, default configuration): the reference empty
// collection.
inline CollectionData empty_collection_c() {
  Collection c("c", 2, HnswConfig{});
  return c.read([](const CollectionData& data) { return data; });
}

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
// random levels, postings.
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
    h.vector_min.push_back(random_float());
    h.vector_scale.push_back(random_float());
  }
  if (o.raw_vectors) {
    for (uint64_t i = 0; i < n * o.dimension; ++i) h.raw_vectors.push_back(random_float());
  }
  uint64_t max_level = 0;
  for (uint32_t node = 0; node < n; ++node) {
    const uint64_t level = pick(4) == 0 ? pick(4) : 0;
    max_level = std::max(max_level, level);
    h.layers.push_back(static_cast<uint8_t>(level));
    h.neighbors.add_node(level + 1);
    for (uint64_t layer = 0; layer <= level; ++layer) {
      const uint64_t links = pick(6);
      for (uint64_t k = 0; k < links; ++k)
        h.neighbors.append(node, layer, static_cast<uint32_t>(pick(n)));
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
  if (n != 0) h.entry_point = static_cast<uint32_t>(pick(n));
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
      data.documents[doc->id] = doc;
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

inline bool same_bits(std::span<const float> a, std::span<const float> b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size_bytes()) == 0);
}

inline bool same_metadata_value(const MetadataValue& a, const MetadataValue& b) {
  if (a.index() != b.index()) return false;
  if (const double* x = std::get_if<double>(&a)) {
    return std::bit_cast<uint64_t>(*x) == std::bit_cast<uint64_t>(std::get<double>(b));
  }
  return a == b;
}

// Field-by-field equality of two collection states (floats bit for bit, maps as sets).
inline void expect_same_content(const CollectionData& a, const CollectionData& b) {
  EXPECT_EQ(a.name, b.name);
  EXPECT_EQ(a.dimension, b.dimension);
  ASSERT_EQ(a.documents.size(), b.documents.size());
  for (const auto& [id, doc] : a.documents) {
    auto it = b.documents.find(id);
    ASSERT_NE(it, b.documents.end()) << format_uuid(id);
    EXPECT_EQ(doc->id, it->second->id);
    EXPECT_EQ(doc->text, it->second->text);
    ASSERT_EQ(doc->metadata.size(), it->second->metadata.size());
    for (const auto& [key, value] : doc->metadata) {
      auto other = it->second->metadata.find(key);
      ASSERT_NE(other, it->second->metadata.end()) << key;
      EXPECT_TRUE(same_metadata_value(value, other->second)) << key;
    }
  }
  const HnswIndex& x = a.hnsw;
  const HnswIndex& y = b.hnsw;
  EXPECT_EQ(x.config, y.config);
  EXPECT_EQ(x.vector_data, y.vector_data);
  EXPECT_TRUE(same_bits(x.vector_min, y.vector_min));
  EXPECT_TRUE(same_bits(x.vector_scale, y.vector_scale));
  EXPECT_TRUE(same_bits(x.raw_vectors, y.raw_vectors));
  EXPECT_TRUE(x.neighbors == y.neighbors);
  EXPECT_EQ(x.layers, y.layers);
  EXPECT_EQ(x.deleted, y.deleted);
  ASSERT_EQ(x.pq_codebook.has_value(), y.pq_codebook.has_value());
  if (x.pq_codebook) {
    EXPECT_EQ(x.pq_codebook->num_subspaces, y.pq_codebook->num_subspaces);
    EXPECT_EQ(x.pq_codebook->num_centroids, y.pq_codebook->num_centroids);
    EXPECT_EQ(x.pq_codebook->subspace_dim, y.pq_codebook->subspace_dim);
    EXPECT_TRUE(same_bits(x.pq_codebook->centroids, y.pq_codebook->centroids));
  }
  EXPECT_EQ(x.pq_codes, y.pq_codes);
  EXPECT_EQ(x.entry_point, y.entry_point);
  EXPECT_EQ(x.max_level, y.max_level);
  EXPECT_EQ(x.dimension, y.dimension);
  EXPECT_EQ(x.node_count, y.node_count);
  EXPECT_TRUE(a.bm25.postings == b.bm25.postings);
  EXPECT_EQ(a.bm25.doc_lengths, b.bm25.doc_lengths);
  EXPECT_EQ(a.bm25.doc_count, b.bm25.doc_count);
  EXPECT_EQ(a.bm25.total_length, b.bm25.total_length);
  EXPECT_TRUE(a.uuid_to_internal == b.uuid_to_internal);
  EXPECT_EQ(a.internal_to_uuid, b.internal_to_uuid);
}

// A fresh empty directory under the system's temporary directory, removed with its content.
class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "kestrine-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace kestrine::testing
