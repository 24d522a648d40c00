// The two read-only result classes, SearchResult and CollectionInfo. Neither can be created
// from Python; the engine side builds them.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/collection/document.h"
#include "python/pyref.h"

namespace kestrine::py {

// Creates the classes; null with an exception set on failure. Called once, at module init.
PyObject* create_search_result_type();
PyObject* create_collection_info_type();

// A new SearchResult of the document (non-null), which it keeps: documents never change once
// stored, so what it reads later is what the document held when it was found.
PyObject* make_search_result(DocumentPtr document, float score);
PyObject* make_collection_info(std::string_view name, uint64_t dimension, uint64_t document_count,
                               uint64_t estimated_memory_bytes);

}  // namespace kestrine::py
