// A hash map keyed by Uuid, stored flat: one array of (key, value) slots and one control byte
// per slot, open addressing with linear probing. A collection keeps one entry per document in
// such maps, so the per-entry cost is what matters: a node-based map spends a heap allocation
// (48 bytes for a u32 value) and a bucket pointer on every entry, this one the slot and one byte,
// at a load of 7/8 when sized for a known count (reserve) and between 7/16 and 7/8 when grown by
// single insertions. The slot count need not be a power of two: a key's home slot is the high
// half of its 64-bit mix times the slot count.
//
// Erasing shifts the following entries of the probe run back (no tombstones), so look-ups stay
// short after any number of deletions. Iteration visits the slots in array order. Any insertion
// or erasure may move entries: iterators and pointers into the map are invalidated by every
// change, as with a rehash.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/common/cache_line_allocator.h"
#include "core/common/uuid.h"

namespace kestrine {

template <typename V>
class UuidMap {
 public:
  struct Slot {
    Uuid first;
    V second;
  };

  template <bool Const>
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Slot;
    using difference_type = std::ptrdiff_t;
    using pointer = std::conditional_t<Const, const Slot*, Slot*>;
    using reference = std::conditional_t<Const, const Slot&, Slot&>;
    using Map = std::conditional_t<Const, const UuidMap, UuidMap>;

    Iterator() = default;
    Iterator(Map* map, size_t index) : map_(map), index_(index) { skip_empty(); }
    // A const iterator from a mutable one.
    template <bool C = Const, typename = std::enable_if_t<C>>
    Iterator(const Iterator<false>& other) : map_(other.map_), index_(other.index_) {}

    reference operator*() const { return map_->slots_[index_]; }
    pointer operator->() const { return &map_->slots_[index_]; }
    Iterator& operator++() {
      ++index_;
      skip_empty();
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) { return a.index_ == b.index_; }

   private:
    friend class UuidMap;
    template <bool>
    friend class Iterator;
    void skip_empty() {
      while (index_ < map_->control_.size() && map_->control_[index_] == kEmpty) ++index_;
    }
    Map* map_ = nullptr;
    size_t index_ = 0;
  };
  using iterator = Iterator<false>;
  using const_iterator = Iterator<true>;
  using value_type = Slot;

  UuidMap() = default;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Number of slots (0 before the first insertion).
  size_t slot_count() const { return slots_.size(); }

