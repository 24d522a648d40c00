#include "core/collection/filter_eval.h"

#include <cmath>
#include <limits>

namespace kestrine {
namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

bool near(double a, double b) { return std::abs(a - b) < kEpsilon; }

bool int_equals(int64_t i, const FilterNumber& n) {
  switch (n.kind) {
    case FilterNumber::Kind::kFloat:
      return near(static_cast<double>(i), n.real);
    case FilterNumber::Kind::kNegInt:
      return i == n.neg_int || near(static_cast<double>(i), static_cast<double>(n.neg_int));
    case FilterNumber::Kind::kPosInt:
      return (n.pos_int <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) &&
              i == static_cast<int64_t>(n.pos_int)) ||
             near(static_cast<double>(i), static_cast<double>(n.pos_int));
  }
  return false;
}

// Stored Int or Float as a 64-bit float; false for other kinds.
bool stored_number(const MetadataValue& stored, double* out) {
  if (const auto* i = std::get_if<int64_t>(&stored)) {
    *out = static_cast<double>(*i);
    return true;
  }
  if (const auto* x = std::get_if<double>(&stored)) {
    *out = *x;
    return true;
  }
  return false;
}

}  // namespace

bool values_equal(const MetadataValue& stored, const FilterValue& value) {
  if (const auto* b = std::get_if<bool>(&stored)) {
    const auto* c = std::get_if<bool>(&value);
    return c != nullptr && *b == *c;
  }
  if (const auto* s = std::get_if<std::string>(&stored)) {
    const auto* t = std::get_if<std::string>(&value);
    return t != nullptr && *s == *t;
  }
  const auto* number = std::get_if<FilterNumber>(&value);
  if (number == nullptr) return false;
  if (const auto* i = std::get_if<int64_t>(&stored)) return int_equals(*i, *number);
  if (const auto* x = std::get_if<double>(&stored)) return near(*x, number->as_double());
  return false;
}

bool eval_condition(const Metadata& metadata, const FilterCondition& condition) {
  if (condition.nested) return metadata_matches(metadata, *condition.nested);
  if (condition.op == FilterOp::kExists) {
    // Parsing guarantees a bool; anything else holds for no document.
    const bool* wanted = condition.value ? std::get_if<bool>(&*condition.value) : nullptr;
    return wanted != nullptr && metadata.contains(condition.field) == *wanted;
  }
  if (metadata.empty()) return false;
  auto found = metadata.find(condition.field);
  if (found == metadata.end()) return false;
  const MetadataValue& stored = found->second;
  switch (condition.op) {
    case FilterOp::kEq:
      return condition.value && values_equal(stored, *condition.value);
    case FilterOp::kNe:
      return condition.value && !values_equal(stored, *condition.value);
    case FilterOp::kGt:
    case FilterOp::kLt:
    case FilterOp::kGte:
    case FilterOp::kLte: {
      if (!condition.value) return false;
      const auto* number = std::get_if<FilterNumber>(&*condition.value);
      double x;
      if (number == nullptr || !stored_number(stored, &x)) return false;
      const double y = number->as_double();
      switch (condition.op) {
        case FilterOp::kGt:
          return x > y;
        case FilterOp::kLt:
          return x < y;
        case FilterOp::kGte:
          return x >= y;
        default:
          return x <= y;
      }
    }
    case FilterOp::kIn:
      if (!condition.values) return false;
      for (const FilterValue& v : *condition.values) {
        if (values_equal(stored, v)) return true;
      }
      return false;
    case FilterOp::kExists:
      break;  // answered above
  }
  return false;
}

bool metadata_matches(const Metadata& metadata, const Filter& filter) {
  for (const FilterCondition& c : filter.must) {
    if (!eval_condition(metadata, c)) return false;
  }
  for (const FilterCondition& c : filter.must_not) {
    if (eval_condition(metadata, c)) return false;
  }
  if (filter.should.empty()) return true;
  for (const FilterCondition& c : filter.should) {
    if (eval_condition(metadata, c)) return true;
  }
  return false;
}

bool matches_filter(const CollectionData& collection, uint32_t internal_id, const Filter& filter) {
  if (internal_id >= collection.internal_to_uuid.size() || collection.documents.empty()) {
    return false;
  }
  const auto document = collection.documents.find(collection.internal_to_uuid[internal_id]);
  return document && metadata_matches(document->metadata, filter);
}

}  // namespace kestrine
