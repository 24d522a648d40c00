#include "core/collection/rebuild.h"

#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "core/hnsw/hnsw_index.h"
#include "core/hnsw/insert.h"
#include "core/quantization/scalar.h"

namespace kestrine {

namespace {

// The node `id` is mapped to, or kNoNode.
uint32_t node_of(const CollectionData& data, const Uuid& id) {
  const uint32_t* node = data.uuid_to_internal.get(id);
  return node == nullptr ? RebuiltIndexes::kNoNode : *node;
}

// The stored vector of document `id` in `data`'s index; zeros when the id maps to no node the
// tables hold (only an inconsistent stored collection has such a document).
void read_document_vector(const CollectionData& data, const Uuid& id, std::span<float> out) {
  read_stored_vector(data.hnsw, node_of(data, id), out);
}

// What the build starts from: the live documents' keys in `documents` and copies of their texts,
// in the map's order (text j at [text_ends[j - 1], text_ends[j]) of `texts`), with their vectors
// back to back (document j at j * dimension).
struct WorkList {
  HnswConfig config;
  uint64_t dimension = 0;
  std::vector<Uuid> ids;
  std::string texts;
  std::vector<size_t> text_ends;
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
    work.text_ends.reserve(n);
    work.source_nodes.reserve(n);
    work.vectors.resize(n * dim);
    size_t text_bytes = 0;
    for (const DocumentView document : data.all_documents()) text_bytes += document.text.size();
    work.texts.reserve(text_bytes);
    for (const DocumentView document : data.all_documents()) {
      const size_t j = work.ids.size();
      work.ids.push_back(document.key);
      work.texts += document.text;
      work.text_ends.push_back(work.texts.size());
      work.source_nodes.push_back(node_of(data, document.key));
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
  const size_t n = work.ids.size();

  RebuiltIndexes rebuilt;
  rebuilt.hnsw = make_hnsw_index(work.config, work.dimension);
  rebuilt.uuid_to_internal.reserve(n);
  rebuilt.internal_to_uuid.reserve(n);
  for (size_t j = 0; j < n; ++j) {
    const auto internal_id = static_cast<uint32_t>(j);
    rebuilt.uuid_to_internal.emplace(work.ids[j], internal_id);
    rebuilt.internal_to_uuid.push_back(work.ids[j]);
    const size_t text_start = j == 0 ? 0 : work.text_ends[j - 1];
    add_document(rebuilt.bm25, internal_id,
                 std::string_view(work.texts).substr(text_start, work.text_ends[j] - text_start));
    const std::span<const float> vector = std::span(work.vectors).subspan(j * dim, dim);
    if (auto ok = insert(rebuilt.hnsw, internal_id, vector, quantize(vector)); !ok) {
      return fail(ok.error());
    }
  }
  release_insert_scratch();
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
    std::vector<std::pair<Uuid, std::string>> late;
    std::vector<float> late_vectors;
    size_t unchanged = 0;
    for (const DocumentView document : data.all_documents()) {
      const Uuid& id = document.key;
      const uint32_t* built = rebuilt.uuid_to_internal.get(id);
      if (built != nullptr && rebuilt.source_nodes[*built] == node_of(data, id)) {
        ++unchanged;
        continue;
      }
      late.emplace_back(id, document.text);
      late_vectors.resize(late.size() * dim);
      read_document_vector(data, id, std::span(late_vectors).subspan((late.size() - 1) * dim, dim));
    }

    // Documents of the build that are gone from `documents`, or live under another node now,
    // stay in the new tables as deleted nodes, exactly as a delete leaves them.
    if (unchanged != rebuilt.internal_to_uuid.size()) {
      std::vector<uint32_t> gone;
      for (uint32_t j = 0; j < rebuilt.internal_to_uuid.size(); ++j) {
        const Uuid& id = rebuilt.internal_to_uuid[j];
        if (!data.has_document(id) || node_of(data, id) != rebuilt.source_nodes[j]) {
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
      index_document(data, late[i].first, late[i].second, vector, quantize(vector));
    }
    // The documents were kept by the old numbering; each moves to its node in the new one.
    data.documents.renumber(old.internal_to_uuid, data.id_tables());
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
