#include "core/collection/rebuild.h"

#include <mutex>
#include <span>
#include <utility>

#include "core/hnsw/hnsw_index.h"
#include "core/hnsw/insert.h"
#include "core/quantization/scalar.h"

namespace kestrine {

namespace {

// The node `id` is mapped to, or kNoNode.
uint32_t node_of(const CollectionData& data, const Uuid& id) {
  const auto it = data.uuid_to_internal.find(id);
  return it == data.uuid_to_internal.end() ? RebuiltIndexes::kNoNode : it->second;
}

// The stored vector of document `id` in `data`'s index; zeros when the id maps to no node the
// tables hold (only an inconsistent stored collection has such a document).
void read_document_vector(const CollectionData& data, const Uuid& id, std::span<float> out) {
  read_stored_vector(data.hnsw, node_of(data, id), out);
}

// What the build starts from: the live documents, shared, in the map's order, under their keys
// in `documents`, with their vectors back to back (document j at j * dimension).
struct WorkList {
  HnswConfig config;
  uint64_t dimension = 0;
  std::vector<Uuid> ids;
  std::vector<DocumentPtr> documents;
  std::vector<float> vectors;
  std::vector<uint32_t> source_nodes;
};

WorkList read_work_list(const Collection& collection) {
  return collection.read([](const CollectionData& data) {
    WorkList work;
    work.config = data.hnsw.config;
    work.dimension = data.dimension;
    const size_t dim = static_cast<size_t>(data.dimension);
    const size_t n = data.documents.size();
    work.ids.reserve(n);
    work.documents.reserve(n);
    work.source_nodes.reserve(n);
    work.vectors.resize(n * dim);
    for (const auto& [id, document] : data.documents) {
      const size_t j = work.documents.size();
      work.ids.push_back(id);
      work.documents.push_back(document);
      work.source_nodes.push_back(node_of(data, id));
      read_stored_vector(data.hnsw, work.source_nodes.back(),
                         std::span(work.vectors).subspan(j * dim, dim));
    }
    return work;
  });
}

}  // namespace

Result<RebuiltIndexes> build_indexes(const Collection& collection) {
  WorkList work = read_work_list(collection);
  const size_t dim = static_cast<size_t>(work.dimension);
  const size_t n = work.documents.size();

  RebuiltIndexes rebuilt;
  rebuilt.hnsw = make_hnsw_index(work.config, work.dimension);
  rebuilt.uuid_to_internal.reserve(n);
  rebuilt.internal_to_uuid.reserve(n);
  for (size_t j = 0; j < n; ++j) {
    const auto internal_id = static_cast<uint32_t>(j);
    rebuilt.uuid_to_internal.emplace(work.ids[j], internal_id);
    rebuilt.internal_to_uuid.push_back(work.ids[j]);
    add_document(rebuilt.bm25, internal_id, work.documents[j]->text);
    const std::span<const float> vector = std::span(work.vectors).subspan(j * dim, dim);
    if (auto ok = insert(rebuilt.hnsw, internal_id, vector, quantize(vector)); !ok) {
      return fail(ok.error());
    }
  }
  rebuilt.source_nodes = std::move(work.source_nodes);
  // The vectors are in the index now; let them go before training gathers its own copy.
  work = WorkList{};

  const uint64_t subspaces = rebuilt.hnsw.config.pq_subspaces;
  if (subspaces != 0 && rebuilt.hnsw.node_count != 0) {
    if (auto ok = enable_pq(rebuilt.hnsw, subspaces); !ok) return fail(ok.error());
  }
  return rebuilt;
}

uint64_t install_indexes(Collection& collection, RebuiltIndexes rebuilt) {
  const uint64_t built_from = rebuilt.internal_to_uuid.size();
  // Filled under the lock and destroyed after it is released, with the old tables moved in:
  // freeing a large index should not hold up readers and writers.
  RebuiltIndexes old;
  collection.write([&](CollectionData& data) {
    const size_t dim = static_cast<size_t>(data.dimension);

    // Live documents the build does not hold under the node it read them from: inserted since,
    // or deleted and inserted again. Their vectors come from the tables about to be replaced.
    std::vector<std::pair<Uuid, DocumentPtr>> late;
    std::vector<float> late_vectors;
    size_t unchanged = 0;
    for (const auto& [id, document] : data.documents) {
      const auto built = rebuilt.uuid_to_internal.find(id);
      if (built != rebuilt.uuid_to_internal.end() &&
          rebuilt.source_nodes[built->second] == node_of(data, id)) {
        ++unchanged;
        continue;
      }
      late.emplace_back(id, document);
      late_vectors.resize(late.size() * dim);
      read_document_vector(data, id, std::span(late_vectors).subspan((late.size() - 1) * dim, dim));
    }

    // Documents of the build that are gone from `documents`, or live under another node now,
    // stay in the new tables as deleted nodes, exactly as a delete leaves them.
    if (unchanged != rebuilt.internal_to_uuid.size()) {
      std::vector<uint32_t> gone;
      for (uint32_t j = 0; j < rebuilt.internal_to_uuid.size(); ++j) {
        const Uuid& id = rebuilt.internal_to_uuid[j];
        if (!data.documents.contains(id) || node_of(data, id) != rebuilt.source_nodes[j]) {
          gone.push_back(j);
        }
      }
      for (uint32_t j : gone) mark_deleted(rebuilt.hnsw, j);
      remove_documents(rebuilt.bm25, gone);
    }

    std::swap(data.hnsw, rebuilt.hnsw);
    std::swap(data.bm25, rebuilt.bm25);
    std::swap(data.uuid_to_internal, rebuilt.uuid_to_internal);
    std::swap(data.internal_to_uuid, rebuilt.internal_to_uuid);
    old = std::move(rebuilt);

    // Inserted like any insert: the next internal id, encoded with the new codebook if any.
    for (size_t i = 0; i < late.size(); ++i) {
      const std::span<const float> vector = std::span(late_vectors).subspan(i * dim, dim);
      index_document(data, late[i].first, late[i].second->text, vector, quantize(vector));
    }
  });
  return built_from;
}

Result<uint64_t> Collection::rebuild() {
  std::lock_guard one_at_a_time(rebuild_mutex_);
  Result<RebuiltIndexes> rebuilt = build_indexes(*this);
  if (!rebuilt) return fail(rebuilt.error());
  return install_indexes(*this, std::move(*rebuilt));
}

}  // namespace kestrine
