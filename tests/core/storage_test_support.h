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
#include "tests/core/random_collection.h"

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
  for (const DocumentView doc : a.all_documents()) {
    const auto other_doc = b.find_document(doc.key);
    ASSERT_TRUE(other_doc) << format_uuid(doc.key);
    EXPECT_EQ(doc.id, other_doc->id);
    EXPECT_EQ(doc.text, other_doc->text);
    ASSERT_EQ(doc.metadata.size(), other_doc->metadata.size());
    for (const auto& [key, value] : doc.metadata) {
      auto other = other_doc->metadata.find(key);
      ASSERT_NE(other, other_doc->metadata.end()) << key;
      EXPECT_TRUE(same_metadata_value(value, other->second)) << key;
    }
  }
  const HnswIndex& x = a.hnsw;
  const HnswIndex& y = b.hnsw;
  EXPECT_EQ(x.config, y.config);
  EXPECT_EQ(x.vector_data, y.vector_data);
  const auto column = [](const CodeHeaderTable& table, float CodeHeader::* field) {
    std::vector<float> out;
    for (const CodeHeader& header : table.values) out.push_back(header.*field);
    return out;
  };
  EXPECT_EQ(x.headers.min_count, y.headers.min_count);
  EXPECT_EQ(x.headers.scale_count, y.headers.scale_count);
  EXPECT_TRUE(same_bits(column(x.headers, &CodeHeader::min), column(y.headers, &CodeHeader::min)));
  EXPECT_TRUE(
      same_bits(column(x.headers, &CodeHeader::scale), column(y.headers, &CodeHeader::scale)));
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
