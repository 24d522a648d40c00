// Log entries: their exact bytes, their decoding, and every way a payload can fail to decode.
#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "core/storage/wal_entry.h"
#include "core/storage/wal_writer.h"
#include "tests/core/wal_test_support.h"

namespace kestrine {
namespace {

using testing::from_hex;
using testing::item;
using testing::uuid_n;

std::vector<uint8_t> hex_bytes(std::string hex) {
  std::erase(hex, ' ');
  std::erase(hex, '|');
  return from_hex(hex);
}

std::string decode_error(std::span<const uint8_t> bytes) {
  auto entry = decode_entry(bytes);
  if (entry) return "";
  EXPECT_EQ(entry.error().kind(), ErrorKind::kInvalidData);
  return entry.error().message();
}

void expect_same_item(const wal::Item& a, const wal::Item& b) {
  ASSERT_TRUE(a.document && b.document);
  EXPECT_EQ(a.document->id, b.document->id);
  EXPECT_EQ(a.document->text, b.document->text);
  EXPECT_TRUE(a.document->metadata == b.document->metadata);
  EXPECT_TRUE(testing::same_bits(a.embedding, b.embedding));
}

// Field-by-field equality of two entries.
void expect_same_entry(const WalEntry& a, const WalEntry& b) {
  ASSERT_EQ(a.index(), b.index());
  EXPECT_EQ(entry_collection(a), entry_collection(b));
  if (auto* x = std::get_if<wal::CreateCollection>(&a)) {
    EXPECT_EQ(x->dimension, std::get<wal::CreateCollection>(b).dimension);
    EXPECT_EQ(x->config, std::get<wal::CreateCollection>(b).config);
  } else if (auto* x = std::get_if<wal::InsertDocument>(&a)) {
    expect_same_item(x->item, std::get<wal::InsertDocument>(b).item);
  } else if (auto* x = std::get_if<wal::DeleteDocument>(&a)) {
    EXPECT_EQ(x->id, std::get<wal::DeleteDocument>(b).id);
  } else if (auto* x = std::get_if<wal::BatchInsert>(&a)) {
    const auto& y = std::get<wal::BatchInsert>(b);
    ASSERT_EQ(x->items.size(), y.items.size());
    for (size_t i = 0; i < x->items.size(); ++i) expect_same_item(x->items[i], y.items[i]);
  } else if (auto* x = std::get_if<wal::UpdateDocument>(&a)) {
    EXPECT_EQ(x->id, std::get<wal::UpdateDocument>(b).id);
    expect_same_item(x->item, std::get<wal::UpdateDocument>(b).item);
  }
}

constexpr char kUuid1[] = "10 00 00 00 00 00 00 00 | 01010101010141010101010101010101";

// ---- exact bytes ----------------------------------------------------------------------------

struct ExactCase {
  const char* name;
  WalEntry entry;
  std::string hex;
};

std::vector<ExactCase> exact_cases() {
  HnswConfig config;
  config.distance_metric = DistanceMetric::kEuclidean;
  config.store_raw_vectors = true;
  return {
      {"CreateCollection", wal::CreateCollection{"c", 2, config},
       "00000000 | 0100000000000000 63 | 0200000000000000 |"
       "1000000000000000 2000000000000000 C800000000000000 3200000000000000 1000000000000000 |"
       "01000000 | 0000000000000000 | 01"},
      {"DeleteCollection", wal::DeleteCollection{"docs"}, "01000000 | 0400000000000000 646F6373"},
      {"InsertDocument", wal::InsertDocument{"c", item(1, "hi", {1.0f, -2.0f})},
       "02000000 | 0100000000000000 63 |" + std::string(kUuid1) +
           "| 0200000000000000 6869 | 0000000000000000 |"
           "0200000000000000 0000803F 000000C0"},
      {"DeleteDocument", wal::DeleteDocument{"c", uuid_n(1)},
       "03000000 | 0100000000000000 63 |" + std::string(kUuid1)},
      {"BatchInsert", wal::BatchInsert{"c", {}},
       "04000000 | 0100000000000000 63 | 0000000000000000"},
      {"BatchInsertOfOne", wal::BatchInsert{"c", {item(1, "", {0.5f}, {{"k", int64_t{-1}}})}},
       "04000000 | 0100000000000000 63 | 0100000000000000 |" + std::string(kUuid1) +
           "| 0000000000000000 | 0100000000000000 0100000000000000 6B 01000000 FFFFFFFFFFFFFFFF |"
           "0100000000000000 0000003F"},
      {"UpdateDocument", wal::UpdateDocument{"c", uuid_n(1), item(1, "", {})},
       "05000000 | 0100000000000000 63 |" + std::string(kUuid1) + "|" + std::string(kUuid1) +
           "| 0000000000000000 | 0000000000000000 | 0000000000000000"},
  };
}

class ExactEntryTest : public ::testing::TestWithParam<ExactCase> {};

TEST_P(ExactEntryTest, EncodesToTheseBytesAndBack) {
  const ExactCase& c = GetParam();
  EXPECT_EQ(encode_entry(c.entry), hex_bytes(c.hex));
  auto decoded = decode_entry(hex_bytes(c.hex));
  ASSERT_TRUE(decoded) << decoded.error().message();
  expect_same_entry(*decoded, c.entry);
}

INSTANTIATE_TEST_SUITE_P(EveryVariant, ExactEntryTest, ::testing::ValuesIn(exact_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(WalRecordTest, DeletingCollectionDocsWithoutAKeyIsThis24ByteRecord) {
  auto record = frame_record(wal::DeleteCollection{"docs"}, nullptr);
  ASSERT_TRUE(record);
  EXPECT_EQ(*record, hex_bytes("00000010 | 31C61510 | 01000000 | 0400000000000000 | 646F6373"));
}

TEST(WalRecordTest, AnEncryptedRecordIsTheEnvelopeOfTheEntryWithCheckFFFFFFFF) {
  const KeyPtr key = testing::log_key();
  const WalEntry entry = wal::DeleteCollection{"docs"};
  auto record = frame_record(entry, key.get());
  ASSERT_TRUE(record);
  const std::vector<uint8_t> plain = encode_entry(entry);
  ASSERT_EQ(record->size(), 8 + plain.size() + kEnvelopeOverhead);
  EXPECT_EQ(std::vector<uint8_t>(record->begin(), record->begin() + 8),
            hex_bytes("0000002C FFFFFFFF"));
  auto opened = unseal(*key, std::span<const uint8_t>(*record).subspan(8));
  ASSERT_TRUE(opened);
  EXPECT_EQ(*opened, plain);
  // A fresh nonce per record.
  EXPECT_NE(*frame_record(entry, key.get()), *record);
}

// ---- round trips ----------------------------------------------------------------------------

TEST(WalEntryTest, EveryMetadataTypeAndUnusualFloatsSurviveARoundTrip) {
  Metadata metadata{{"b", true},
                    {"i", int64_t{-9'000'000'000'000}},
                    {"f", -0.0},
                    {"s", std::string("caffè 日本")},
                    {"", std::string()}};
  const WalEntry entry = wal::BatchInsert{
      "collection é",
      {item(1, "one", {std::numeric_limits<float>::quiet_NaN(), -0.0f}, metadata),
       item(2, "\xF0\x9F\x90\x9F", {std::numeric_limits<float>::infinity(), 1e-45f}),
       item(1, "the same id again", {})}};
  auto decoded = decode_entry(encode_entry(entry));
  ASSERT_TRUE(decoded);
  expect_same_entry(*decoded, entry);
}

TEST(WalEntryTest, BytesAfterTheEntryAreIgnored) {
  std::vector<uint8_t> bytes = encode_entry(wal::DeleteCollection{"docs"});
  bytes.insert(bytes.end(), {1, 2, 3});
  auto decoded = decode_entry(bytes);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(std::get<wal::DeleteCollection>(*decoded).name, "docs");
}

// ---- decoding failures ----------------------------------------------------------------------

struct BadPayload {
  const char* name;
  std::string hex;
  std::string message;
};

class BadPayloadTest : public ::testing::TestWithParam<BadPayload> {};

TEST_P(BadPayloadTest, FailsWithTheDecoderText) {
  EXPECT_EQ(decode_error(hex_bytes(GetParam().hex)), GetParam().message);
}

const std::string kTruncated = "io error: unexpected end of file";

INSTANTIATE_TEST_SUITE_P(
    EveryCase, BadPayloadTest,
    ::testing::Values(
        BadPayload{"UnknownTag6", "06000000 0400000000000000 646F6373",
                   "invalid value: integer `6`, expected variant index 0 <= i < 6"},
        BadPayload{"UnknownTagHuge", "FFFFFFFF",
                   "invalid value: integer `4294967295`, expected variant index 0 <= i < 6"},
        BadPayload{"Empty", "", kTruncated}, BadPayload{"TagCutShort", "0100", kTruncated},
        BadPayload{"NameCutShort", "01000000 0400000000000000 646F63", kTruncated},
        BadPayload{"NameLengthBeyondTheData", "01000000 FFFFFFFFFFFFFFFF 646F6373", kTruncated},
        BadPayload{"BatchCountBeyondTheData", "04000000 0100000000000000 63 FFFFFFFFFFFFFF0F",
                   kTruncated},
        BadPayload{"EmbeddingCountBeyondTheData",
                   "02000000 0100000000000000 63" + std::string(kUuid1) +
                       "0000000000000000 0000000000000000 FFFFFFFFFFFFFF3F",
                   kTruncated},
        BadPayload{"UuidOfLength15",
                   "03000000 0100000000000000 63 0F00000000000000 010101010101410101010101010101",
                   "UUID parsing failed: invalid length: expected 16 bytes, found 15"},
        BadPayload{"NameNotUtf8", "01000000 0100000000000000 FF",
                   "string is not valid utf8: invalid utf-8 sequence at byte 0"},
        BadPayload{"BadMetricInConfig",
                   "00000000 0100000000000000 63 0200000000000000"
                   "1000000000000000 2000000000000000 C800000000000000 3200000000000000"
                   "1000000000000000 03000000 0000000000000000 00",
                   "invalid value: integer `3`, expected variant index 0 <= i < 3"},
        BadPayload{"BadBoolInConfig",
                   "00000000 0100000000000000 63 0200000000000000"
                   "1000000000000000 2000000000000000 C800000000000000 3200000000000000"
                   "1000000000000000 00000000 0000000000000000 02",
                   "invalid u8 while decoding bool, expected 0 or 1, found 2"},
        BadPayload{"BadMetadataTag",
                   "02000000 0100000000000000 63" + std::string(kUuid1) +
                       "0000000000000000 0100000000000000 0100000000000000 6B 04000000",
                   "invalid value: integer `4`, expected variant index 0 <= i < 4"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WalEntryTest, EveryPrefixOfAValidEntryIsATruncation) {
  const std::vector<uint8_t> bytes =
      encode_entry(wal::BatchInsert{"c", {item(1, "text", {1, 2, 3}, {{"k", 1.5}})}});
  for (size_t n = 0; n < bytes.size(); ++n) {
    EXPECT_EQ(decode_error(std::span<const uint8_t>(bytes).first(n)), kTruncated) << n;
  }
}

TEST(WalEntryTest, EntryCollectionNamesTheCollectionOfEveryVariant) {
  for (const ExactCase& c : exact_cases()) {
    EXPECT_EQ(entry_collection(c.entry),
              std::holds_alternative<wal::DeleteCollection>(c.entry) ? "docs" : "c");
  }
}

}  // namespace
}  // namespace kestrine
