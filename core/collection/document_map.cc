#include "core/collection/document_map.h"

#include <algorithm>
#include <cstring>

namespace kestrine {
namespace {

const Metadata& no_metadata() {
  static const Metadata empty;
  return empty;
}

// Arena bytes removed documents may hold before the arena is rewritten: below this, rewriting
// would cost more than the bytes are worth.
constexpr uint64_t kMinGarbage = uint64_t{1} << 16;

}  // namespace

DocumentView DocumentMap::view(const Entries::Slot& slot) const {
  const Stored& s = slot.second;
  const Uuid* own = own_ids_.empty() ? nullptr : own_ids_.get(slot.first);
  return DocumentView{slot.first, own != nullptr ? *own : slot.first,
                      std::string_view(texts_.data() + s.offset, s.length),
                      s.metadata == kNoMetadata ? no_metadata() : metadata_[s.metadata]};
}

std::optional<DocumentView> DocumentMap::find(const Uuid& key) const {
  const auto at = entries_.find(key);
  if (at == entries_.end()) return std::nullopt;
  return view(*at);
}

DocumentPtr DocumentMap::get(const Uuid& key) const {
  const auto found = find(key);
  return found ? share_document(*found) : nullptr;
}

DocumentMap::Stored DocumentMap::store(std::string_view text, Metadata metadata) {
  Stored stored;
  grow_texts(text.size());
  stored.offset = texts_.size();
  stored.length = static_cast<uint32_t>(text.size());
  texts_.insert(texts_.end(), text.begin(), text.end());
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

void DocumentMap::insert_or_assign(const Uuid& key, const DocumentView& document) {
  // A view of this very map would be invalidated by the arena's growth: copied first.
  const char* text = document.text.data();
  const auto* metadata = reinterpret_cast<const char*>(&document.metadata);
  const auto* metadata_table = reinterpret_cast<const char*>(metadata_.data());
  if ((text >= texts_.data() && text < texts_.data() + texts_.size()) ||
      (metadata >= metadata_table &&
       metadata < metadata_table + metadata_.size() * sizeof(Metadata))) {
    const std::string copy(document.text);
    insert_or_assign(key, document.id, copy, document.metadata);
    return;
  }
  insert_or_assign(key, document.id, document.text, document.metadata);
}

void DocumentMap::insert_or_assign(const Uuid& key, const Uuid& id, std::string_view text,
                                   Metadata metadata) {
  if (Stored* old = entries_.get(key)) release(*old);
  entries_.insert_or_assign(key, store(text, std::move(metadata)));
  if (id != key) {
    own_ids_.insert_or_assign(key, id);
  } else if (!own_ids_.empty()) {
    own_ids_.erase(key);
  }
  compact_if_wasteful();
}

void DocumentMap::insert_or_assign(const Uuid& key, const Document& document) {
  insert_or_assign(key, document.id, document.text, document.metadata);
}

bool DocumentMap::erase(const Uuid& key) {
  const Stored* stored = entries_.get(key);
  if (stored == nullptr) return false;
  release(*stored);
  entries_.erase(key);
  if (!own_ids_.empty()) own_ids_.erase(key);
  compact_if_wasteful();
  return true;
}

void DocumentMap::clear() { *this = DocumentMap(); }

void DocumentMap::reserve(size_t documents, size_t text_bytes) {
  entries_.reserve(entries_.size() + documents);
  grow_texts(text_bytes);
}

void DocumentMap::grow_texts(size_t extra) {
  const size_t needed = texts_.size() + extra;
  if (needed <= texts_.capacity()) return;
  // Growth by at least an eighth, as the index's per-node tables: little room left over, appends
  // still amortised constant time; a batch larger than that gets exactly its own size.
  texts_.reserve(std::max(needed, texts_.size() + std::max<size_t>(texts_.size() / 8, 4096)));
}

void DocumentMap::shrink_to_fit() {
  texts_.shrink_to_fit();
  if (free_metadata_.empty()) metadata_.shrink_to_fit();
}

void DocumentMap::compact_if_wasteful() {
  if (garbage_ < kMinGarbage || garbage_ * 2 < texts_.size()) return;
  CacheLineVector<char> kept;
  kept.reserve(texts_.size() - garbage_);
  for (auto& [key, stored] : entries_) {
    const uint64_t offset = kept.size();
    kept.insert(kept.end(), texts_.begin() + static_cast<ptrdiff_t>(stored.offset),
                texts_.begin() + static_cast<ptrdiff_t>(stored.offset + stored.length));
    stored.offset = offset;
  }
  texts_ = std::move(kept);
  garbage_ = 0;
}

size_t DocumentMap::memory_bytes() const {
  size_t total = entries_.memory_bytes() + texts_.capacity() + own_ids_.memory_bytes();
  total += metadata_.capacity() * sizeof(Metadata) + free_metadata_.capacity() * 4;
  return total;
}

}  // namespace kestrine
