// The persisted records, field by field, in the encoding of encoder.h. Snapshots store one
// CollectionData; log entries are built from the same pieces (strings, documents, f32
// sequences, HnswConfig).
//
//   CollectionData  name: string | dimension: u64 | documents: map UUID -> Document |
//                   hnsw: HnswIndex | bm25: InvertedIndex |
//                   uuid_to_internal: map UUID -> u32 | internal_to_uuid: seq UUID
//   Document        id: UUID | text: string | metadata: map string -> MetadataValue
//   MetadataValue   enumeration: 0 Bool (bool) | 1 Int (i64) | 2 Float (f64) | 3 Str (string)
//   HnswIndex       config: HnswConfig | vector_data: seq u8 | vector_min: seq f32 |
//                   vector_scale: seq f32 | raw_vectors: seq f32 |
//                   neighbors: seq (node) of seq (layer) of seq u32 | layers: seq u8 |
//                   deleted: seq bool | pq_codebook: optional PqCodebook | pq_codes: seq u8 |
//                   entry_point: optional u32 | max_level: u64 | dimension: u64 | node_count: u32
//   HnswConfig      m: u64 | m_max0: u64 | ef_construction: u64 | ef_search: u64 |
//                   max_layers: u64 | distance_metric: u32 (0 cosine, 1 euclidean,
//                   2 dot_product) | pq_subspaces: u64 | store_raw_vectors: bool   (53 bytes)
//   PqCodebook      num_subspaces: u64 | num_centroids: u64 | subspace_dim: u64 |
//                   centroids: seq f32
//   InvertedIndex   postings: map string -> seq of (id: u32, tf: u32) |
//                   doc_lengths: seq u32 | doc_count: u32 | total_length: u64
//
// Maps are written in the hash map's iteration order, so two encodings of one collection may
// differ byte for byte; when a decoded map holds a key twice, the later entry wins.
//
// Decoders check the encoding only (lengths, bool bytes, tags, UTF-8, UUID lengths); whether
// the decoded tables agree with each other is the snapshot validation's business.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/bm25/inverted_index.h"
#include "core/collection/collection.h"
#include "core/collection/document.h"
#include "core/common/error.h"
#include "core/common/metadata.h"
#include "core/common/metric.h"
#include "core/hnsw/config.h"
#include "core/hnsw/hnsw_index.h"
#include "core/hnsw/neighbor_lists.h"
#include "core/quantization/pq_codebook.h"
#include "core/storage/decoder.h"
#include "core/storage/encoder.h"

namespace kestrine {

inline constexpr size_t kHnswConfigSize = 53;

void encode_metadata_value(Encoder& e, const MetadataValue& value);
void encode_metadata(Encoder& e, const Metadata& metadata);
void encode_document(Encoder& e, const Document& document);
void encode_document(Encoder& e, const DocumentView& document);
void encode_metric(Encoder& e, DistanceMetric metric);
void encode_hnsw_config(Encoder& e, const HnswConfig& config);
void encode_pq_codebook(Encoder& e, const PqCodebook& codebook);
void encode_neighbor_lists(Encoder& e, const NeighborLists& neighbors);
void encode_hnsw_index(Encoder& e, const HnswIndex& index);
void encode_inverted_index(Encoder& e, const InvertedIndex& index);
void encode_collection_data(Encoder& e, const CollectionData& data);

// Each reads one record; on failure the decoder holds the error and the value is partial.
MetadataValue decode_metadata_value(Decoder& d);
Metadata decode_metadata(Decoder& d);
Document decode_document(Decoder& d);
DistanceMetric decode_metric(Decoder& d);
HnswConfig decode_hnsw_config(Decoder& d);
PqCodebook decode_pq_codebook(Decoder& d);
NeighborLists decode_neighbor_lists(Decoder& d);
HnswIndex decode_hnsw_index(Decoder& d);
InvertedIndex decode_inverted_index(Decoder& d);
CollectionData decode_collection_data(Decoder& d);

// A CollectionData as one exactly sized buffer, with `head` and `tail` bytes of room around it.
std::vector<uint8_t> encode_collection(const CollectionData& data, size_t head = 0,
                                       size_t tail = 0);
// The CollectionData at the start of `payload`; later bytes are ignored.
Result<CollectionData> decode_collection(std::span<const uint8_t> payload);

}  // namespace kestrine
