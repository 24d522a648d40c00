// Collection::replace_document: the in-memory half of an upsert.
#include "core/collection/collection.h"
#include "core/hnsw/hnsw_index.h"
#include "core/quantization/scalar.h"

namespace kestrine {
namespace {

// Takes a live document out of the documents and both indexes, as delete_document does; its
// node stays in the graph, marked deleted, until a rebuild. False when the id is not live.
bool remove_live(CollectionData& data, const Uuid& id) {
  if (!data.erase_document(id)) return false;
  const uint32_t* internal = data.uuid_to_internal.get(id);
  if (internal == nullptr) return true;
  mark_deleted(data.hnsw, *internal);
  remove_document(data.bm25, *internal, /*was_indexed=*/true);
  return true;
}

}  // namespace

bool Collection::replace_document(DocumentPtr document, std::span<const float> embedding) {
  if (embedding.size() != data_.dimension) return false;
  const QuantizedVector quantized = quantize(embedding);
  auto lock = lock_for_change();
  const bool replaced = remove_live(data_, document->id);
  index_document(data_, document->id, document->text, embedding, quantized);
  data_.store_document(document->id, *document);
  return replaced;
}

}  // namespace kestrine
