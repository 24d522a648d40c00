#include "core/collection/collection.h"

#include <algorithm>

#include "core/bm25/inverted_index.h"
#include "core/common/parallel.h"
#include "core/hnsw/hnsw_index.h"
#include "core/hnsw/insert.h"
#include "core/quantization/scalar.h"

namespace kestrine {

Collection::Collection(std::string name, uint64_t dimension, const HnswConfig& config) {
  data_.name = std::move(name);
  data_.dimension = dimension;
  data_.hnsw = make_hnsw_index(config, dimension);
}

Collection::Collection(CollectionData data) : data_(std::move(data)) {
  // A decoded graph has the default layout; give it room for its own link budgets.
  data_.hnsw.neighbors.set_layer0_capacity(static_cast<size_t>(
      std::min<uint64_t>(data_.hnsw.config.m_max0, NeighborLists::kMaxLayer0Capacity)));
  data_.hnsw.neighbors.set_upper_capacity(static_cast<size_t>(
      std::min<uint64_t>(data_.hnsw.config.m, NeighborLists::kMaxUpperCapacity)));
  // The stored record holds no norms: they are derived from the codes.
  refresh_code_norms(data_.hnsw);
  // Documents stored before their keys had nodes are kept at them from now on.
  data_.documents.place(data_.id_tables());
}

Status Collection::check_insert(const Uuid& id, std::string_view id_text, size_t embedding_size,
                                std::string_view text) const {
  if (embedding_size != data_.dimension) {
    return fail(Error::invalid_value("embedding dimension mismatch: expected " +
                                     std::to_string(data_.dimension) + ", got " +
                                     std::to_string(embedding_size)));
  }
  if (get_document(id) != nullptr) {
    return fail(Error::invalid_value("document '" + std::string(id_text) + "' already exists"));
  }
  return check_text_size(text);
}

Status Collection::check_replace(size_t embedding_size, std::string_view text) const {
  if (embedding_size != data_.dimension) {
    return fail(Error::invalid_value("embedding dimension mismatch: expected " +
                                     std::to_string(data_.dimension) + ", got " +
                                     std::to_string(embedding_size)));
  }
  return check_text_size(text);
}

namespace {

// Every table grows once, by what a batch may add, rather than step by step.
void reserve_tables(CollectionData& data, size_t documents, size_t text_bytes) {
  data.documents.reserve_nodes(data.internal_to_uuid.size() + documents);
  data.documents.reserve_text(text_bytes);
  data.uuid_to_internal.reserve(data.uuid_to_internal.size() + documents);
  reserve_for_append(data.internal_to_uuid, documents);
  reserve_for_append(data.bm25.doc_lengths, documents);
}

}  // namespace

void Collection::reserve(size_t documents, size_t text_bytes) {
  auto lock = lock_for_change();
  reserve_tables(data_, documents, text_bytes);
}

bool Collection::insert_document(DocumentPtr document, std::span<const float> embedding) {
  // The index holds exactly `dimension` values per node; callers check first (check_insert),
  // and a wrong length that slips through is refused here rather than break the tables.
  if (embedding.size() != data_.dimension) return false;
  // Quantizing is the costly part that needs no lock.
  const QuantizedVector quantized = quantize(embedding);
  auto lock = lock_for_change();
  if (data_.has_document(document->id)) return false;
  index_document(data_, document->id, document->text, embedding, quantized);
  data_.store_document(document->id, *document);
  return true;
}

std::optional<size_t> Collection::insert_documents(std::span<const DocumentInsert> batch,
                                                   size_t threads) {
  // Quantizing needs no lock and is spread over the threads too.
  std::vector<QuantizedVector> quantized(batch.size());
  parallel_for(batch.size(), threads, [&](size_t i) {
    if (batch[i].embedding.size() == data_.dimension) quantized[i] = quantize(batch[i].embedding);
  });
  std::vector<NewNode> nodes;
  nodes.reserve(batch.size());
  size_t text_bytes = 0;
  for (const DocumentInsert& item : batch) text_bytes += item.document->text.size();
  std::optional<size_t> left_out;
  auto lock = lock_for_change();
  reserve_tables(data_, batch.size(), text_bytes);
  for (size_t i = 0; i < batch.size(); ++i) {
    const DocumentInsert& item = batch[i];
    if (item.embedding.size() != data_.dimension || data_.has_document(item.document->id)) {
      if (!left_out) left_out = i;
      continue;
    }
    // As index_document, the graph part put off until every document has its internal id.
    const auto internal_id = static_cast<uint32_t>(data_.internal_to_uuid.size());
    data_.uuid_to_internal[item.document->id] = internal_id;
    data_.internal_to_uuid.push_back(item.document->id);
    add_document(data_.bm25, internal_id, item.document->text);
    data_.store_document(item.document->id, *item.document);
    nodes.push_back({item.embedding, &quantized[i]});
  }
  // Cannot fail: every length was checked, and the ids are the next nodes.
  (void)insert_batch(data_.hnsw, nodes, threads);
  return left_out;
}

void index_document(CollectionData& data, const Uuid& id, std::string_view text,
                    std::span<const float> embedding, const QuantizedVector& quantized) {
  const auto internal_id = static_cast<uint32_t>(data.internal_to_uuid.size());
  data.uuid_to_internal[id] = internal_id;
  data.internal_to_uuid.push_back(id);
  add_document(data.bm25, internal_id, text);
  // Cannot fail: the length was checked, and the id is the next node.
  (void)insert(data.hnsw, internal_id, embedding, quantized);
}

DocumentPtr Collection::get_document(const Uuid& id) const {
  std::shared_lock lock(mutex_);
  return data_.get_document(id);
}

bool Collection::delete_document(const Uuid& id) {
  auto lock = lock_for_change();
  if (!data_.erase_document(id)) return false;
  const uint32_t* internal = data_.uuid_to_internal.get(id);
  if (internal == nullptr) return true;
  mark_deleted(data_.hnsw, *internal);
  // The document was live, so it is indexed even if its text gave no token.
  remove_document(data_.bm25, *internal, /*was_indexed=*/true);
  // The id-map entry and the id-to-uuid slot stay until a rebuild renumbers the documents.
  return true;
}

uint64_t Collection::estimate_memory() const {
  std::shared_lock lock(mutex_);
  return kestrine::estimate_memory(data_);
}

uint64_t estimate_memory(const CollectionData& data) {
  const HnswIndex& h = data.hnsw;
  uint64_t total = h.vector_data.size();
  total += 4 * (h.headers.min_count + h.headers.scale_count + h.raw_vectors.size());
  total += h.pq_codes.size();
  if (h.pq_codebook) total += 4 * h.pq_codebook->centroids.size();
  for (uint32_t node = 0; node < h.neighbors.node_count(); ++node) {
    total += 24;
    for (size_t layer = 0; layer < h.neighbors.layer_count(node); ++layer) {
      total += 24 + 4 * h.neighbors.get(node, layer).size();
    }
  }
  total += h.layers.size() + h.deleted.size();
  for (const auto& [term, postings] : data.bm25.postings) {
    total += term.size() + 8 * postings.size() + 48;
  }
  total += 4 * data.bm25.doc_lengths.size();
  for (const DocumentView document : data.all_documents()) {
    total += document.text.size() + 64 * document.metadata.size() + 80;
  }
  total += 24 * data.uuid_to_internal.size();
  total += 16 * data.internal_to_uuid.size();
  return total;
}

}  // namespace kestrine
