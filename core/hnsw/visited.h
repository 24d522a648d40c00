// Which nodes a layer search has already looked at. Each thread keeps one set for searches and
// a separate one for insertions, for its whole life. A node counts as visited when its mark
// equals the current generation, so starting a new layer search costs one increment instead of
// a pass over all nodes; the marks are cleared only when the 16-bit generation wraps.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrine {

class VisitedSet {
 public:
  // Extends the marks with zeros up to `node_count` ids; they never shrink.
  void prepare(size_t node_count) {
    if (marks_.size() < node_count) marks_.resize(node_count, 0);
  }

  // Starts a layer search: afterwards no node counts as visited. Generation 0 never marks.
  void next_generation() {
    if (generation_ == UINT16_MAX) {
      std::fill(marks_.begin(), marks_.end(), uint16_t{0});
      generation_ = 1;
    } else {
      ++generation_;
    }
  }

  // Marks `id` (which must be below size()) and tells whether it was unvisited before.
  bool visit(uint32_t id) {
    uint16_t& mark = marks_[id];
    if (mark == generation_) return false;
    mark = generation_;
    return true;
  }

  bool visited(uint32_t id) const {
    return generation_ != 0 && id < marks_.size() && marks_[id] == generation_;
  }

  size_t size() const { return marks_.size(); }
  uint16_t generation() const { return generation_; }

 private:
  std::vector<uint16_t> marks_;
  uint16_t generation_ = 0;
};

// The calling thread's set for searches.
VisitedSet& search_visited_set();
// The calling thread's set for insertions.
VisitedSet& insert_visited_set();

}  // namespace kestrine
