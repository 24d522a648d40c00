#include "core/collection/filter_eval.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/collection/collection.h"

namespace kestrine {
namespace {

FilterCondition cond(std::string field, FilterOp op, std::optional<FilterValue> value = {},
                     std::optional<std::vector<FilterValue>> values = {}) {
  return FilterCondition{std::move(field), op, std::move(value), std::move(values)};
}

Filter all_of(std::vector<FilterCondition> conditions) {
  Filter f;
  f.must = std::move(conditions);
  return f;
}
Filter none_of(std::vector<FilterCondition> conditions) {
  Filter f;
  f.must_not = std::move(conditions);
  return f;
}
Filter any_of(std::vector<FilterCondition> conditions) {
  Filter f;
  f.should = std::move(conditions);
  return f;
}

// A nested filter as one element of a list.
FilterCondition nest(Filter filter) {
  FilterCondition c;
  c.nested = std::make_shared<const Filter>(std::move(filter));
  return c;
}

FilterValue str(const char* s) { return FilterValue{std::string(s)}; }

FilterValue num(int64_t v) { return FilterNumber::from_int(v); }
FilterValue real(double v) { return FilterNumber::from_double(v); }
FilterValue pos(uint64_t v) {
  FilterNumber n;
  n.pos_int = v;
  return n;
}

struct Case {
  const char* name;
  Metadata metadata;
  FilterCondition condition;
  bool expected;
};

class ConditionTest : public ::testing::TestWithParam<Case> {};

TEST_P(ConditionTest, Evaluates) {
  EXPECT_EQ(eval_condition(GetParam().metadata, GetParam().condition), GetParam().expected);
  // The same verdict from a column holding the document's field (filter_columns.h).
  const FilterCondition& condition = GetParam().condition;
  if (condition.nested) return;
  const auto found = GetParam().metadata.find(condition.field);
  const std::vector<StoredField> column{
      StoredField::of(found == GetParam().metadata.end() ? nullptr : &found->second)};
  uint8_t verdict = 2;
  fields_satisfy(column, condition, &verdict);
  EXPECT_EQ(verdict, GetParam().expected ? 1 : 0);
}

const double kNan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Conditions, ConditionTest,
    ::testing::Values(
        Case{"IntGteFloat",
             {{"year", int64_t{2020}}},
             cond("year", FilterOp::kGte, real(2020.0)),
             true},
        Case{"FloatEqSame", {{"price", 9.99}}, cond("price", FilterOp::kEq, real(9.99)), true},
        Case{"FloatEqClose",
             {{"price", 9.99}},
             cond("price", FilterOp::kEq, real(9.990000001)),
             false},
        Case{"BoolEqOne", {{"flag", true}}, cond("flag", FilterOp::kEq, num(1)), false},
        Case{"BoolEqTrue", {{"flag", true}}, cond("flag", FilterOp::kEq, FilterValue{true}), true},
        Case{"StrGtZero", {{"tag", std::string("a")}}, cond("tag", FilterOp::kGt, num(0)), false},
        Case{"StrOneNeNumberOne",
             {{"s", std::string("1")}},
             cond("s", FilterOp::kEq, num(1)),
             false},
        Case{"MissingFieldNe",
             {{"x", int64_t{1}}},
             cond("color", FilterOp::kNe, FilterValue{std::string("red")}),
             false},
        Case{"EmptyMetadata", {}, cond("x", FilterOp::kNe, num(1)), false},
        Case{"InEmptyList",
             {{"x", int64_t{1}}},
             cond("x", FilterOp::kIn, {}, std::vector<FilterValue>{}),
             false},
        Case{"InMatches",
             {{"x", std::string("b")}},
             cond("x", FilterOp::kIn, {},
                  std::vector<FilterValue>{FilterValue{std::string("a")},
                                           FilterValue{std::string("b")}}),
             true},
        Case{"InWithoutValues", {{"x", int64_t{1}}}, cond("x", FilterOp::kIn, num(1)), false},
        Case{"NeNullHoldsForAnyValue",
             {{"x", int64_t{1}}},
             cond("x", FilterOp::kNe, FilterValue{std::monostate{}}),
             true},
        Case{"EqNullNeverHolds",
             {{"x", int64_t{1}}},
             cond("x", FilterOp::kEq, FilterValue{std::monostate{}}),
             false},
        Case{"EqWithoutValue", {{"x", int64_t{1}}}, cond("x", FilterOp::kEq), false},
        Case{"NeWithoutValue", {{"x", int64_t{1}}}, cond("x", FilterOp::kNe), false},
        Case{"GtWithoutValue", {{"x", int64_t{1}}}, cond("x", FilterOp::kGt), false},
        Case{"NanNeverCompares", {{"x", kNan}}, cond("x", FilterOp::kLte, real(1.0)), false},
        Case{"NanNeIsTrue", {{"x", kNan}}, cond("x", FilterOp::kNe, real(1.0)), true},
        Case{"NegIntEq", {{"x", int64_t{-5}}}, cond("x", FilterOp::kEq, num(-5)), true},
        Case{"PosIntBeyondInt64",
             {{"x", std::numeric_limits<int64_t>::max()}},
             cond("x", FilterOp::kEq, pos(uint64_t{1} << 63)),
             true},  // equal as floats
        Case{"BigIntsEqualAsFloats",
             {{"x", int64_t{(int64_t{1} << 53) + 1}}},
             cond("x", FilterOp::kEq, num(int64_t{1} << 53)),
             true},
        Case{"NegBigIntsEqualAsFloats",
             {{"x", int64_t{-(int64_t{1} << 53) - 1}}},
             cond("x", FilterOp::kEq, num(-(int64_t{1} << 53))),
             true},
        Case{"IntsAtTheExactLimitDiffer",
             {{"x", int64_t{1} << 53}},
             cond("x", FilterOp::kEq, num((int64_t{1} << 53) - 1)),
             false},
        Case{"InBigIntsEqualAsFloats",
             {{"x", int64_t{(int64_t{1} << 53) + 1}}},
             cond("x", FilterOp::kIn, {}, std::vector{num(1), num(int64_t{1} << 53)}),
             true},
        Case{"InSmallInts",
             {{"x", int64_t{3}}},
             cond("x", FilterOp::kIn, {}, std::vector{num(1), num(3)}),
             true},
        Case{"NotInSmallInts",
             {{"x", int64_t{2}}},
             cond("x", FilterOp::kIn, {}, std::vector{num(1), num(3)}),
             false},
        Case{"InFloatEqualToInt",
             {{"x", int64_t{2}}},
             cond("x", FilterOp::kIn, {}, std::vector{num(1), real(2.0)}),
             true},
        Case{"InIntsFloatStored",
             {{"x", 3.0}},
             cond("x", FilterOp::kIn, {}, std::vector{num(1), num(3)}),
             true},
        Case{"InIntsBoolStored",
             {{"x", true}},
             cond("x", FilterOp::kIn, {}, std::vector{num(1), num(0)}),
             false},
        Case{"LtMixed", {{"x", 1.5}}, cond("x", FilterOp::kLt, num(2)), true},
        Case{"LteEqual", {{"x", int64_t{2}}}, cond("x", FilterOp::kLte, num(2)), true},
        Case{
            "GtBoolValue", {{"x", int64_t{2}}}, cond("x", FilterOp::kGt, FilterValue{true}), false},
        Case{"ExistsPresent", {{"x", int64_t{0}}}, cond("x", FilterOp::kExists, true), true},
        Case{"ExistsMissing", {{"y", int64_t{0}}}, cond("x", FilterOp::kExists, true), false},
        Case{"AbsentMissing", {{"y", int64_t{0}}}, cond("x", FilterOp::kExists, false), true},
        Case{"AbsentPresent", {{"x", false}}, cond("x", FilterOp::kExists, false), false},
        Case{"AbsentFromEmptyMetadata", {}, cond("x", FilterOp::kExists, false), true},
        Case{"ExistsWithoutBool", {{"x", int64_t{1}}}, cond("x", FilterOp::kExists, num(1)), false},
        Case{"NestedEmptyFilter", {}, nest({}), true},
        Case{"NestedAnyOf",
             {{"x", std::string("b")}},
             nest(any_of({cond("x", FilterOp::kEq, str("a")), cond("x", FilterOp::kEq, str("b"))})),
             true},
        Case{"NestedNotIn",
             {{"x", std::string("b")}},
             nest(none_of({cond("x", FilterOp::kIn, {}, std::vector{str("a"), str("b")})})),
             false},
        Case{"NestedNotInMissingField",
             {},
             nest(none_of({cond("x", FilterOp::kIn, {}, std::vector{str("a")})})),
             true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FilterTest, MustThenMustNot) {
  Metadata m{{"kind", std::string("cat")}, {"age", int64_t{3}}};
  Filter f;
  EXPECT_TRUE(metadata_matches(m, f));  // empty lists impose nothing
  f.must.push_back(cond("kind", FilterOp::kEq, FilterValue{std::string("cat")}));
  EXPECT_TRUE(metadata_matches(m, f));
  f.must_not.push_back(cond("age", FilterOp::kGt, num(2)));
  EXPECT_FALSE(metadata_matches(m, f));
  f.must_not[0] = cond("color", FilterOp::kNe, FilterValue{std::string("red")});
  EXPECT_TRUE(metadata_matches(m, f));  // a condition on a missing field excludes nothing
  f.must.push_back(cond("color", FilterOp::kNe, FilterValue{std::string("red")}));
  EXPECT_FALSE(metadata_matches(m, f));  // ...but fails in must
}

TEST(FilterTest, ShouldNeedsOneOfItsConditionsWhenItHasAny) {
  Metadata m{{"kind", std::string("cat")}};
  Filter f;
  f.should.push_back(cond("kind", FilterOp::kEq, str("dog")));
  EXPECT_FALSE(metadata_matches(m, f));
  f.should.push_back(cond("kind", FilterOp::kExists, true));
  EXPECT_TRUE(metadata_matches(m, f));
  f.must.push_back(cond("age", FilterOp::kExists, true));
  EXPECT_FALSE(metadata_matches(m, f));  // should does not rescue a failed must
  f.must.clear();
  f.must_not.push_back(nest(any_of(f.should)));
  EXPECT_FALSE(metadata_matches(m, f));  // NOT (dog OR has kind)
}

TEST(FilterTest, DeepNestingAlternatesNegation) {
  // must_not of must_not of ... of (kind == cat): holds exactly when the depth is even.
  const Metadata m{{"kind", std::string("cat")}};
  Filter f = all_of({cond("kind", FilterOp::kEq, str("cat"))});
  for (int depth = 1; depth <= kMaxFilterDepth; ++depth) {
    f = none_of({nest(std::move(f))});
    EXPECT_EQ(metadata_matches(m, f), depth % 2 == 0) << depth;
  }
}

TEST(FilterTest, MatchesOnlyLiveDocumentsInRange) {
  CollectionData data;
  Uuid live = new_uuid(), gone = new_uuid();
  data.internal_to_uuid = {live, gone};
  data.store_document(live, Document{live, "t", {}});
  Filter everything;
  EXPECT_TRUE(matches_filter(data, 0, everything));
  EXPECT_FALSE(matches_filter(data, 1, everything));
  EXPECT_FALSE(matches_filter(data, 2, everything));
  data.documents.clear();
  EXPECT_FALSE(matches_filter(data, 0, everything));
}

}  // namespace
}  // namespace kestrine
