// A stored document. Immutable once stored and shared by reference counting, so that search
// results can keep it after the collection's lock is released and a deleted or replaced
// document lives on while someone still holds it.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "core/common/metadata.h"
#include "core/common/uuid.h"

namespace kestrine {

struct Document {
  Uuid id;
  std::string text;
  Metadata metadata;
};

using DocumentPtr = std::shared_ptr<const Document>;
using DocumentMap = std::unordered_map<Uuid, DocumentPtr, UuidHash>;

}  // namespace kestrine
