#include "core/collection/filter_eval.h"

#include <cmath>
#include <limits>

#include "core/collection/collection.h"

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

bool field_equals(const StoredField& stored, const FilterValue& value) {
  switch (stored.kind) {
    case StoredField::Kind::kBool: {
      const auto* c = std::get_if<bool>(&value);
      return c != nullptr && stored.boolean == *c;
    }
    case StoredField::Kind::kStr: {
      const auto* t = std::get_if<std::string>(&value);
      return t != nullptr && *stored.text == *t;
    }
    case StoredField::Kind::kInt:
    case StoredField::Kind::kFloat:
      break;
    case StoredField::Kind::kAbsent:
      return false;
  }
  const auto* number = std::get_if<FilterNumber>(&value);
  if (number == nullptr) return false;
  if (stored.kind == StoredField::Kind::kInt) return int_equals(stored.integer, *number);
  return near(stored.real, number->as_double());
}

}  // namespace

StoredField StoredField::of(const MetadataValue* value) {
  StoredField field;
  if (value == nullptr) return field;
  if (const auto* b = std::get_if<bool>(value)) {
    field.kind = Kind::kBool;
    field.boolean = *b;
  } else if (const auto* i = std::get_if<int64_t>(value)) {
    field.kind = Kind::kInt;
    field.integer = *i;
  } else if (const auto* x = std::get_if<double>(value)) {
    field.kind = Kind::kFloat;
    field.real = *x;
  } else {
    field.kind = Kind::kStr;
    field.text = &std::get<std::string>(*value);
  }
  return field;
}

bool values_equal(const MetadataValue& stored, const FilterValue& value) {
  return field_equals(StoredField::of(&stored), value);
}

bool field_satisfies(const StoredField& stored, const FilterCondition& condition) {
  if (condition.op == FilterOp::kExists) {
    // Parsing guarantees a bool; anything else holds for no document.
    const bool* wanted = condition.value ? std::get_if<bool>(&*condition.value) : nullptr;
    return wanted != nullptr && (stored.kind != StoredField::Kind::kAbsent) == *wanted;
  }
  if (stored.kind == StoredField::Kind::kAbsent) return false;
  switch (condition.op) {
    case FilterOp::kEq:
      return condition.value && field_equals(stored, *condition.value);
    case FilterOp::kNe:
      return condition.value && !field_equals(stored, *condition.value);
    case FilterOp::kGt:
    case FilterOp::kLt:
    case FilterOp::kGte:
    case FilterOp::kLte: {
      if (!condition.value) return false;
      const auto* number = std::get_if<FilterNumber>(&*condition.value);
      // Stored Int or Float as a 64-bit float; other kinds never compare.
      if (number == nullptr) return false;
      double x;
      if (stored.kind == StoredField::Kind::kInt) {
        x = static_cast<double>(stored.integer);
      } else if (stored.kind == StoredField::Kind::kFloat) {
        x = stored.real;
      } else {
        return false;
      }
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
        if (field_equals(stored, v)) return true;
      }
      return false;
    case FilterOp::kExists:
      break;  // answered above
  }
  return false;
}

bool eval_condition(const Metadata& metadata, const FilterCondition& condition) {
  if (condition.nested) return metadata_matches(metadata, *condition.nested);
  if (metadata.empty()) return field_satisfies(StoredField{}, condition);
  const auto found = metadata.find(condition.field);
  return field_satisfies(StoredField::of(found == metadata.end() ? nullptr : &found->second),
                         condition);
}

bool metadata_matches(const Metadata& metadata, const Filter& filter) {
  return filter_holds(filter,
                      [&](const FilterCondition& c) { return eval_condition(metadata, c); });
}

bool matches_filter(const CollectionData& collection, uint32_t internal_id, const Filter& filter) {
  if (internal_id >= collection.internal_to_uuid.size() || collection.documents.empty()) {
    return false;
  }
  auto document = collection.documents.find(collection.internal_to_uuid[internal_id]);
  if (document == collection.documents.end()) return false;
  return metadata_matches(document->second->metadata, filter);
}

}  // namespace kestrine
