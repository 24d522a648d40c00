// Document metadata: an unordered map from UTF-8 key to a tagged value. The variant's index is
// the stored tag: 0 Bool, 1 Int (signed 64-bit), 2 Float (64-bit), 3 Str.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <variant>

namespace kestrine {

using MetadataValue = std::variant<bool, int64_t, double, std::string>;
using Metadata = std::unordered_map<std::string, MetadataValue>;

}  // namespace kestrine
