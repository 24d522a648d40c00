// One entry of a term's posting list.
#pragma once

#include <cstdint>

namespace kestrine {

struct Posting {
  uint32_t id = 0;  // internal document id
  uint32_t tf = 0;  // term frequency in that document

  friend bool operator==(const Posting&, const Posting&) = default;
};

}  // namespace kestrine