  iterator begin() { return iterator(this, 0); }
  iterator end() { return iterator(this, slots_.size()); }
  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, slots_.size()); }

  iterator find(const Uuid& key) { return iterator(this, position(key)); }
  const_iterator find(const Uuid& key) const { return const_iterator(this, position(key)); }
  bool contains(const Uuid& key) const { return position(key) != slots_.size(); }
  // The value of `key`, or null.
  const V* get(const Uuid& key) const {
    const size_t i = position(key);
    return i == slots_.size() ? nullptr : &slots_[i].second;
  }
  V* get(const Uuid& key) {
    const size_t i = position(key);
    return i == slots_.size() ? nullptr : &slots_[i].second;
  }
  // As std::unordered_map::at (tests only: the engine never throws).
  const V& at(const Uuid& key) const {
    const V* value = get(key);
    if (value == nullptr) throw std::out_of_range("UuidMap::at");
    return *value;
  }

  // The value of `key`, value-initialised first when absent.
  V& operator[](const Uuid& key) { return slots_[insert_slot(key, nullptr)].second; }
  // Stores `value` under `key`; true when the key was new.
  bool insert_or_assign(const Uuid& key, V value) {
    bool inserted = false;
    slots_[insert_slot(key, &inserted)].second = std::move(value);
    return inserted;
  }
  // Stores `value` under `key` unless the key is present; true when it was new.
  bool emplace(const Uuid& key, V value) {
    bool inserted = false;
    const size_t i = insert_slot(key, &inserted);
    if (inserted) slots_[i].second = std::move(value);
    return inserted;
  }

  // Removes `key`; returns how many entries were removed (0 or 1).
  size_t erase(const Uuid& key) {
    size_t hole = position(key);
    if (hole == slots_.size()) return 0;
    // Backward shift: every later entry of the run whose home lies at or before the hole moves
    // into it, so that no look-up ever has to step over a removed entry.
    for (size_t next = after(hole); control_[next] != kEmpty; next = after(next)) {
      const size_t home = home_of(slots_[next].first);
      // Whether `home` lies cyclically in (hole, next]: then the entry must stay.
      const bool stays =
          hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
      if (stays) continue;
      slots_[hole] = std::move(slots_[next]);
      control_[hole] = control_[next];
      hole = next;
    }
    control_[hole] = kEmpty;
    slots_[hole] = Slot{};
    --size_;
    return 1;
  }

  void clear() {
    slots_.clear();
    slots_.shrink_to_fit();
    control_.clear();
    control_.shrink_to_fit();
    size_ = 0;
  }

  // Makes room for `count` entries: the smallest table that holds them, or an eighth more slots
  // when that is more (so that reserving batch after batch stays amortised constant time).
  void reserve(size_t count) {
    const size_t wanted = slots_for(count);
    if (wanted > slots_.size()) rehash(std::max(wanted, slots_.size() + slots_.size() / 8));
  }

  // Equal when both hold the same keys with equal values.
  friend bool operator==(const UuidMap& a, const UuidMap& b) {
    if (a.size_ != b.size_) return false;
    for (const Slot& slot : a) {
      const V* other = b.get(slot.first);
      if (other == nullptr || !(*other == slot.second)) return false;
    }
    return true;
  }

  // Heap bytes held: the slots and their control bytes.
  size_t memory_bytes() const { return slots_.capacity() * sizeof(Slot) + control_.capacity(); }

 private:
  static constexpr uint8_t kEmpty = 0;
  static constexpr uint8_t kFull = 1;
  static constexpr size_t kMinSlots = 16;

  // Slots for `count` entries at a load of at most 7/8 (always one empty slot, which ends
  // every probe run).
  static size_t slots_for(size_t count) {
    if (count == 0) return 0;
    return std::max(kMinSlots, count + count / 7 + 1);
  }

  size_t after(size_t i) const { return i + 1 == slots_.size() ? 0 : i + 1; }

  // The slot a key's probe run starts at: the top bits of a multiplicative mix of both halves,
  // which depend on every bit of the key (structured ids often differ only in their last bytes,
  // which the low bits of a product would ignore).
  size_t home_of(const Uuid& key) const {
    uint64_t lo, hi;
    std::memcpy(&lo, key.bytes.data(), 8);
    std::memcpy(&hi, key.bytes.data() + 8, 8);
    uint64_t mixed = lo * 0x9E3779B97F4A7C15ull ^ hi * 0xC2B2AE3D27D4EB4Full;
    mixed = (mixed ^ mixed >> 32) * 0xD6E8FEB86659FD93ull;
    return static_cast<size_t>(static_cast<unsigned __int128>(mixed) * slots_.size() >> 64);
  }

  // Index of `key`'s slot, or slots_.size() when absent.
  size_t position(const Uuid& key) const {
    if (size_ == 0) return slots_.size();
    for (size_t i = home_of(key);; i = after(i)) {
      if (control_[i] == kEmpty) return slots_.size();
      if (slots_[i].first == key) return i;
    }
  }

  // Index of `key`'s slot, a new value-initialised one when absent (`*inserted` then true).
  size_t insert_slot(const Uuid& key, bool* inserted) {
    if (const size_t found = position(key); found != slots_.size()) {
      if (inserted != nullptr) *inserted = false;
      return found;
    }
    if (slots_for(size_ + 1) > slots_.size())
      rehash(std::max(slots_for(size_ + 1), 2 * slots_.size()));
    size_t i = home_of(key);
    while (control_[i] != kEmpty) i = after(i);
    control_[i] = kFull;
    slots_[i] = Slot{key, V{}};
    ++size_;
    if (inserted != nullptr) *inserted = true;
    return i;
  }

  void rehash(size_t slot_count) {
    CacheLineVector<Slot> old_slots(slot_count);
    CacheLineVector<uint8_t> old_control(slot_count, kEmpty);
    old_slots.swap(slots_);
    old_control.swap(control_);
    for (size_t j = 0; j < old_slots.size(); ++j) {
      if (old_control[j] == kEmpty) continue;
      size_t i = home_of(old_slots[j].first);
      while (control_[i] != kEmpty) i = after(i);
      control_[i] = kFull;
      slots_[i] = std::move(old_slots[j]);
    }
  }

  // Large tables are mappings of their own (cache_line_allocator.h): a table replaced as the map
  // grows goes back to the system whole instead of leaving a hole in the heap.
  CacheLineVector<Slot> slots_;
  CacheLineVector<uint8_t> control_;
  size_t size_ = 0;
};

}  // namespace kestrine
