#include "core/collection/listing.h"

#include <algorithm>

#include "core/collection/filter_eval.h"

namespace kestrine {
namespace {

bool passes(const DocumentView& document, const Filter* filter) {
  return filter == nullptr || metadata_matches(document.metadata, *filter);
}

// A document on its way into a page: its own id orders the page, its key fetches it at the end.
struct PageEntry {
  Uuid id;
  Uuid key;
};

}  // namespace

std::vector<DocumentPtr> get_documents(const Collection& collection, std::span<const Uuid> ids) {
  return collection.read([&](const CollectionData& data) {
    std::vector<DocumentPtr> out;
    out.reserve(ids.size());
    for (const Uuid& id : ids) out.push_back(data.get_document(id));
    return out;
  });
}

size_t count_documents(const Collection& collection, const Filter* filter) {
  return collection.read([&](const CollectionData& data) {
    if (filter == nullptr) return data.documents.size();
    size_t n = 0;
    for (const DocumentView document : data.all_documents()) n += passes(document, filter);
    return n;
  });
}

std::vector<DocumentPtr> scan_documents(const Collection& collection, const Filter* filter,
                                        std::optional<Uuid> after, std::optional<size_t> limit) {
  auto by_id = [](const PageEntry& a, const PageEntry& b) { return id_before(a.id, b.id); };
  return collection.read([&](const CollectionData& data) {
    // A max-heap of the `limit` smallest ids so far: a page costs one pass over the documents
    // and memory for the page only, however large the collection. Only the page's documents
    // are copied out, at the end.
    std::vector<PageEntry> page;
    std::vector<DocumentPtr> documents;
    if (limit == 0) return documents;
    for (const DocumentView document : data.all_documents()) {
      if ((after && !id_before(*after, document.key)) || !passes(document, filter)) continue;
      const PageEntry entry{document.id, document.key};
      if (!limit || page.size() < *limit) {
        page.push_back(entry);
        if (limit) std::ranges::push_heap(page, by_id);
      } else if (id_before(entry.id, page.front().id)) {
        std::ranges::pop_heap(page, by_id);
        page.back() = entry;
        std::ranges::push_heap(page, by_id);
      }
    }
    if (limit) {
      std::ranges::sort_heap(page, by_id);
    } else {
      std::ranges::sort(page, by_id);
    }
    documents.reserve(page.size());
    for (const PageEntry& entry : page) documents.push_back(data.get_document(entry.key));
    return documents;
  });
}

std::vector<Uuid> matching_ids(const Collection& collection, const Filter& filter) {
  return collection.read([&](const CollectionData& data) {
    std::vector<Uuid> ids;
    for (const DocumentView document : data.all_documents()) {
      if (metadata_matches(document.metadata, filter)) ids.push_back(document.key);
    }
    return ids;
  });
}

}  // namespace kestrine
