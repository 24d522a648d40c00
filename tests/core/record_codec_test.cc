#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "core/storage/checksum.h"
#include "core/storage/decoder.h"
#include "core/storage/encoder.h"
#include "core/storage/records.h"
#include "tests/core/storage_test_support.h"

namespace kestrine {
namespace {

using testing::empty_collection_c;
using testing::expect_same_content;
using testing::from_hex;
using testing::put_u32_le;
using testing::put_u64_le;
using testing::random_collection;
using testing::RandomOptions;
using testing::to_bytes;

template <typename Write>
std::vector<uint8_t> encoded(Write&& write) {
  return encode_exact(std::forward<Write>(write));
}

std::string hex(std::span<const uint8_t> bytes) {
  static const char* kDigits = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

// The decoder's error for `bytes` read by `read`, or "" when it succeeded.
template <typename Read>
std::string decode_error(std::span<const uint8_t> bytes, Read&& read) {
  Decoder d(bytes);
  read(d);
  if (d.ok()) return "";
  Status status = d.status();
  EXPECT_EQ(status.error().kind(), ErrorKind::kInvalidData);
  return status.error().message();
}

Uuid uuid_of(std::string_view text) { return *parse_uuid(text); }

// Offsets of fields in the payload of an empty collection named "c" (one-byte name).
constexpr size_t kDocumentsCountAt = 17;
constexpr size_t kConfigAt = 25;
constexpr size_t kMetricAt = kConfigAt + 40;
constexpr size_t kStoreRawAt = kConfigAt + 52;
constexpr size_t kVectorDataCountAt = kConfigAt + 53;
constexpr size_t kNeighborsCountAt = kVectorDataCountAt + 32;
constexpr size_t kPqMarkerAt = kVectorDataCountAt + 56;
constexpr size_t kEntryPointMarkerAt = kPqMarkerAt + 9;

// --- Primitive encodings

TEST(EncoderTest, PrimitivesAreLittleEndianFixedWidth) {
  auto bytes = encoded([](Encoder& e) {
    e.u8(0xAB);
    e.u32(0x01020304);
    e.u64(0x0102030405060708ull);
    e.i64(-2);
    e.f32(1.0f);
    e.f64(-2.5);
    e.boolean(true);
    e.boolean(false);
  });
  EXPECT_EQ(hex(bytes),
            "ab"
            "04030201"
            "0807060504030201"
            "feffffffffffffff"
            "0000803f"
            "00000000000004c0"
            "01"
            "00");
}

TEST(EncoderTest, StringsSequencesUuidsAndOptionalsCarryTheirLengths) {
  const Uuid id = uuid_of("67e55044-10b1-426f-9247-bb680e5fe0c8");
  const std::vector<float> floats = {0.5f};
  const std::vector<uint32_t> ids = {7, 0x01000000};
  auto bytes = encoded([&](Encoder& e) {
    e.string("hé");
    e.uuid(id);
    e.f32s(floats);
    e.u32s(ids);
    e.optional_marker(false);
    e.optional_marker(true);
  });
  EXPECT_EQ(hex(bytes),
            "0300000000000000"
            "68c3a9"
            "1000000000000000"
            "67e5504410b1426f9247bb680e5fe0c8"
            "0100000000000000"
            "0000003f"
            "0200000000000000"
            "07000000"
            "00000001"
            "00"
            "01");
}

TEST(EncoderTest, EncodeExactLeavesHeadAndTailRoomAroundTheRecord) {
  auto bytes = encode_exact([](Encoder& e) { e.u32(0xDDCCBBAA); }, 3, 2);
  EXPECT_EQ(hex(bytes),
            "000000"
            "aabbccdd"
            "0000");
}

TEST(ChecksumTest, IsTheZlibCrc32) {
  EXPECT_EQ(crc32(to_bytes("123456789")), 0xCBF43926u);
  EXPECT_EQ(crc32({}), 0u);
  EXPECT_EQ(crc32(to_bytes("The quick brown fox jumps over the lazy dog")), 0x414FA339u);
}

// --- Record test vectors

TEST(RecordsTest, DefaultHnswConfigIsTheReference53Bytes) {
  auto bytes = encoded([](Encoder& e) { encode_hnsw_config(e, HnswConfig{}); });
  ASSERT_EQ(bytes.size(), kHnswConfigSize);
  EXPECT_EQ(hex(bytes),
            "1000000000000000"
            "2000000000000000"
            "c800000000000000"
            "3200000000000000"
            "1000000000000000"
            "00000000"
            "0000000000000000"
            "00");
}

TEST(RecordsTest, ConfigFieldsKeepTheirOrder) {
  HnswConfig config{1, 2, 3, 4, 5, DistanceMetric::kDotProduct, 6, true};
  auto bytes = encoded([&](Encoder& e) { encode_hnsw_config(e, config); });
  EXPECT_EQ(hex(bytes),
            "0100000000000000"
            "0200000000000000"
            "0300000000000000"
            "0400000000000000"
            "0500000000000000"
            "02000000"
            "0600000000000000"
            "01");
  Decoder d(bytes);
  EXPECT_EQ(decode_hnsw_config(d), config);
  EXPECT_TRUE(d.ok());
}

TEST(RecordsTest, MetadataValuesAreTaggedByVariantIndex) {
  struct Case {
    MetadataValue value;
    const char* hex;
  };
  const Case cases[] = {
      {true,
       "00000000"
       "01"},
      {int64_t{-1},
       "01000000"
       "ffffffffffffffff"},
      {1.5,
       "02000000"
       "000000000000f83f"},
      {std::string("ab"),
       "03000000"
       "0200000000000000"
       "6162"},
  };
  for (const Case& c : cases) {
    auto bytes = encoded([&](Encoder& e) { encode_metadata_value(e, c.value); });
    EXPECT_EQ(hex(bytes), c.hex);
    Decoder d(bytes);
    EXPECT_EQ(decode_metadata_value(d), c.value);
    EXPECT_TRUE(d.ok());
  }
}

TEST(RecordsTest, DocumentIsIdTextMetadata) {
  Document doc{uuid_of("00112233-4455-6677-8899-aabbccddeeff"), "hi", {{"k", int64_t{5}}}};
  auto bytes = encoded([&](Encoder& e) { encode_document(e, doc); });
  EXPECT_EQ(hex(bytes),
            "1000000000000000"
            "00112233445566778899aabbccddeeff"
            "0200000000000000"
            "6869"
            "0100000000000000"
            "0100000000000000"
            "6b"
            "01000000"
            "0500000000000000");
}

TEST(RecordsTest, EmptyCollectionIsThe208BytePayload) {
  auto payload = encode_collection(empty_collection_c());
  ASSERT_EQ(payload.size(), 208u);
  std::string expected =
      "0100000000000000"
      "63"                 // name
      "0200000000000000"   // dimension
      "0000000000000000";  // documents
  expected +=
      "1000000000000000"
      "2000000000000000"
      "c800000000000000"
      "3200000000000000"
      "1000000000000000"
      "00000000"
      "0000000000000000"
      "00";                                                    // config
  for (int i = 0; i < 7; ++i) expected += "0000000000000000";  // seven empty sequences
  expected +=
      "00"                // no codebook
      "0000000000000000"  // pq_codes
      "00"                // no entry point
      "0000000000000000"  // max_level
      "0200000000000000"  // dimension
      "00000000";         // node_count
  expected +=
      "0000000000000000"
      "0000000000000000"
      "00000000"
      "0000000000000000";  // bm25
  expected +=
      "0000000000000000"
      "0000000000000000";  // id maps
  EXPECT_EQ(hex(payload), expected);
  EXPECT_EQ(crc32(payload), 0xAB718203u);
}

TEST(RecordsTest, PostingsArePairsOfIdAndFrequency) {
  InvertedIndex index;
  index.postings["t"] = {{3, 1}, {9, 2}};
  index.doc_lengths = {4};
  index.doc_count = 1;
  index.total_length = 4;
  auto bytes = encoded([&](Encoder& e) { encode_inverted_index(e, index); });
  EXPECT_EQ(hex(bytes),
            "0100000000000000"
            "0100000000000000"
            "74"
            "0200000000000000"
            "03000000"
            "01000000"
            "09000000"
            "02000000"
            "0100000000000000"
            "04000000"
            "01000000"
            "0400000000000000");
}

TEST(RecordsTest, NeighborListsArePerNodePerLayer) {
  NeighborLists lists;
  lists.add_node(2);
  lists.append(0, 0, 1);
  lists.append(0, 1, 1);
  lists.add_node(1);
  lists.append(1, 0, 0);
  auto bytes = encoded([&](Encoder& e) { encode_neighbor_lists(e, lists); });
  EXPECT_EQ(hex(bytes),
            "0200000000000000"
            "0200000000000000"
            "0100000000000000"
            "01000000"
            "0100000000000000"
            "01000000"
            "0100000000000000"
            "0100000000000000"
            "00000000");
  Decoder d(bytes);
  EXPECT_TRUE(decode_neighbor_lists(d) == lists);
}

// --- Round trips

class RoundTripTest : public ::testing::TestWithParam<RandomOptions> {};

TEST_P(RoundTripTest, RandomCollectionsDecodeToTheSameContent) {
  std::mt19937_64 rng(1234 + GetParam().nodes);
  for (int trial = 0; trial < 10; ++trial) {
    CollectionData data = random_collection(rng, GetParam());
    std::vector<uint8_t> bytes = encode_collection(data);
    auto decoded = decode_collection(bytes);
    ASSERT_TRUE(decoded.has_value()) << decoded.error().message();
    expect_same_content(data, *decoded);
    // Re-encoding gives the same length (the map order may differ).
    EXPECT_EQ(encode_collection(*decoded).size(), bytes.size());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Records, RoundTripTest,
    ::testing::Values(
        RandomOptions{.nodes = 0}, RandomOptions{.nodes = 1},
        RandomOptions{.nodes = 30, .raw_vectors = true},
        RandomOptions{.nodes = 30, .dimension = 16, .pq_subspaces = 4},
        RandomOptions{.nodes = 50, .raw_vectors = true, .pq_subspaces = 2, .deleted_fraction = 0.9},
        RandomOptions{.nodes = 200, .dimension = 3, .deleted_fraction = 0}));

TEST(RoundTripTest, ExtremeScalarsSurvive) {
  Document doc{new_uuid(), std::string("\0nul inside\0", 12), {}};
  doc.metadata["min"] = std::numeric_limits<int64_t>::min();
  doc.metadata["max"] = std::numeric_limits<int64_t>::max();
  doc.metadata["nan"] = std::nan("0x7ff");
  doc.metadata["-0"] = -0.0;
  doc.metadata["inf"] = -std::numeric_limits<double>::infinity();
  doc.metadata[""] = std::string();
  auto bytes = encoded([&](Encoder& e) { encode_document(e, doc); });
  Decoder d(bytes);
  Document back = decode_document(d);
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(back.text, doc.text);
  ASSERT_EQ(back.metadata.size(), doc.metadata.size());
  for (const auto& [key, value] : doc.metadata) {
    EXPECT_TRUE(testing::same_metadata_value(value, back.metadata.at(key))) << key;
  }
}

// --- Maps: the later of two equal keys wins

TEST(DuplicateKeysTest, LaterMetadataEntryWins) {
  auto bytes = encoded([](Encoder& e) {
    e.length(2);
    e.string("k");
    encode_metadata_value(e, int64_t{1});
    e.string("k");
    encode_metadata_value(e, std::string("later"));
  });
  Decoder d(bytes);
  Metadata m = decode_metadata(d);
  ASSERT_TRUE(d.ok());
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m.at("k"), MetadataValue(std::string("later")));
}

TEST(DuplicateKeysTest, LaterPostingListWins) {
  auto bytes = encoded([](Encoder& e) {
    e.length(2);
    e.string("t");
    e.length(1);
    e.u32(1);
    e.u32(1);
    e.string("t");
    e.length(1);
    e.u32(2);
    e.u32(5);
    e.u32s({});
    e.u32(0);
    e.u64(0);
  });
  Decoder d(bytes);
  InvertedIndex index = decode_inverted_index(d);
  ASSERT_TRUE(d.ok());
  ASSERT_EQ(index.postings.size(), 1u);
  EXPECT_EQ(index.postings.at("t"), (std::vector<Posting>{{2, 5}}));
}

TEST(DuplicateKeysTest, LaterDocumentAndIdMapEntryWin) {
  CollectionData data = empty_collection_c();
  const Uuid id = new_uuid();
  // Two entries with one key, written by hand around an otherwise empty collection.
  auto bytes = encoded([&](Encoder& e) {
    e.string("c");
    e.u64(2);
    e.length(2);
    for (const char* text : {"first", "second"}) {
      e.uuid(id);
      encode_document(e, Document{id, text, {}});
    }
    encode_hnsw_index(e, data.hnsw);
    encode_inverted_index(e, data.bm25);
    e.length(2);
    e.uuid(id);
    e.u32(0);
    e.uuid(id);
    e.u32(7);
    e.length(0);
  });
  auto decoded = decode_collection(bytes);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().message();
  ASSERT_EQ(decoded->documents.size(), 1u);
  EXPECT_EQ(decoded->find_document(id)->text, "second");
  ASSERT_EQ(decoded->uuid_to_internal.size(), 1u);
  EXPECT_EQ(decoded->uuid_to_internal.at(id), 7u);
}

// --- Decoder failures

TEST(DecoderTest, EveryProperPrefixIsATruncation) {
  std::mt19937_64 rng(7);
  CollectionData data =
      random_collection(rng, {.nodes = 5, .raw_vectors = true, .pq_subspaces = 2});
  std::vector<uint8_t> bytes = encode_collection(data);
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    auto decoded = decode_collection(std::span<const uint8_t>(bytes).first(cut));
    ASSERT_FALSE(decoded) << cut;
    EXPECT_EQ(decoded.error().kind(), ErrorKind::kInvalidData);
    ASSERT_EQ(decoded.error().message(), "io error: unexpected end of file") << cut;
  }
}

TEST(DecoderTest, TrailingBytesAfterTheRecordAreIgnored) {
  std::vector<uint8_t> bytes = encode_collection(empty_collection_c());
  bytes.insert(bytes.end(), {1, 2, 3, 0xFF});
  auto decoded = decode_collection(bytes);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->name, "c");
}

// One malformed encoding per case: the bytes of a valid record with one field poked.
struct MalformedCase {
  const char* name;
  std::function<std::vector<uint8_t>()> bytes;
  std::function<void(Decoder&)> read;
  std::string message;
};

std::vector<uint8_t> poked_collection(size_t at, uint8_t value) {
  std::vector<uint8_t> bytes = encode_collection(empty_collection_c());
  bytes.at(at) = value;
  return bytes;
}

std::vector<uint8_t> document_with_uuid_length(uint64_t length) {
  auto bytes = encoded([](Encoder& e) { encode_document(e, Document{new_uuid(), "text", {}}); });
  put_u64_le(bytes, 0, length);
  return bytes;
}

std::vector<uint8_t> metadata_value_with_tag(uint32_t tag) {
  auto bytes = encoded([](Encoder& e) { encode_metadata_value(e, true); });
  put_u32_le(bytes, 0, tag);
  return bytes;
}

void read_collection(Decoder& d) { decode_collection_data(d); }
void read_document(Decoder& d) { decode_document(d); }
void read_metadata_value(Decoder& d) { decode_metadata_value(d); }

const MalformedCase kMalformedCases[] = {
    {"BoolByte2", [] { return poked_collection(kStoreRawAt, 2); }, read_collection,
     "invalid u8 while decoding bool, expected 0 or 1, found 2"},
    {"DeletedMark255",
     [] {
       HnswIndex index;
       index.deleted = {0, 1, 255};
       return encoded([&](Encoder& e) { encode_hnsw_index(e, index); });
     },
     [](Decoder& d) { decode_hnsw_index(d); },
     "invalid u8 while decoding bool, expected 0 or 1, found 255"},
    {"CodebookMarker7", [] { return poked_collection(kPqMarkerAt, 7); }, read_collection,
     "tag for enum is not valid, found 7"},
    {"EntryPointMarker2", [] { return poked_collection(kEntryPointMarkerAt, 2); }, read_collection,
     "tag for enum is not valid, found 2"},
    {"MetadataTag4", [] { return metadata_value_with_tag(4); }, read_metadata_value,
     "invalid value: integer `4`, expected variant index 0 <= i < 4"},
    {"MetadataTagMax", [] { return metadata_value_with_tag(0xFFFFFFFF); }, read_metadata_value,
     "invalid value: integer `4294967295`, expected variant index 0 <= i < 4"},
    {"MetricTag3", [] { return poked_collection(kMetricAt, 3); }, read_collection,
     "invalid value: integer `3`, expected variant index 0 <= i < 3"},
    {"UuidLength15", [] { return document_with_uuid_length(15); }, read_document,
     "UUID parsing failed: invalid length: expected 16 bytes, found 15"},
    {"UuidLength17", [] { return document_with_uuid_length(17); }, read_document,
     "UUID parsing failed: invalid length: expected 16 bytes, found 17"},
    {"UuidLength0", [] { return document_with_uuid_length(0); }, read_document,
     "UUID parsing failed: invalid length: expected 16 bytes, found 0"},
    {"UuidCutShort",
     [] {
       auto bytes = encoded([](Encoder& e) { e.uuid(new_uuid()); });
       bytes.resize(20);
       return bytes;
     },
     [](Decoder& d) { d.uuid(); }, "io error: unexpected end of file"},
    {"InvalidUtf8",
     [] {
       auto bytes =
           encoded([](Encoder& e) { encode_document(e, Document{new_uuid(), "abcd", {}}); });
       bytes[24 + 8 + 2] = 0xFF;
       return bytes;
     },
     read_document, "string is not valid utf8: invalid utf-8 sequence at byte 2"},
};

void PrintTo(const MalformedCase& c, std::ostream* out) { *out << c.name; }

class MalformedTest : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedTest, FailsWithTheDecoderText) {
  EXPECT_EQ(decode_error(GetParam().bytes(), GetParam().read), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Decoder, MalformedTest, ::testing::ValuesIn(kMalformedCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct HugeCount {
  const char* name;
  size_t offset;
};

class HugeCountTest : public ::testing::TestWithParam<HugeCount> {};

// A count far beyond the data fails as a truncation before anything is allocated for it (an
// allocation of that size would abort the test, or trip the sanitizers' allocation limit).
TEST_P(HugeCountTest, FailsAtTheEndOfTheDataWithoutAllocating) {
  for (uint64_t count : {uint64_t{1} << 62, ~uint64_t{0}, uint64_t{1000}}) {
    std::vector<uint8_t> bytes = encode_collection(empty_collection_c());
    put_u64_le(bytes, GetParam().offset, count);
    EXPECT_EQ(decode_error(bytes, decode_collection_data), "io error: unexpected end of file");
  }
}

INSTANTIATE_TEST_SUITE_P(Decoder, HugeCountTest,
                         ::testing::Values(HugeCount{"Name", 0},
                                           HugeCount{"Documents", kDocumentsCountAt},
                                           HugeCount{"VectorData", kVectorDataCountAt},
                                           HugeCount{"VectorMin", kVectorDataCountAt + 8},
                                           HugeCount{"Neighbors", kNeighborsCountAt},
                                           HugeCount{"Deleted", kVectorDataCountAt + 48},
                                           HugeCount{"PqCodes", kPqMarkerAt + 1},
                                           HugeCount{"Postings", 164}, HugeCount{"DocLengths", 172},
                                           HugeCount{"UuidToInternal", 192},
                                           HugeCount{"InternalToUuid", 200}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DecoderTest, AHugeLayerCountInsideANodeIsATruncation) {
  NeighborLists lists;
  lists.add_node(1);
  auto bytes = encoded([&](Encoder& e) { encode_neighbor_lists(e, lists); });
  put_u64_le(bytes, 8, uint64_t{1} << 60);
  EXPECT_EQ(decode_error(bytes, decode_neighbor_lists), "io error: unexpected end of file");
}

TEST(DecoderTest, ReadsAfterAFailureReturnZeroAndKeepTheFirstError) {
  const std::vector<uint8_t> bytes = {2, 1};
  Decoder d(bytes);
  d.boolean();
  EXPECT_FALSE(d.ok());
  EXPECT_EQ(d.u64(), 0u);
  EXPECT_EQ(d.count(1), 0u);
  EXPECT_EQ(d.remaining(), 0u);
  EXPECT_EQ(d.status().error().message(),
            "invalid u8 while decoding bool, expected 0 or 1, found 2");
}

TEST(DecoderTest, ReserveHintIsCappedAtOneMebibyte) {
  EXPECT_EQ(reserve_hint<uint8_t>(uint64_t{1} << 40), 1048576u);
  EXPECT_EQ(reserve_hint<float>(uint64_t{1} << 40), 262144u);
  EXPECT_EQ(reserve_hint<Uuid>(uint64_t{1} << 40), 65536u);
  EXPECT_EQ(reserve_hint<Uuid>(12), 12u);
}

// --- UTF-8

struct Utf8Case {
  const char* name;
  std::string text;
  bool valid;
  size_t bad_offset;
};

class Utf8Test : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Test, AcceptsExactlyWellFormedUtf8) {
  const Utf8Case& c = GetParam();
  size_t bad = 999;
  EXPECT_EQ(is_valid_utf8(to_bytes(c.text), &bad), c.valid);
  if (!c.valid) {
    EXPECT_EQ(bad, c.bad_offset);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Decoder, Utf8Test,
    ::testing::Values(Utf8Case{"Empty", "", true, 0},
                      Utf8Case{"LongAscii", std::string(100, 'a'), true, 0},
                      Utf8Case{"TwoThreeFourBytes", "é€\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", true, 0},
                      Utf8Case{"LoneContinuation", "abc\x80", false, 3},
                      Utf8Case{"OverlongTwoByte", "\xC0\xAF", false, 0},
                      Utf8Case{"OverlongThreeByte", "ab\xE0\x80\xAF", false, 2},
                      Utf8Case{"Surrogate", "\xED\xA0\x80", false, 0},
                      Utf8Case{"AboveMaximum", "\xF4\x90\x80\x80", false, 0},
                      Utf8Case{"CutShort", std::string(9, 'x') + "\xE2\x82", false, 9},
                      Utf8Case{"BadThirdByte", "\xE2\x82\x41", false, 0},
                      Utf8Case{"InvalidLead", "\xFF", false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrine
