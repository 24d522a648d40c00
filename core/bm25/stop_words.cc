#include "core/bm25/stop_words.h"

#include <array>
#include <cstdint>

#include "core/bm25/tokenizer.h"

namespace kestrine {
namespace {

// 33 English words, then 31 Italian ones, back to back.
constexpr std::string_view kWords =
    "aanandareasatbebutbyforifinintoisitnonotofonorsuchthatthetheirthentherethesetheythistowas"
    "willwithillolaleligliununounadidadeldellodelladeideglidellechepernonsiconsuhasonocomemaan"
    "cheseioci";

struct Slice {
  size_t offset;
  size_t length;
};

// English: a an and are as at be but by for if in into is it no not of on or such that the
// their then there these they this to was will with.
// Italian: il lo la le li gli un uno una di da del dello della dei degli delle che per non si
// con su ha sono come ma anche se io ci.
constexpr std::array<Slice, kStopWordCount> kSlices = {{
    {0, 1},   {1, 2},   {3, 3},   {6, 3},   {9, 2},   {11, 2},  {13, 2},  {15, 3},
    {18, 2},  {20, 3},  {23, 2},  {25, 2},  {27, 4},  {31, 2},  {33, 2},  {35, 2},
    {37, 3},  {40, 2},  {42, 2},  {44, 2},  {46, 4},  {50, 4},  {54, 3},  {57, 5},
    {62, 4},  {66, 5},  {71, 5},  {76, 4},  {80, 4},  {84, 2},  {86, 3},  {89, 4},
    {93, 4},  {97, 2},  {99, 2},  {101, 2}, {103, 2}, {105, 2}, {107, 3}, {110, 2},
    {112, 3}, {115, 3}, {118, 2}, {120, 2}, {122, 3}, {125, 5}, {130, 5}, {135, 3},
    {138, 5}, {143, 5}, {148, 3}, {151, 3}, {154, 3}, {157, 2}, {159, 3}, {162, 2},
    {164, 2}, {166, 4}, {170, 4}, {174, 2}, {176, 5}, {181, 2}, {183, 2}, {185, 2},
}};

// The slices cover the string exactly, one after the other, and none is longer than the
// tokenizer's bound.
constexpr bool slices_tile_words() {
  size_t next = 0;
  for (const Slice& s : kSlices) {
    if (s.offset != next || s.length == 0 || s.length > kMaxStopWordBytes) return false;
    next += s.length;
  }
  return next == kWords.size();
}
static_assert(slices_tile_words());

std::unordered_set<std::string_view> build_stop_words() {
  std::unordered_set<std::string_view> set;
  set.reserve(kStopWordCount);
  for (const Slice& s : kSlices) set.insert(kWords.substr(s.offset, s.length));
  return set;
}

// A word of at most kMaxStopWordBytes bytes as one integer: its bytes, then its length above
// them, so that words with zero bytes stay apart from shorter ones.
constexpr uint64_t word_key(std::string_view word) {
  uint64_t key = uint64_t{word.size()} << (8 * kMaxStopWordBytes);
  for (size_t i = 0; i < word.size(); ++i)
    key |= uint64_t{static_cast<uint8_t>(word[i])} << (8 * i);
  return key;
}

// The look-up of is_stop_word: an open-addressing table of the words' keys (0: empty slot),
// twice as many slots as words, probed from a multiplicative hash. Hashing the string for the
// general set costs more than the rest of tokenizing a word.
constexpr size_t kTableBits = 7;
static_assert(size_t{1} << kTableBits >= 2 * kStopWordCount);

constexpr size_t slot_of(uint64_t key) {
  return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - kTableBits));
}

constexpr std::array<uint64_t, size_t{1} << kTableBits> build_table() {
  std::array<uint64_t, size_t{1} << kTableBits> table{};
  for (const Slice& s : kSlices) {
    const uint64_t key = word_key(kWords.substr(s.offset, s.length));
    size_t slot = slot_of(key);
    while (table[slot] != 0) slot = (slot + 1) % table.size();
    table[slot] = key;
  }
  return table;
}

constexpr auto kTable = build_table();

}  // namespace

const std::unordered_set<std::string_view>& stop_words() {
  // A function-local static: initialised exactly once even when threads race to it.
  static const std::unordered_set<std::string_view> set = build_stop_words();
  return set;
}

bool is_stop_word(std::string_view token) {
  // The empty word's key is 0, the mark of an empty slot.
  if (token.empty() || token.size() > kMaxStopWordBytes) return false;
  const uint64_t key = word_key(token);
  for (size_t slot = slot_of(key);; slot = (slot + 1) % kTable.size()) {
    if (kTable[slot] == key) return true;
    if (kTable[slot] == 0) return false;
  }
}

}  // namespace kestrine
