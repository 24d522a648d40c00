#include "core/common/uuid.h"

#include <gtest/gtest.h>

#include <set>

namespace kestrine {
namespace {

constexpr const char* kCanonical = "67e55044-10b1-426f-9247-bb680e5fe0c8";

std::string parse_error(std::string_view text) {
  auto result = parse_uuid(text);
  EXPECT_FALSE(result.has_value()) << text;
  return result ? "" : result.error().message();
}

TEST(UuidTest, AcceptsTheFourFormsInEitherCase) {
  for (const char* text :
       {"67e55044-10b1-426f-9247-bb680e5fe0c8", "67E5504410B1426F9247BB680E5FE0C8",
        "{67e55044-10b1-426f-9247-bb680e5fe0c8}",
        "urn:uuid:67E55044-10B1-426F-9247-BB680E5FE0C8"}) {
    auto id = parse_uuid(text);
    ASSERT_TRUE(id.has_value()) << text;
    EXPECT_EQ(format_uuid(*id), kCanonical) << text;
  }
}

TEST(UuidTest, BytesFollowTheTextOrder) {
  auto id = parse_uuid(kCanonical);
  ASSERT_TRUE(id);
  EXPECT_EQ(id->bytes[0], 0x67);
  EXPECT_EQ(id->bytes[15], 0xc8);
}

struct BadUuid {
  const char* text;
  const char* message;
};

class UuidErrorTest : public ::testing::TestWithParam<BadUuid> {};

TEST_P(UuidErrorTest, ExplainsTheFirstProblem) {
  EXPECT_EQ(parse_error(GetParam().text), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, UuidErrorTest,
    ::testing::Values(
        BadUuid{"g7e55044-10b1-426f-9247-bb680e5fe0c8",
                "invalid character: expected an optional prefix of `urn:uuid:` followed by "
                "[0-9a-fA-F-], found `g` at 1"},
        BadUuid{"{67e55044-10b1-426f-9247-bb680e5fe0cz}",
                "invalid character: expected an optional prefix of `urn:uuid:` followed by "
                "[0-9a-fA-F-], found `z` at 37"},
        BadUuid{"urn:uuid:67e55044-10b1-426f-9247-bb680e5fé0c8",
                "invalid character: expected an optional prefix of `urn:uuid:` followed by "
                "[0-9a-fA-F-], found `é` at 42"},
        BadUuid{"67e5504410b1426f9247bb680e5fe0c",
                "invalid length: expected length 32 for simple "
                "format, found 31"},
        BadUuid{"", "invalid length: expected length 32 for simple format, found 0"},
        BadUuid{"67e55044-10b1-426f-9247bb680e5fe0c8", "invalid group count: expected 5, found 4"},
        BadUuid{"67e55044-10b1-426f-9247-bb680e5f-e0c8",
                "invalid group count: expected 5, found 6"},
        // All four hyphens one place to the right.
        BadUuid{"67e550441-0b14-26f9-247b-b680e5fe0c8",
                "invalid group length in group 0: expected 8, found 9"},
        BadUuid{"67e55044-10b1-426f-92471-bb680e5fe0c8",
                "invalid group length in group 3: expected 4, found 5"},
        BadUuid{"67e55044-10b1-426f-9247-bb680e5fe0c81",
                "invalid group length in group 4: expected 12, found 13"}));

TEST(UuidTest, NewUuidsAreVersion4Variant1AndDistinct) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    Uuid id = new_uuid();
    EXPECT_EQ(id.bytes[6] >> 4, 4);
    EXPECT_EQ(id.bytes[8] >> 6, 2);
    seen.insert(format_uuid(id));
  }
  EXPECT_EQ(seen.size(), 1000u);
}

}  // namespace
}  // namespace kestrine
