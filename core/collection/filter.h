// A metadata filter as parsed from the caller's dict: every `must` condition has to hold and no
// `must_not` condition may hold. Evaluation lives in filter_eval.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kestrine {

enum class FilterOp { kEq, kNe, kGt, kLt, kGte, kLte, kIn };

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

struct FilterCondition {
  std::string field;
  FilterOp op = FilterOp::kEq;
  std::optional<FilterValue> value;
  std::optional<std::vector<FilterValue>> values;
};

struct Filter {
  std::vector<FilterCondition> must;
  std::vector<FilterCondition> must_not;
};

}  // namespace kestrine
