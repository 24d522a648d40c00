#include "core/storage/records.h"

#include <algorithm>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace kestrine {
namespace {

// Smallest encoded size of the elements of each variable-size container; a declared count
// that cannot fit in the remaining bytes at this size is a truncated record.
constexpr size_t kMinUuid = 8 + 16;
constexpr size_t kMinMetadataEntry = 8 + 4 + 1;  // empty key, tag, one-byte payload
constexpr size_t kMinDocument = kMinUuid + 8 + 8;
constexpr size_t kMinDocumentEntry = kMinUuid + kMinDocument;
constexpr size_t kMinCount = 8;              // a nested sequence: its count alone
constexpr size_t kMinPostingsEntry = 8 + 8;  // empty term, empty list
constexpr size_t kPostingSize = 4 + 4;
constexpr size_t kMinIdMapEntry = kMinUuid + 4;

constexpr uint32_t kMetadataVariants = 4;
constexpr uint32_t kMetricVariants = 3;

// Skips one metadata value without building it.
void skip_metadata_value(Decoder& d) {
  switch (d.variant(kMetadataVariants)) {
    case 0:
      d.u8();
      break;
    case 1:
    case 2:
      d.u64();
      break;
    default:
      d.skip_string();
  }
}

// The text bytes of the `count` document entries that start at `d`'s position, read from a copy
// of the decoder (nothing is checked: the real pass that follows reports any fault), so that the
// text arena is allocated once at its exact size.
size_t document_text_bytes(Decoder d, uint64_t count) {
  uint64_t total = 0;
  for (uint64_t i = 0; i < count && d.ok(); ++i) {
    d.skip_string();  // key
    d.skip_string();  // id
    total += d.skip_string();
    const uint64_t entries = d.count(kMinMetadataEntry);
    for (uint64_t k = 0; k < entries && d.ok(); ++k) {
      d.skip_string();
      skip_metadata_value(d);
    }
  }
  // Bounded by the input: every text byte counted was present in it.
  return static_cast<size_t>(total);
}

}  // namespace

void encode_metadata_value(Encoder& e, const MetadataValue& value) {
  // The variant's index is the stored tag.
  e.variant(static_cast<uint32_t>(value.index()));
  std::visit(
      [&e](const auto& v) {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, bool>) {
          e.boolean(v);
        } else if constexpr (std::is_same_v<V, int64_t>) {
          e.i64(v);
        } else if constexpr (std::is_same_v<V, double>) {
          e.f64(v);
        } else {
          e.string(v);
        }
      },
      value);
}

MetadataValue decode_metadata_value(Decoder& d) {
  switch (d.variant(kMetadataVariants)) {
    case 0:
      return d.boolean();
    case 1:
      return d.i64();
    case 2:
      return d.f64();
    default:
      return d.string();
  }
}

void encode_metadata(Encoder& e, const Metadata& metadata) {
  e.length(metadata.size());
  for (const auto& [key, value] : metadata) {
    e.string(key);
    encode_metadata_value(e, value);
  }
}

Metadata decode_metadata(Decoder& d) {
  Metadata metadata;
  const uint64_t n = d.count(kMinMetadataEntry);
  // Most documents have none: an empty map costs nothing, not even the bucket sizing.
  if (n == 0) return metadata;
  metadata.reserve(reserve_hint<Metadata::value_type>(n));
  for (uint64_t i = 0; i < n && d.ok(); ++i) {
    std::string key = d.string();
    MetadataValue value = decode_metadata_value(d);
    if (d.ok()) metadata.insert_or_assign(std::move(key), std::move(value));
  }
  return metadata;
}

void encode_document(Encoder& e, const Document& document) {
  e.uuid(document.id);
  e.string(document.text);
  encode_metadata(e, document.metadata);
}

void encode_document(Encoder& e, const DocumentView& document) {
  e.uuid(document.id);
  e.string(document.text);
  encode_metadata(e, document.metadata);
}

Document decode_document(Decoder& d) {
  Document document;
  document.id = d.uuid();
  document.text = d.string();
  document.metadata = decode_metadata(d);
  return document;
}

void encode_metric(Encoder& e, DistanceMetric metric) { e.variant(static_cast<uint32_t>(metric)); }

DistanceMetric decode_metric(Decoder& d) {
  return static_cast<DistanceMetric>(d.variant(kMetricVariants));
}

void encode_hnsw_config(Encoder& e, const HnswConfig& config) {
  e.u64(config.m);
  e.u64(config.m_max0);
  e.u64(config.ef_construction);
  e.u64(config.ef_search);
  e.u64(config.max_layers);
  encode_metric(e, config.distance_metric);
  e.u64(config.pq_subspaces);
  e.boolean(config.store_raw_vectors);
}

