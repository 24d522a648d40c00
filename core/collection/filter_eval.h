// When a stored document satisfies a metadata filter. Evaluation never fails: a missing field,
// a type mismatch, a missing value and a NaN all make a condition false.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/collection/filter.h"
#include "core/common/metadata.h"

namespace kestrine {

struct CollectionData;

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

// One document's value of one field as conditions read it: absent, or a metadata value with
// numbers and booleans held by value and a string by pointer (into the document, which must
// outlive it). Small enough to keep one per document in a column (filter_columns.h).
struct StoredField {
  enum class Kind : uint8_t { kAbsent, kBool, kInt, kFloat, kStr };
  Kind kind = Kind::kAbsent;
  union {
    bool boolean;
    int64_t integer = 0;
    double real;
    const std::string* text;
  };

  // The field as `value` holds it, or absent for null.
  static StoredField of(const MetadataValue* value);
};

// Whether a condition on a field (not a nested filter) holds for the field's stored value:
// eval_condition's verdict for a document whose field `condition.field` is `stored`.
bool field_satisfies(const StoredField& stored, const FilterCondition& condition);
// field_satisfies(column[i], condition) into out[i] (0 or 1) for every i.
void fields_satisfy(std::span<const StoredField> column, const FilterCondition& condition,
                    uint8_t* out);

// metadata_matches's verdict, in the same order of evaluation, for a document whose elements are
// judged by `holds(element)` (a condition on a field, or a nested filter). `filter` is a Filter or
// any form of one with the same three lists.
template <typename AnyFilter, typename Holds>
bool filter_holds(const AnyFilter& filter, Holds&& holds) {
  for (const auto& c : filter.must) {
    if (!holds(c)) return false;
  }
  for (const auto& c : filter.must_not) {
    if (holds(c)) return false;
  }
  if (filter.should.empty()) return true;
  for (const auto& c : filter.should) {
    if (holds(c)) return true;
  }
  return false;
}

}  // namespace kestrine
