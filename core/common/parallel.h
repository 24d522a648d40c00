// Running the items of one call on several threads. The threads exist only inside the call that
// asks for them and are joined before it returns, so the database runs nothing of its own
// between calls.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <system_error>
#include <thread>
#include <vector>

namespace kestrine {

// The number of threads a `threads` argument stands for: 0 means one per core (at least one),
// anything else itself, capped at `items` (never below 1) so that no thread starts idle.
inline size_t resolve_thread_count(uint64_t threads, size_t items) {
  uint64_t count = threads;
  if (count == 0) count = std::max(1u, std::thread::hardware_concurrency());
  return static_cast<size_t>(std::clamp<uint64_t>(count, 1, std::max<size_t>(items, 1)));
}

// Calls work(i) once for every i in [0, count), from `threads` threads: the caller and
// threads - 1 started for this call. Items are handed out one at a time in ascending order, so
// a slow item holds up only its own thread. Returns after every call has returned. Should the
// system refuse a thread, the threads already running (the caller among them) do all the items.
template <typename Work>
void parallel_for(size_t count, size_t threads, Work&& work) {
  threads = std::clamp<size_t>(threads, 1, std::max<size_t>(count, 1));
  if (threads == 1) {
    for (size_t i = 0; i < count; ++i) work(i);
    return;
  }
  std::atomic<size_t> next{0};
  auto drain = [&] {
    for (size_t i = next.fetch_add(1, std::memory_order_relaxed); i < count;
         i = next.fetch_add(1, std::memory_order_relaxed)) {
      work(i);
    }
  };
  std::vector<std::thread> helpers;
  helpers.reserve(threads - 1);
  for (size_t t = 1; t < threads; ++t) {
    try {
      helpers.emplace_back(drain);
    } catch (const std::system_error&) {
      break;
    }
  }
  drain();
  for (std::thread& helper : helpers) helper.join();
}

}  // namespace kestrine
