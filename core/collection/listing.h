// Reading a collection's documents other than by search: several ids at once, how many pass a
// filter, and the documents that pass it in the order of their ids, a page at a time. Each call
// reads under the collection's shared lock once, so it sees one consistent state.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/collection/collection.h"
#include "core/collection/document.h"
#include "core/collection/filter.h"
#include "core/common/uuid.h"

namespace kestrine {

// The live document of each id, in the order given; null where the id is not live.
std::vector<DocumentPtr> get_documents(const Collection& collection, std::span<const Uuid> ids);

// The number of live documents that satisfy `filter` (every live document when null).
size_t count_documents(const Collection& collection, const Filter* filter);

// The live documents that satisfy `filter` (all when null) and whose id comes after `after`
// (when given; it need not be live), by ascending id, at most `limit` of them. Ids order as their
// 16 bytes do, which is also the order of their text form. Passing the last id of a page as
// `after` gives the next page, and a page is never disturbed by documents changing on either
// side of it.
std::vector<DocumentPtr> scan_documents(const Collection& collection, const Filter* filter,
                                        std::optional<Uuid> after, std::optional<size_t> limit);

// The ids of the live documents that satisfy `filter`, in no particular order.
std::vector<Uuid> matching_ids(const Collection& collection, const Filter& filter);

// Whether `a` comes before `b` in the order of scan_documents.
inline bool id_before(const Uuid& a, const Uuid& b) { return a.bytes < b.bytes; }

}  // namespace kestrine
