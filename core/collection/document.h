// A stored document, and the two forms it takes outside its collection: a shared immutable copy
// (DocumentPtr) that search results and look-ups hand out, so that it outlives the collection's
// lock, and a view into the collection's own tables (DocumentView) for code that runs under the
// lock and needs no copy.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "core/common/metadata.h"
#include "core/common/uuid.h"

namespace kestrine {

struct Document {
  Uuid id;
  std::string text;
  Metadata metadata;
};

using DocumentPtr = std::shared_ptr<const Document>;

// A document as its collection stores it; valid while the collection's lock is held and the
// table it came from is unchanged.
struct DocumentView {
  Uuid key;  // the id the collection knows the document by
  Uuid id;   // the document's own id: the key, unless a stored snapshot says otherwise
  std::string_view text;
  const Metadata& metadata;
};

// A shared copy of the viewed document.
inline DocumentPtr share_document(const DocumentView& view) {
  return std::make_shared<const Document>(Document{view.id, std::string(view.text), view.metadata});
}

}  // namespace kestrine