HnswConfig decode_hnsw_config(Decoder& d) {
  HnswConfig config;
  config.m = d.u64();
  config.m_max0 = d.u64();
  config.ef_construction = d.u64();
  config.ef_search = d.u64();
  config.max_layers = d.u64();
  config.distance_metric = decode_metric(d);
  config.pq_subspaces = d.u64();
  config.store_raw_vectors = d.boolean();
  return config;
}

void encode_pq_codebook(Encoder& e, const PqCodebook& codebook) {
  e.u64(codebook.num_subspaces);
  e.u64(codebook.num_centroids);
  e.u64(codebook.subspace_dim);
  e.f32s(codebook.centroids);
}

PqCodebook decode_pq_codebook(Decoder& d) {
  PqCodebook codebook;
  codebook.num_subspaces = d.u64();
  codebook.num_centroids = d.u64();
  codebook.subspace_dim = d.u64();
  d.f32s(codebook.centroids);
  return codebook;
}

void encode_neighbor_lists(Encoder& e, const NeighborLists& neighbors) {
  const uint32_t nodes = neighbors.node_count();
  e.length(nodes);
  for (uint32_t node = 0; node < nodes; ++node) {
    const size_t layers = neighbors.layer_count(node);
    e.length(layers);
    for (size_t layer = 0; layer < layers; ++layer) e.u32s(neighbors.get(node, layer));
  }
}

NeighborLists decode_neighbor_lists(Decoder& d) {
  NeighborLists neighbors;
  const uint64_t nodes = d.count(kMinCount);
  // Node ids are u32: a longer table cannot be a valid index (validation rejects any length
  // other than node_count), and NeighborLists could not number it.
  if (nodes > UINT32_MAX) {
    d.fail(Error::invalid_data("neighbors length " + std::to_string(nodes) +
                               " exceeds the u32 node ids"));
    return neighbors;
  }
  // Sized once for the checked count (at least 8 input bytes a node, so at most about 17 bytes
  // of table per input byte): the layer-0 table is most of an index, and growing it step by
  // step would copy it many times over.
  neighbors.reserve(static_cast<size_t>(nodes));
  std::vector<uint32_t> ids;
  for (uint64_t node = 0; node < nodes && d.ok(); ++node) {
    // Layers are added as their lists arrive, never sized from the stored count.
    neighbors.add_node(0);
    const uint64_t layers = d.count(kMinCount);
    for (uint64_t layer = 0; layer < layers && d.ok(); ++layer) {
      d.u32s(ids);
      neighbors.ensure_layer(static_cast<uint32_t>(node), layer);
      neighbors.assign(static_cast<uint32_t>(node), layer, ids);
    }
  }
  return neighbors;
}

namespace {

// The header table is stored as its two sequences, minima then steps, of min_count and
// scale_count values (a count beyond the table, only ever set on data that fails validation, is
// written as zeros); the norms are not stored.
void encode_code_headers(Encoder& e, const CodeHeaderTable& table) {
  std::vector<float> column(table.min_count, 0.0f);
  for (size_t i = 0; i < column.size() && i < table.values.size(); ++i) {
    column[i] = table.values[i].min;
  }
  e.f32s(column);
  column.assign(table.scale_count, 0.0f);
  for (size_t i = 0; i < column.size() && i < table.values.size(); ++i) {
    column[i] = table.values[i].scale;
  }
  e.f32s(column);
}

CodeHeaderTable decode_code_headers(Decoder& d) {
  std::vector<float> mins;
  std::vector<float> scales;
  d.f32s(mins);
  d.f32s(scales);
  CodeHeaderTable table;
  table.min_count = mins.size();
  table.scale_count = scales.size();
  table.values.resize(std::max(mins.size(), scales.size()));
  for (size_t i = 0; i < mins.size(); ++i) table.values[i].min = mins[i];
  for (size_t i = 0; i < scales.size(); ++i) table.values[i].scale = scales[i];
  return table;
}

}  // namespace

void encode_hnsw_index(Encoder& e, const HnswIndex& index) {
  encode_hnsw_config(e, index.config);
  e.bytes(index.vector_data);
  encode_code_headers(e, index.headers);
  e.f32s(index.raw_vectors);
  encode_neighbor_lists(e, index.neighbors);
  e.bytes(index.layers);
  // `deleted` holds 0 or 1 per node; as a sequence of bools it is written byte for byte.
  e.bytes(index.deleted);
  e.optional_marker(index.pq_codebook.has_value());
  if (index.pq_codebook) encode_pq_codebook(e, *index.pq_codebook);
  e.bytes(index.pq_codes);
  e.optional_marker(index.entry_point.has_value());
  if (index.entry_point) e.u32(*index.entry_point);
  e.u64(index.max_level);
  e.u64(index.dimension);
  e.u32(index.node_count);
}

