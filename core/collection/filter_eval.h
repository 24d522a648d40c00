// When a stored document satisfies a metadata filter. Evaluation never fails: a missing field,
// a type mismatch, a missing value and a NaN all make a condition false.
#pragma once

#include <cstdint>

#include "core/collection/collection.h"
#include "core/collection/filter.h"
#include "core/common/metadata.h"

namespace kestrine {

// Whether the document with that internal id is live and satisfies `filter`: every `must`
// condition holds (checked in order, stopping at the first that fails), no `must_not`
// condition holds (stopping at the first that holds) and, when `should` has conditions, one of
// them holds (stopping at the first). A nested filter counts as one condition that holds when
// the document satisfies it. The caller holds the collection's lock.
bool matches_filter(const CollectionData& collection, uint32_t internal_id, const Filter& filter);

// The verdict for one metadata map.
bool metadata_matches(const Metadata& metadata, const Filter& filter);

// One element: a condition on a field, or a nested filter.
bool eval_condition(const Metadata& metadata, const FilterCondition& condition);

// Equality of a stored value and a filter value: Bool with Bool, Str with String, and numbers
// with numbers, integers exactly or through 64-bit floats within the float epsilon.
bool values_equal(const MetadataValue& stored, const FilterValue& value);

}  // namespace kestrine
