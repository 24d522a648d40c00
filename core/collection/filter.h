// A metadata filter as parsed from the caller's dict: every `must` condition has to hold, no
// `must_not` condition may hold, and at least one `should` condition has to hold when there is
// any. An element of those lists is either a condition on a field or a nested filter, so that
// AND, OR and NOT compose. Evaluation lives in filter_eval.h.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kestrine {

// kExists reads `value` as a bool: true asks for the field to be present, false for it to be
// absent.
enum class FilterOp { kEq, kNe, kGt, kLt, kGte, kLte, kIn, kExists };

// A number as the caller wrote it: a non-negative integer, a negative integer or a finite float.
struct FilterNumber {
  enum class Kind { kPosInt, kNegInt, kFloat };
  Kind kind = Kind::kPosInt;
  uint64_t pos_int = 0;
  int64_t neg_int = 0;
  double real = 0.0;

  static FilterNumber from_int(int64_t v) {
    FilterNumber n;
    if (v < 0) {
      n.kind = Kind::kNegInt;
      n.neg_int = v;
    } else {
      n.pos_int = static_cast<uint64_t>(v);
    }
    return n;
  }
  static FilterNumber from_double(double v) {
    FilterNumber n;
    n.kind = Kind::kFloat;
    n.real = v;
    return n;
  }
  double as_double() const {
    switch (kind) {
      case Kind::kPosInt:
        return static_cast<double>(pos_int);
      case Kind::kNegInt:
        return static_cast<double>(neg_int);
      case Kind::kFloat:
        return real;
    }
    return 0.0;
  }
};

// Null (std::monostate), Bool, Number or String, in that order.
using FilterValue = std::variant<std::monostate, bool, FilterNumber, std::string>;

struct Filter;

struct FilterCondition {
  std::string field;
  FilterOp op = FilterOp::kEq;
  std::optional<FilterValue> value;
  std::optional<std::vector<FilterValue>> values;
  // Set when the element is a nested filter; the fields above are then unused. Parsing bounds
  // the depth (kMaxFilterDepth), so evaluation recurses only that far.
  std::shared_ptr<const Filter> nested = nullptr;
};

inline constexpr int kMaxFilterDepth = 32;

struct Filter {
  std::vector<FilterCondition> must;
  std::vector<FilterCondition> must_not;
  std::vector<FilterCondition> should;  // empty: constrains nothing
};

}  // namespace kestrine
