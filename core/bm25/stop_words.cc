#include "core/bm25/stop_words.h"

#include <array>

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

}  // namespace

const std::unordered_set<std::string_view>& stop_words() {
  // A function-local static: initialised exactly once even when threads race to it.
  static const std::unordered_set<std::string_view> set = build_stop_words();
  return set;
}

bool is_stop_word(std::string_view token) {
  return token.size() <= kMaxStopWordBytes && stop_words().contains(token);
}

}  // namespace kestrine
