#include "core/collection/collection_map.h"

#include <mutex>

namespace kestrine {

Status check_collection_name(std::string_view name) {
  if (name.empty() || name.find('/') != std::string_view::npos ||
      name.find('\0') != std::string_view::npos) {
    return fail(Error::invalid_value("invalid collection name: '" + std::string(name) + "'"));
  }
  return {};
}

Status CollectionMap::create_collection(std::string_view name, uint64_t dimension,
                                        const HnswConfig& config) {
  std::unique_lock lock(mutex_);
  if (collections_.contains(name)) {
    return fail(Error::invalid_value("Collection '" + std::string(name) + "' already exists"));
  }
  collections_.emplace(std::string(name),
                       std::make_shared<Collection>(std::string(name), dimension, config));
  return {};
}

void CollectionMap::put_collection(std::shared_ptr<Collection> collection) {
  std::unique_lock lock(mutex_);
  std::string name = collection->name();
  collections_.insert_or_assign(std::move(name), std::move(collection));
}

bool CollectionMap::remove_collection(std::string_view name) {
  std::unique_lock lock(mutex_);
  auto it = collections_.find(name);
  if (it == collections_.end()) return false;
  collections_.erase(it);
  return true;
}

std::shared_ptr<Collection> CollectionMap::get_collection(std::string_view name) const {
  std::shared_lock lock(mutex_);
  auto it = collections_.find(name);
  return it == collections_.end() ? nullptr : it->second;
}

std::vector<std::string> CollectionMap::collection_names() const {
  std::shared_lock lock(mutex_);
  std::vector<std::string> names;
  names.reserve(collections_.size());
  for (const auto& [name, collection] : collections_) names.push_back(name);
  return names;
}

size_t CollectionMap::collection_count() const {
  std::shared_lock lock(mutex_);
  return collections_.size();
}

uint64_t CollectionMap::total_memory_bytes() const {
  std::shared_lock lock(mutex_);
  uint64_t total = 0;
  for (const auto& [name, collection] : collections_) total += collection->estimate_memory();
  return total;
}

}  // namespace kestrine
