#include "core/collection/listing.h"

#include <algorithm>

#include "core/collection/filter_eval.h"

namespace kestrine {
namespace {

bool passes(const Document& document, const Filter* filter) {
  return filter == nullptr || metadata_matches(document.metadata, *filter);
}

}  // namespace

std::vector<DocumentPtr> get_documents(const Collection& collection, std::span<const Uuid> ids) {
  return collection.read([&](const CollectionData& data) {
    std::vector<DocumentPtr> out;
    out.reserve(ids.size());
    for (const Uuid& id : ids) {
      auto found = data.documents.find(id);
      out.push_back(found == data.documents.end() ? nullptr : found->second);
    }
    return out;
  });
}

size_t count_documents(const Collection& collection, const Filter* filter) {
  return collection.read([&](const CollectionData& data) {
    if (filter == nullptr) return data.documents.size();
    size_t n = 0;
    for (const auto& [id, document] : data.documents) n += passes(*document, filter);
    return n;
  });
}

std::vector<DocumentPtr> scan_documents(const Collection& collection, const Filter* filter,
                                        std::optional<Uuid> after, std::optional<size_t> limit) {
  auto by_id = [](const DocumentPtr& a, const DocumentPtr& b) { return id_before(a->id, b->id); };
  return collection.read([&](const CollectionData& data) {
    // A max-heap of the `limit` smallest ids so far: a page costs one pass over the documents
    // and memory for the page only, however large the collection.
    std::vector<DocumentPtr> page;
    if (limit == 0) return page;
    for (const auto& [id, document] : data.documents) {
      if ((after && !id_before(*after, id)) || !passes(*document, filter)) continue;
      if (!limit || page.size() < *limit) {
        page.push_back(document);
        if (limit) std::ranges::push_heap(page, by_id);
      } else if (id_before(id, page.front()->id)) {
        std::ranges::pop_heap(page, by_id);
        page.back() = document;
        std::ranges::push_heap(page, by_id);
      }
    }
    if (limit) {
      std::ranges::sort_heap(page, by_id);
    } else {
      std::ranges::sort(page, by_id);
    }
    return page;
  });
}

std::vector<Uuid> matching_ids(const Collection& collection, const Filter& filter) {
  return collection.read([&](const CollectionData& data) {
    std::vector<Uuid> ids;
    for (const auto& [id, document] : data.documents) {
      if (metadata_matches(document->metadata, filter)) ids.push_back(id);
    }
    return ids;
  });
}

}  // namespace kestrine
