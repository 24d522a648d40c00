#include "core/collection/filter_eval.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <type_traits>

#include "core/collection/collection.h"

namespace kestrine {
namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

bool near(double a, double b) { return std::abs(a - b) < kEpsilon; }

// Integers of at most this magnitude are exact as 64-bit floats, so two different ones stay
// different (by at least 1) when converted, and `near` cannot hold for them.
constexpr int64_t kExactInDouble = int64_t{1} << 53;

bool exact_in_double(int64_t i) { return i >= -kExactInDouble && i <= kExactInDouble; }

[[gnu::always_inline]] inline bool int_equals(int64_t i, const FilterNumber& n) {
  switch (n.kind) {
    case FilterNumber::Kind::kFloat:
      return near(static_cast<double>(i), n.real);
    case FilterNumber::Kind::kNegInt:
      if (i == n.neg_int) return true;
      if (exact_in_double(i) && exact_in_double(n.neg_int)) return false;
      return near(static_cast<double>(i), static_cast<double>(n.neg_int));
    case FilterNumber::Kind::kPosInt:
      if (n.pos_int <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) &&
          i == static_cast<int64_t>(n.pos_int)) {
        return true;
      }
      if (exact_in_double(i) && n.pos_int <= static_cast<uint64_t>(kExactInDouble)) return false;
      return near(static_cast<double>(i), static_cast<double>(n.pos_int));
  }
  return false;
}

[[gnu::always_inline]] inline bool field_equals(const StoredField& stored,
                                                const FilterValue& value) {
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

namespace {

// field_satisfies for a condition whose operator is kOp, so that a loop over a column decides
// the operator once.
template <FilterOp kOp>
[[gnu::always_inline]] inline bool satisfies_as(const StoredField& stored,
                                                const FilterCondition& condition) {
  if constexpr (kOp == FilterOp::kExists) {
    // Parsing guarantees a bool; anything else holds for no document.
    const bool* wanted = condition.value ? std::get_if<bool>(&*condition.value) : nullptr;
    return wanted != nullptr && (stored.kind != StoredField::Kind::kAbsent) == *wanted;
  } else if constexpr (kOp == FilterOp::kEq) {
    return stored.kind != StoredField::Kind::kAbsent && condition.value &&
           field_equals(stored, *condition.value);
  } else if constexpr (kOp == FilterOp::kNe) {
    return stored.kind != StoredField::Kind::kAbsent && condition.value &&
           !field_equals(stored, *condition.value);
  } else if constexpr (kOp == FilterOp::kIn) {
    if (stored.kind == StoredField::Kind::kAbsent || !condition.values) return false;
    for (const FilterValue& v : *condition.values) {
      if (field_equals(stored, v)) return true;
    }
    return false;
  } else {
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
    if constexpr (kOp == FilterOp::kGt) return x > y;
    if constexpr (kOp == FilterOp::kLt) return x < y;
    if constexpr (kOp == FilterOp::kGte) return x >= y;
    return x <= y;
  }
}

// Calls f(std::integral_constant<FilterOp, op>{}) for the condition's operator.
template <typename F>
decltype(auto) with_operator(FilterOp op, F&& f) {
  switch (op) {
    case FilterOp::kEq:
      return f(std::integral_constant<FilterOp, FilterOp::kEq>{});
    case FilterOp::kNe:
      return f(std::integral_constant<FilterOp, FilterOp::kNe>{});
    case FilterOp::kGt:
      return f(std::integral_constant<FilterOp, FilterOp::kGt>{});
    case FilterOp::kLt:
      return f(std::integral_constant<FilterOp, FilterOp::kLt>{});
    case FilterOp::kGte:
      return f(std::integral_constant<FilterOp, FilterOp::kGte>{});
    case FilterOp::kLte:
      return f(std::integral_constant<FilterOp, FilterOp::kLte>{});
    case FilterOp::kIn:
      return f(std::integral_constant<FilterOp, FilterOp::kIn>{});
    case FilterOp::kExists:
      break;
  }
  return f(std::integral_constant<FilterOp, FilterOp::kExists>{});
}

}  // namespace

bool field_satisfies(const StoredField& stored, const FilterCondition& condition) {
  return with_operator(condition.op,
                       [&](auto op) { return satisfies_as<op()>(stored, condition); });
}

namespace {

// The integers an eq or in condition asks for, when every value it holds is an integer exact in
// a 64-bit float: for a stored integer exact in a float too, the condition then holds exactly
// when the set holds it (int_equals compares such pairs exactly). Empty otherwise.
std::optional<std::vector<int64_t>> exact_integer_set(const FilterCondition& condition) {
  std::vector<int64_t> set;
  const auto add = [&](const FilterValue& value) {
    const auto* n = std::get_if<FilterNumber>(&value);
    if (n == nullptr) return false;
    if (n->kind == FilterNumber::Kind::kPosInt &&
        n->pos_int <= static_cast<uint64_t>(kExactInDouble)) {
      set.push_back(static_cast<int64_t>(n->pos_int));
      return true;
    }
    if (n->kind == FilterNumber::Kind::kNegInt && exact_in_double(n->neg_int)) {
      set.push_back(n->neg_int);
      return true;
    }
    return false;
  };
  if (condition.op == FilterOp::kEq) {
    if (!condition.value || !add(*condition.value)) return std::nullopt;
  } else if (condition.op == FilterOp::kIn) {
    if (!condition.values) return std::nullopt;
    for (const FilterValue& v : *condition.values) {
      if (!add(v)) return std::nullopt;
    }
  } else {
    return std::nullopt;
  }
  std::ranges::sort(set);
  return set;
}

}  // namespace

void fields_satisfy(std::span<const StoredField> column, const FilterCondition& condition,
                    uint8_t* out) {
  // Stores through a byte pointer may alias anything, which would make the loop read the
  // condition again for every element: a private copy of it cannot be aliased.
  const FilterCondition local = condition;
  if (const auto set = exact_integer_set(local)) {
    const std::span<const int64_t> wanted = *set;
    // A few values are compared without branches; a branch per value would mispredict.
    constexpr size_t kLinearLimit = 32;
    const auto contains = [&](int64_t x) {
      if (wanted.size() > kLinearLimit) return std::ranges::binary_search(wanted, x);
      bool found = false;
      for (const int64_t v : wanted) found |= v == x;
      return found;
    };
    for (size_t i = 0; i < column.size(); ++i) {
      const StoredField& stored = column[i];
      if (stored.kind == StoredField::Kind::kInt && exact_in_double(stored.integer)) {
        out[i] = contains(stored.integer) ? 1 : 0;
      } else {
        out[i] = field_satisfies(stored, local) ? 1 : 0;
      }
    }
    return;
  }
  with_operator(local.op, [&](auto op) {
    for (size_t i = 0; i < column.size(); ++i) {
      out[i] = satisfies_as<op()>(column[i], local) ? 1 : 0;
    }
  });
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
  const auto document = collection.find_document(collection.internal_to_uuid[internal_id]);
  return document && metadata_matches(document->metadata, filter);
}

}  // namespace kestrine
