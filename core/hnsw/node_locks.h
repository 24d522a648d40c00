// The locks that let several threads insert into one graph at once: one mutex guards the
// out-lists of every node whose number falls in its stripe, so a thread reads or changes a list
// only while it holds the mutex of that list's node. A thread holds at most one node mutex at a
// time, so stripes shared by unrelated nodes cannot deadlock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace kestrine {

class NodeLocks {
 public:
  NodeLocks() : stripes_(std::make_unique<std::mutex[]>(kStripes)) {}

  std::mutex& of(uint32_t node) const { return stripes_[node & (kStripes - 1)]; }

 private:
  // Enough that two of a handful of threads rarely wait on the same stripe.
  static constexpr size_t kStripes = 4096;
  std::unique_ptr<std::mutex[]> stripes_;
};

}  // namespace kestrine
