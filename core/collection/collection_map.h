// The named collections of one database. The map has its own read-write lock, always taken
// before any collection's lock and, apart from the total memory estimate, released before a
// collection's lock is taken: a look-up clones the collection's shared handle and lets go, so a
// collection removed meanwhile stays alive until the operation that holds it ends.
#pragma once

#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/collection/collection.h"
#include "core/common/error.h"
#include "core/common/string_hash.h"
#include "core/hnsw/config.h"

namespace kestrine {

class CollectionMap {
 public:
  // Fails with "Collection '<name>' already exists" when the name is taken.
  Status create_collection(std::string_view name, uint64_t dimension, const HnswConfig& config);
  // Puts `collection` under its own name, replacing any collection of that name.
  void put_collection(std::shared_ptr<Collection> collection);
  // True when a collection of that name existed.
  bool remove_collection(std::string_view name);
  std::shared_ptr<Collection> get_collection(std::string_view name) const;
  // Names in the map's own (unspecified) order.
  std::vector<std::string> collection_names() const;
  size_t collection_count() const;
  // Sum of every collection's memory estimate; holds the map's lock while visiting them.
  uint64_t total_memory_bytes() const;

 private:
  mutable std::shared_mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<Collection>, StringHash, std::equal_to<>>
      collections_;
};

// "invalid collection name: '<name>'" for an empty name or one containing "/" or NUL: the name
// becomes a file name, which must stay inside the data directory and be loadable again.
Status check_collection_name(std::string_view name);

}  // namespace kestrine
