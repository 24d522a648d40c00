// Hashing for maps keyed by std::string that are looked up with std::string_view slices,
// so that a lookup never copies its key.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace kestrine {

struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
  size_t operator()(const std::string& s) const noexcept { return (*this)(std::string_view(s)); }
  size_t operator()(const char* s) const noexcept { return (*this)(std::string_view(s)); }
};

}  // namespace kestrine
