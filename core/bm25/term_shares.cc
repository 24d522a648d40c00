#include "core/bm25/term_shares.h"

#include <array>
#include <bit>

namespace kestrine {
namespace {

struct ShareTable {
  uint32_t avgdl_bits = 0;
  bool filled = false;
  std::array<float, TermShares::kFrequencies * TermShares::kLengths> ratio{};
};

}  // namespace

TermShares::TermShares(float avgdl) : avgdl_(avgdl) {
  // 16 KiB a thread, kept for the next search: the average length only moves when documents
  // are added or removed.
  thread_local ShareTable table;
  const auto bits = std::bit_cast<uint32_t>(avgdl);
  if (!table.filled || table.avgdl_bits != bits) {
    for (uint32_t tf = 1; tf <= kFrequencies; ++tf) {
      for (uint32_t dl = 0; dl < kLengths; ++dl) {
        // term_score with an idf of 1 stops one multiplication short, and y * 1 is y.
        table.ratio[(tf - 1) * kLengths + dl] =
            term_score(1.0f, static_cast<float>(tf), static_cast<float>(dl), avgdl);
      }
    }
    table.avgdl_bits = bits;
    table.filled = true;
  }
  ratio_ = table.ratio.data();
}

}  // namespace kestrine
