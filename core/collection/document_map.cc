#include "core/collection/document_map.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "core/common/assert.h"

namespace kestrine {
namespace {

const Metadata& no_metadata() {
  static const Metadata empty;
  return empty;
}

// Arena bytes removed documents may hold before the arena is rewritten: below this, rewriting
// would cost more than the bytes are worth.
constexpr uint64_t kMinGarbage = uint64_t{1} << 16;

// Growth of the slot table and the text arena by at least an eighth, as the index's per-node
// tables: little room left over, appends still amortised constant time.
constexpr size_t kMinimumStep = 1024;

}  // namespace

uint32_t DocumentMap::node_of(const Uuid& key, const IdTables& ids) {
  const uint32_t* node = ids.uuid_to_internal.get(key);
  if (node == nullptr || *node >= ids.internal_to_uuid.size() ||
      ids.internal_to_uuid[*node] != key) {
    return kNoNode;
  }
  return *node;
}

DocumentMap::Iterator::Iterator(const DocumentMap* map, std::span<const Uuid> keys, size_t node,
                                UuidMap<Stored>::const_iterator unplaced)
    : map_(map), keys_(keys), node_(node), unplaced_(unplaced) {
  skip_absent();
}

void DocumentMap::Iterator::skip_absent() {
  while (node_ < map_->slots_.size() && !map_->slots_[node_].present()) ++node_;
}

DocumentView DocumentMap::Iterator::operator*() const {
  if (node_ < map_->slots_.size()) {
    KESTRINE_ASSERT(node_ < keys_.size());
    return map_->view(keys_[node_], map_->slots_[node_]);
  }
  return map_->view(unplaced_->first, unplaced_->second);
}

DocumentMap::Iterator& DocumentMap::Iterator::operator++() {
  if (node_ < map_->slots_.size()) {
    ++node_;
    skip_absent();
  } else {
    ++unplaced_;
  }
  return *this;
}

DocumentMap::Range DocumentMap::all(std::span<const Uuid> internal_to_uuid) const {
  return Range{Iterator(this, internal_to_uuid, 0, unplaced_.begin()),
               Iterator(this, internal_to_uuid, slots_.size(), unplaced_.end())};
}

DocumentView DocumentMap::view(const Uuid& key, const Stored& stored) const {
  const Uuid* own = own_ids_.empty() ? nullptr : own_ids_.get(key);
  return DocumentView{key, own != nullptr ? *own : key,
                      std::string_view(texts_.data() + stored.offset, stored.length),
                      stored.metadata == kNoMetadata ? no_metadata() : metadata_[stored.metadata]};
}

const DocumentMap::Stored* DocumentMap::stored(const Uuid& key, const IdTables& ids) const {
  const uint32_t node = node_of(key, ids);
  if (node < slots_.size() && slots_[node].present()) return &slots_[node];
  return unplaced_.empty() ? nullptr : unplaced_.get(key);
}

std::optional<DocumentView> DocumentMap::find(const Uuid& key, const IdTables& ids) const {
  const Stored* found = stored(key, ids);
  if (found == nullptr) return std::nullopt;
  return view(key, *found);
}

DocumentPtr DocumentMap::get(const Uuid& key, const IdTables& ids) const {
  const auto found = find(key, ids);
  return found ? share_document(*found) : nullptr;
}

DocumentMap::Stored DocumentMap::store(std::string_view text, Metadata metadata) {
  Stored stored;
  grow_texts(text.size());
  stored.offset = texts_.size();
  stored.length = static_cast<uint32_t>(text.size());
  texts_.insert(texts_.end(), text.begin(), text.end());
  stored.metadata = kNoMetadata;
  if (!metadata.empty()) {
    if (free_metadata_.empty()) {
      stored.metadata = static_cast<uint32_t>(metadata_.size());
      metadata_.push_back(std::move(metadata));
    } else {
      stored.metadata = free_metadata_.back();
      free_metadata_.pop_back();
      metadata_[stored.metadata] = std::move(metadata);
    }
  }
  return stored;
}

void DocumentMap::release(const Stored& stored) {
  garbage_ += stored.length;
  if (stored.metadata != kNoMetadata) {
    metadata_[stored.metadata] = Metadata();
    free_metadata_.push_back(stored.metadata);
  }
}

DocumentMap::Stored& DocumentMap::slot(uint32_t node) {
  if (node >= slots_.size()) {
    reserve_nodes(static_cast<size_t>(node) + 1);
    slots_.resize(static_cast<size_t>(node) + 1);
  }
  return slots_[node];
}

void DocumentMap::insert_or_assign(const Uuid& key, const DocumentView& document,
                                   const IdTables& ids) {
  // A view of this very map would be invalidated by the arena's growth: copied first.
  const char* text = document.text.data();
  const auto* metadata = reinterpret_cast<const char*>(&document.metadata);
  const auto* metadata_table = reinterpret_cast<const char*>(metadata_.data());
  if ((text >= texts_.data() && text < texts_.data() + texts_.size()) ||
      (metadata >= metadata_table &&
       metadata < metadata_table + metadata_.size() * sizeof(Metadata))) {
    const std::string copy(document.text);
    insert_or_assign(key, document.id, copy, document.metadata, ids);
    return;
  }
  insert_or_assign(key, document.id, document.text, document.metadata, ids);
}

void DocumentMap::insert_or_assign(const Uuid& key, const Document& document, const IdTables& ids) {
  insert_or_assign(key, document.id, document.text, document.metadata, ids);
}

void DocumentMap::insert_or_assign(const Uuid& key, const Uuid& id, std::string_view text,
                                   Metadata metadata, const IdTables& ids) {
  const uint32_t node = node_of(key, ids);
  // A document kept by key before its key had a node moves to the node.
  if (!unplaced_.empty()) {
    if (const Stored* old = unplaced_.get(key)) {
      release(*old);
      unplaced_.erase(key);
      --size_;
    }
  }
  if (node != kNoNode) {
    if (node < slots_.size() && slots_[node].present()) {
      release(slots_[node]);
      --size_;
    }
    const Stored stored = store(text, std::move(metadata));
    slot(node) = stored;
  } else {
    unplaced_.insert_or_assign(key, store(text, std::move(metadata)));
  }
  ++size_;
  remember_own_id(key, id);
  compact_if_wasteful();
}

bool DocumentMap::erase(const Uuid& key, const IdTables& ids) {
  const uint32_t node = node_of(key, ids);
  if (node < slots_.size() && slots_[node].present()) {
    release(slots_[node]);
    slots_[node] = Stored{};
  } else if (const Stored* old = unplaced_.empty() ? nullptr : unplaced_.get(key)) {
    release(*old);
    unplaced_.erase(key);
  } else {
    return false;
  }
  --size_;
  if (!own_ids_.empty()) own_ids_.erase(key);
  compact_if_wasteful();
  return true;
}

void DocumentMap::clear() { *this = DocumentMap(); }

void DocumentMap::stage(const Uuid& key, const Uuid& id, std::string_view text, Metadata metadata) {
  staged_.emplace_back(key, store(text, std::move(metadata)));
  ++size_;
  remember_own_id(key, id);
}

void DocumentMap::remember_own_id(const Uuid& key, const Uuid& id) {
  if (id != key) {
    own_ids_.insert_or_assign(key, id);
  } else if (!own_ids_.empty()) {
    own_ids_.erase(key);
  }
}

void DocumentMap::place(const IdTables& ids) {
  if (unplaced_.empty() && staged_.empty()) return;
  reserve_nodes(ids.internal_to_uuid.size());
  UuidMap<Stored> still;
  for (const auto& [key, stored] : unplaced_) {
    const uint32_t node = node_of(key, ids);
    if (node == kNoNode) {
      still.insert_or_assign(key, stored);
      continue;
    }
    Stored& at = slot(node);
    // Only the key's own document is ever kept at its node, and the key is kept here.
    KESTRINE_ASSERT(!at.present());
    at = stored;
  }
  unplaced_ = std::move(still);
  // Staged documents in order: one under a key already placed replaces that one.
  for (const auto& [key, stored] : staged_) {
    const uint32_t node = node_of(key, ids);
    Stored* old = nullptr;
    if (node != kNoNode) {
      old = &slot(node);
      if (!old->present()) old = nullptr;
    } else if (!unplaced_.empty()) {
      old = unplaced_.get(key);
    }
    if (old != nullptr) {
      release(*old);
      --size_;
    }
    if (node != kNoNode) {
      slot(node) = stored;
    } else {
      unplaced_.insert_or_assign(key, stored);
    }
  }
  // Given back, not only emptied (assigning {} would keep the capacity).
  decltype(staged_)().swap(staged_);
  compact_if_wasteful();
}

void DocumentMap::renumber(std::span<const Uuid> old_keys, const IdTables& ids) {
  CacheLineVector<Stored> old_slots = std::exchange(slots_, {});
  UuidMap<Stored> old_unplaced = std::exchange(unplaced_, {});
  reserve_nodes(ids.internal_to_uuid.size());
  const auto keep = [&](const Uuid& key, const Stored& stored) {
    const uint32_t node = node_of(key, ids);
    if (node == kNoNode) {
      unplaced_.insert_or_assign(key, stored);
    } else {
      slot(node) = stored;
    }
  };
  for (size_t node = 0; node < old_slots.size(); ++node) {
    if (!old_slots[node].present()) continue;
    KESTRINE_ASSERT(node < old_keys.size());
    keep(old_keys[node], old_slots[node]);
  }
  for (const auto& [key, stored] : old_unplaced) keep(key, stored);
}

void DocumentMap::reserve_nodes(size_t node_count) {
  if (node_count <= slots_.capacity()) return;
  slots_.reserve(std::max(node_count, slots_.size() + slots_.size() / 8));
}

void DocumentMap::reserve_staged(size_t documents) { staged_.reserve(staged_.size() + documents); }

void DocumentMap::reserve_text(size_t text_bytes) { grow_texts(text_bytes); }

void DocumentMap::grow_texts(size_t extra) {
  const size_t needed = texts_.size() + extra;
  if (needed <= texts_.capacity()) return;
  // A batch larger than the step gets exactly its own size.
  texts_.reserve(std::max(needed, texts_.size() + std::max(texts_.size() / 8, 4 * kMinimumStep)));
}

void DocumentMap::compact_if_wasteful() {
  if (garbage_ < kMinGarbage || garbage_ * 2 < texts_.size()) return;
  CacheLineVector<char> kept;
  kept.reserve(texts_.size() - garbage_);
  const auto move_text = [&](Stored& stored) {
    const uint64_t offset = kept.size();
    kept.insert(kept.end(), texts_.begin() + static_cast<ptrdiff_t>(stored.offset),
                texts_.begin() + static_cast<ptrdiff_t>(stored.offset + stored.length));
    stored.offset = offset;
  };
  for (Stored& stored : slots_) {
    if (stored.present()) move_text(stored);
  }
  for (auto& [key, stored] : unplaced_) move_text(stored);
  texts_ = std::move(kept);
  garbage_ = 0;
}

size_t DocumentMap::memory_bytes() const {
  size_t total = slots_.capacity() * sizeof(Stored) + unplaced_.memory_bytes() + texts_.capacity() +
                 own_ids_.memory_bytes() + staged_.capacity() * sizeof(staged_[0]);
  total += metadata_.capacity() * sizeof(Metadata) + free_metadata_.capacity() * 4;
  return total;
}

}  // namespace kestrine