HnswIndex decode_hnsw_index(Decoder& d) {
  HnswIndex index;
  index.config = decode_hnsw_config(d);
  d.bytes(index.vector_data);
  index.headers = decode_code_headers(d);
  d.f32s(index.raw_vectors);
  index.neighbors = decode_neighbor_lists(d);
  d.bytes(index.layers);
  d.bools(index.deleted);
  if (d.optional_marker()) index.pq_codebook = decode_pq_codebook(d);
  d.bytes(index.pq_codes);
  if (d.optional_marker()) index.entry_point = d.u32();
  index.max_level = d.u64();
  index.dimension = d.u64();
  index.node_count = d.u32();
  return index;
}

void encode_inverted_index(Encoder& e, const InvertedIndex& index) {
  e.length(index.postings.size());
  for (const auto& [term, postings] : index.postings) {
    e.string(term);
    e.length(postings.size());
    for (const Posting& p : postings) {
      e.u32(p.id);
      e.u32(p.tf);
    }
  }
  e.u32s(index.doc_lengths);
  e.u32(index.doc_count);
  e.u64(index.total_length);
}

InvertedIndex decode_inverted_index(Decoder& d) {
  InvertedIndex index;
  const uint64_t terms = d.count(kMinPostingsEntry);
  index.postings.reserve(reserve_hint<PostingMap::value_type>(terms));
  for (uint64_t t = 0; t < terms && d.ok(); ++t) {
    std::string term = d.string();
    // count() has checked that all the pairs are present, so the list is sized exactly.
    const uint64_t n = d.count(kPostingSize);
    std::vector<Posting> postings(n);
    for (Posting& p : postings) {
      p.id = d.u32();
      p.tf = d.u32();
    }
    if (d.ok()) index.postings.insert_or_assign(std::move(term), std::move(postings));
  }
  d.u32s(index.doc_lengths);
  index.doc_count = d.u32();
  index.total_length = d.u64();
  derive_score_bounds(index);
  return index;
}

void encode_collection_data(Encoder& e, const CollectionData& data) {
  e.string(data.name);
  e.u64(data.dimension);
  e.length(data.documents.size());
  for (const DocumentView document : data.all_documents()) {
    e.uuid(document.key);
    encode_document(e, document);
  }
  encode_hnsw_index(e, data.hnsw);
  encode_inverted_index(e, data.bm25);
  e.length(data.uuid_to_internal.size());
  for (const auto& [id, internal] : data.uuid_to_internal) {
    e.uuid(id);
    e.u32(internal);
  }
  e.length(data.internal_to_uuid.size());
  for (const Uuid& id : data.internal_to_uuid) e.uuid(id);
}

CollectionData decode_collection_data(Decoder& d) {
  CollectionData data;
  data.name = d.string();
  data.dimension = d.u64();

  // Every count below has been checked against the bytes that remain (count()), so reserving
  // it costs at most a small multiple of the input: the tables are sized once, exactly.
  const uint64_t documents = d.count(kMinDocumentEntry);
  // The documents come before the id tables that say at which node each one is kept: they are
  // staged until the tables are read, then placed.
  data.documents.reserve_staged(static_cast<size_t>(documents));
  data.documents.reserve_text(document_text_bytes(d, documents));
  for (uint64_t i = 0; i < documents && d.ok(); ++i) {
    const Uuid key = d.uuid();
    const Uuid id = d.uuid();
    const std::string_view text = d.string_view();
    Metadata metadata = decode_metadata(d);
    if (d.ok()) data.documents.stage(key, id, text, std::move(metadata));
  }

  data.hnsw = decode_hnsw_index(d);
  data.bm25 = decode_inverted_index(d);

  const uint64_t mapped = d.count(kMinIdMapEntry);
  data.uuid_to_internal.reserve(static_cast<size_t>(mapped));
  for (uint64_t i = 0; i < mapped && d.ok(); ++i) {
    const Uuid key = d.uuid();
    const uint32_t internal = d.u32();
    if (d.ok()) data.uuid_to_internal.insert_or_assign(key, internal);
  }

  const uint64_t slots = d.count(kMinUuid);
  data.internal_to_uuid.reserve(static_cast<size_t>(slots));
  for (uint64_t i = 0; i < slots && d.ok(); ++i) {
    const Uuid id = d.uuid();
    if (d.ok()) data.internal_to_uuid.push_back(id);
  }
  data.documents.place(data.id_tables());
  return data;
}

std::vector<uint8_t> encode_collection(const CollectionData& data, size_t head, size_t tail) {
  return encode_exact([&data](Encoder& e) { encode_collection_data(e, data); }, head, tail);
}

Result<CollectionData> decode_collection(std::span<const uint8_t> payload) {
  return decode_record<CollectionData>(payload, decode_collection_data);
}

}  // namespace kestrine
