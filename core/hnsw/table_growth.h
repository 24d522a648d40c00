// Growth of the per-node tables of an index. A table that doubles when full holds on average a
// third more than it uses, and the per-node tables are nearly all of an index's memory; growing
// by an eighth keeps the slack small while appends stay amortised constant time (every byte is
// copied about eight times over the table's life instead of twice).
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace kestrine {

// Makes room in `table` for `extra` more elements.
template <typename T>
void reserve_for_append(std::vector<T>& table, size_t extra) {
  const size_t needed = table.size() + extra;
  if (needed <= table.capacity()) return;
  constexpr size_t kMinimumStep = 1024;
  table.reserve(needed + std::max(table.size() / 8, kMinimumStep));
}

}  // namespace kestrine
