// Conversions between Python values and engine values. Each converter returns false (or null)
// with a Python exception set on failure, and stops at the first bad value; nothing reaches
// the engine before every conversion of a call has succeeded.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/collection/document.h"
#include "core/collection/filter.h"
#include "core/common/metadata.h"
#include "core/common/uuid.h"
#include "core/engine/engine.h"
#include "python/pyref.h"

namespace kestrine::py {

// str -> UTF-8 text ("PyString" on a type mismatch).
bool to_text(PyObject* object, std::string* out);
// A non-negative int that fits a machine word (OverflowError otherwise).
bool to_size(PyObject* object, uint64_t* out);
// A `threads` argument: an int, 0 meaning one per core; a negative one is a ValueError.
bool to_thread_count(PyObject* object, uint64_t* out);
// An `ef_search` argument: an int of at least 1 (a larger one than a word holds counts as the
// largest); zero or a negative one is a ValueError.
bool to_ef_search(PyObject* object, uint64_t* out);
// Exactly True or False ("PyBool" on a type mismatch; an int is not a bool).
bool to_bool(PyObject* object, bool* out);
// A real number narrowed to 32 bits.
bool to_float32(PyObject* object, float* out);
// A sequence of numbers narrowed to 32-bit floats; a str is refused. A 1-D, C-contiguous buffer
// of native float32 or float64 items (a NumPy array, array.array) is copied without a Python
// call per element and gives the same values as its elements would.
bool to_embedding(PyObject* object, std::vector<float>* out);
// A 2-D sequence of embeddings, each converted as by to_embedding: a 2-D C-contiguous buffer of
// native float32 or float64 items (a NumPy matrix) row by row without a Python call per element,
// else any non-str sequence whose items are embeddings.
bool to_embedding_rows(PyObject* object, std::vector<std::vector<float>>* out);
// A non-str sequence of str.
bool to_text_list(PyObject* object, std::vector<std::string>* out);
// A dict (checked by the caller) of str keys to bool, int, float or str values.
bool to_metadata(PyObject* dict, Metadata* out);
// UUID text; ValueError "invalid UUID: " + the parser's message.
bool to_uuid(std::string_view text, Uuid* out);
// One element of batch_insert's list: a dict with "text", "embedding", optional "metadata"
// and optional "id" (when absent, id_text stays empty and the engine draws one).
bool to_new_document(PyObject* object, NewDocument* out);
// Converts every element of the list `list` with to_new_document. Converting an element can run
// Python code that shrinks the list: it stops at whichever of its starting and current lengths
// is reached first. On failure the exception carries the element's `document_index`.
bool to_new_documents(PyObject* list, std::vector<NewDocument>* out);
// A filter dict with optional "must", "must_not" and "should" lists, whose elements are
// conditions or nested filters (at most kMaxFilterDepth levels).
bool to_filter(PyObject* object, Filter* out);
bool to_filter_value(PyObject* object, FilterValue* out);

PyObject* metadata_to_dict(const Metadata& metadata);
// {"id": ..., "text": ..., "metadata": {...}}, keys in that order.
PyObject* document_to_dict(const Document& document);
PyObject* text_to_str(std::string_view text);
// The id in hyphenated lowercase form (format_uuid's), as a str.
PyObject* uuid_to_str(const Uuid& id);

}  // namespace kestrine::py
