#include "core/storage/snapshot.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/storage/checksum.h"
#include "core/storage/file_io.h"
#include "core/storage/records.h"
#include "core/storage/snapshot_validation.h"
#include "tests/core/engine_probes.h"
#include "tests/core/storage_test_support.h"

namespace kestrine {
namespace {

using testing::cut_tail;
using testing::empty_collection_c;
using testing::expect_same_content;
using testing::flip_byte;
using testing::random_collection;
using testing::RandomOptions;
using testing::TempDir;
using testing::to_bytes;

constexpr char kHexKey[] = "8f2a6c1e0b9d7f3a5c4e2b1d0f9e8d7c6b5a493827161504f3e2d1c0b9a89786";

KeyPtr test_key() { return *parse_key(kHexKey); }

CollectionData small_collection(uint64_t seed = 1, RandomOptions options = {.nodes = 6}) {
  std::mt19937_64 rng(seed);
  CollectionData data = random_collection(rng, options);
  data.name = "small";
  return data;
}

std::vector<uint8_t> checksummed(const CollectionData& data) {
  return *encode_snapshot(data, nullptr);
}

// The error of reading `file` (as if it were at "dir/c.kestrine"), or "" on success.
std::string parse_failure(std::span<const uint8_t> file, const EncryptionKey* key = nullptr) {
  auto data = parse_snapshot(file, "dir/c.kestrine", key);
  if (data) return "";
  EXPECT_EQ(data.error().kind(), ErrorKind::kInvalidData) << data.error().message();
  return data.error().message();
}

void write_bytes(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  ASSERT_TRUE(write_file_synced(path, bytes));
}

// --- File forms

TEST(SnapshotFormTest, EmptyCollectionFileIs216BytesEndingInKcr1AndTheCrc) {
  std::vector<uint8_t> file = checksummed(empty_collection_c());
  ASSERT_EQ(file.size(), 216u);
  const std::vector<uint8_t> trailer(file.end() - 8, file.end());
  EXPECT_EQ(trailer, (std::vector<uint8_t>{'K', 'C', 'R', '1', 0xAB, 0x71, 0x82, 0x03}));
  EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.end() - 8),
            encode_collection(empty_collection_c()));
}

TEST(SnapshotFormTest, EncryptedFileIsMagicThenEnvelope) {
  KeyPtr key = test_key();
  std::vector<uint8_t> file = *encode_snapshot(empty_collection_c(), key.get());
  ASSERT_EQ(file.size(), 4u + 12 + 208 + 16);
  EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "KCE1");
  auto payload = unseal(*key, std::span<const uint8_t>(file).subspan(4));
  ASSERT_TRUE(payload.has_value());
  EXPECT_EQ(*payload, encode_collection(empty_collection_c()));
}

TEST(SnapshotFormTest, ABarePayloadIsAccepted) {
  CollectionData data = small_collection();
  auto read = parse_snapshot(encode_collection(data), "p", nullptr);
  ASSERT_TRUE(read.has_value()) << read.error().message();
  expect_same_content(data, *read);
}

TEST(SnapshotFormTest, ExtraTrailingBytesAfterABareRecordAreIgnored) {
  std::vector<uint8_t> file = encode_collection(small_collection());
  file.insert(file.end(), {'j', 'u', 'n', 'k'});
  EXPECT_EQ(parse_failure(file), "");
  // Bytes after a checksummed file's trailer make it bare; the record still decodes.
  std::vector<uint8_t> extended = checksummed(small_collection());
  extended.push_back(0);
  EXPECT_EQ(parse_failure(extended), "");
}

TEST(SnapshotFormTest, AKeyIsNotNeededForAChecksummedFile) {
  KeyPtr key = test_key();
  EXPECT_EQ(parse_failure(checksummed(small_collection()), key.get()), "");
}

// --- Corruption, one case each

TEST(SnapshotCorruptionTest, FlippedPayloadByteFailsTheCrcCheck) {
  std::vector<uint8_t> file = checksummed(empty_collection_c());
  flip_byte(file, 100);
  std::vector<uint8_t> payload(file.begin(), file.end() - 8);
  char computed[11];
  std::snprintf(computed, sizeof computed, "0x%08x", crc32(payload));
  EXPECT_EQ(parse_failure(file), std::string("Snapshot CRC32 mismatch: expected 0xab718203, got ") +
                                     computed + ". File may be corrupted: dir/c.kestrine");
}

TEST(SnapshotCorruptionTest, FlippedCrcByteFailsTheCrcCheckWithZeroPaddedValues) {
  std::vector<uint8_t> file = checksummed(empty_collection_c());
  file[file.size() - 4] = 0;  // stored 0x00718203
  EXPECT_EQ(parse_failure(file),
            "Snapshot CRC32 mismatch: expected 0x00718203, got 0xab718203. File may be "
            "corrupted: dir/c.kestrine");
}

TEST(SnapshotCorruptionTest, CuttingTheLast8BytesLeavesTheBarePayloadWhichStillLoads) {
  // Without its trailer a checksummed file is exactly its payload: a complete bare record.
  CollectionData data = small_collection();
  auto read = parse_snapshot(cut_tail(checksummed(data), 8), "p", nullptr);
  ASSERT_TRUE(read.has_value()) << read.error().message();
  expect_same_content(data, *read);
}

TEST(SnapshotCorruptionTest, CuttingIntoThePayloadIsReadAsBareAndFailsToDecode) {
  std::vector<uint8_t> file = checksummed(small_collection());
  for (size_t cut : {9u, 16u, 100u}) {
    EXPECT_EQ(parse_failure(cut_tail(file, cut)), "io error: unexpected end of file") << cut;
  }
}

TEST(SnapshotCorruptionTest, Kce1WithoutAKeyFailsEvenWhenTheRestIsGarbage) {
  std::vector<uint8_t> file = to_bytes("KCE1 this is not an envelope at all");
  EXPECT_EQ(parse_failure(file),
            "snapshot dir/c.kestrine is encrypted but no encryption key was provided");
  EXPECT_EQ(parse_failure(to_bytes("KCE1")),
            "snapshot dir/c.kestrine is encrypted but no encryption key was provided");
}

TEST(SnapshotCorruptionTest, EncryptedFileWithTheWrongKeyFailsToUnseal) {
  std::vector<uint8_t> file = *encode_snapshot(small_collection(), test_key().get());
  KeyPtr other = *parse_key(std::string(64, '1'));
  EXPECT_EQ(parse_failure(file, other.get()), "decryption failed: wrong key or corrupted data");
}

TEST(SnapshotCorruptionTest, EncryptedFileCutBelowAnEnvelopeIsTooShort) {
  std::vector<uint8_t> file = to_bytes("KCE1");
  file.resize(4 + 27);
  EXPECT_EQ(parse_failure(file, test_key().get()),
            "encrypted data too short: 27 bytes (minimum 28)");
}

TEST(SnapshotCorruptionTest, FlippedCiphertextByteFailsToUnseal) {
  std::vector<uint8_t> file = *encode_snapshot(small_collection(), test_key().get());
  flip_byte(file, 40);
  EXPECT_EQ(parse_failure(file, test_key().get()),
            "decryption failed: wrong key or corrupted data");
}

class TinyFileTest : public ::testing::TestWithParam<size_t> {};

TEST_P(TinyFileTest, FilesOf0To3BytesAreBareAndTruncated) {
  std::vector<uint8_t> file = to_bytes(std::string("KCE").substr(0, GetParam()));
  EXPECT_EQ(parse_failure(file), "io error: unexpected end of file");
}

INSTANTIATE_TEST_SUITE_P(Snapshot, TinyFileTest, ::testing::Values(0, 1, 2, 3));

TEST(SnapshotCorruptionTest, ACountPokedHugeFailsAsTruncation) {
  std::vector<uint8_t> file = encode_collection(empty_collection_c());
  testing::put_u64_le(file, 17, uint64_t{1} << 61);
  EXPECT_EQ(parse_failure(file), "io error: unexpected end of file");
}

// --- Validation rules, in order

struct RuleCase {
  const char* name;
  std::function<void(CollectionData&)> damage;
  std::string message;  // after "snapshot validation failed: "
};

// Base for rule cases: a collection with 6 nodes of dimension 8 and a PQ codebook of 2
// subspaces, all tables consistent. Its graph is a ring on layer 0 under budgets of 4, with node
// 2 also on layer 1 (alone there, so without links) as the entry point.
CollectionData rule_base() {
  CollectionData data = small_collection(3, {.nodes = 6, .dimension = 8, .pq_subspaces = 2});
  HnswIndex& h = data.hnsw;
  h.config.m = h.config.m_max0 = 4;
  h.neighbors.clear();
  for (uint32_t node = 0; node < 6; ++node) {
    h.layers[node] = node == 2 ? 1 : 0;
    h.neighbors.add_node(h.layers[node] + 1u);
    h.neighbors.assign(node, 0, std::vector<uint32_t>{(node + 5) % 6, (node + 1) % 6});
  }
  h.entry_point = 2;
  h.max_level = 1;
  return data;
}

const RuleCase kRuleCases[] = {
    {"HnswDimension", [](CollectionData& d) { d.hnsw.dimension = 9; },
     "HNSW dimension 9 != collection dimension 8"},
    {"VectorData", [](CollectionData& d) { d.hnsw.vector_data.pop_back(); },
     "vector_data length 47 != node_count(6) * dimension(8)"},
    {"VectorMin", [](CollectionData& d) { ++d.hnsw.headers.min_count; },
     "vector_min length 7 != node_count 6"},
    {"VectorScale", [](CollectionData& d) { d.hnsw.headers.scale_count = 0; },
     "vector_scale length 0 != node_count 6"},
    {"Neighbors", [](CollectionData& d) { d.hnsw.neighbors.add_node(0); },
     "neighbors length 7 != node_count 6"},
    {"Layers", [](CollectionData& d) { d.hnsw.layers.pop_back(); },
     "layers length 5 != node_count 6"},
    {"Deleted", [](CollectionData& d) { d.hnsw.deleted.push_back(1); },
     "deleted length 7 != node_count 6"},
    {"PqCodes", [](CollectionData& d) { d.hnsw.pq_codes.push_back(1); },
     "pq_codes length 13 != node_count(6) * num_subspaces(2)"},
    {"MoreIdMapEntriesThanSlots",
     [](CollectionData& d) {
       for (int i = 0; i < 7; ++i) d.uuid_to_internal[new_uuid()] = 0;
     },
     ""},  // message depends on the count; filled in by the test
    {"InternalToUuid",
     [](CollectionData& d) {
       // The last node's document, if any, stays: kept by its key once the node is gone.
       const Uuid last = d.internal_to_uuid.back();
       const DocumentPtr document = d.get_document(last);
       if (document) d.erase_document(last);
       d.uuid_to_internal.erase(last);
       d.internal_to_uuid.pop_back();
       if (document) d.store_document(last, *document);
     },
     "internal_to_uuid length 5 != node_count 6"},
    {"Documents",
     [](CollectionData& d) {
       for (int i = 0; i < 7; ++i) {
         const Uuid id = new_uuid();
         d.store_document(id, Document{id, "x", {}});
       }
     },
     ""},
    {"EntryPoint", [](CollectionData& d) { d.hnsw.entry_point = 6; },
     "entry_point 6 >= node_count 6"},
    {"NeighborIdEqualToNodeCount",
     [](CollectionData& d) {
       d.hnsw.neighbors.ensure_layer(4, 2);
       d.hnsw.neighbors.append(4, 2, 6);
       d.hnsw.neighbors.append(5, 0, 99);
     },
     "neighbor 6 out of bounds (node_count=6) at node 4 layer 2"},
    {"EntryPointMissing", [](CollectionData& d) { d.hnsw.entry_point.reset(); },
     "entry_point missing with node_count 6"},
    {"MaxLevel", [](CollectionData& d) { d.hnsw.max_level = 2; },
     "max_level 2 != level 1 of entry_point 2"},
    {"ListsForTheLevel", [](CollectionData& d) { d.hnsw.layers[4] = 1; },
     "node 4 of level 1 has 1 neighbor layers"},
    {"LevelAboveMaxLevel",
     [](CollectionData& d) {
       d.hnsw.layers[5] = 2;
       d.hnsw.neighbors.ensure_layer(5, 2);
     },
     "level 2 of node 5 > max_level 1"},
    {"Budget", [](CollectionData& d) { d.hnsw.config.m_max0 = 1; },
     "neighbors of node 0 layer 0: 2 > budget 1"},
    {"LinkToALowerNode",
     [](CollectionData& d) { d.hnsw.neighbors.assign(2, 1, std::vector<uint32_t>{3}); },
     "neighbor 3 of level 0 at node 2 layer 1"},
};

void PrintTo(const RuleCase& c, std::ostream* out) { *out << c.name; }

class ValidationRuleTest : public ::testing::TestWithParam<RuleCase> {};

TEST_P(ValidationRuleTest, FailsWithTheRuleText) {
  CollectionData data = rule_base();
  ASSERT_TRUE(validate_snapshot(data));
  GetParam().damage(data);
  std::string expected = GetParam().message;
  if (expected.empty() && std::string(GetParam().name) == "MoreIdMapEntriesThanSlots") {
    expected = "uuid_to_internal(" + std::to_string(data.uuid_to_internal.size()) +
               ") != internal_to_uuid(6)";
  }
  if (expected.empty()) {
    expected = "documents(" + std::to_string(data.documents.size()) + ") > node_count(6)";
  }
  Status checked = validate_snapshot(data);
  ASSERT_FALSE(checked);
  EXPECT_EQ(checked.error().message(), expected);
  // Read from a file, the text comes prefixed.
  EXPECT_EQ(parse_failure(checksummed(data)), "snapshot validation failed: " + expected);
}

INSTANTIATE_TEST_SUITE_P(Snapshot, ValidationRuleTest, ::testing::ValuesIn(kRuleCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ValidationTest, RulesAreCheckedInOrder) {
  CollectionData data = rule_base();
  data.hnsw.entry_point = 100;      // rule 12
  data.hnsw.layers.clear();         // rule 6
  data.hnsw.headers.min_count = 0;  // rule 3
  EXPECT_EQ(validate_snapshot(data).error().message(), "vector_min length 0 != node_count 6");
}

TEST(ValidationTest, FewerIdMapEntriesThanSlotsAreAccepted) {
  // A deleted document's id inserted again: its old slot keeps no map entry.
  CollectionData data = rule_base();
  data.uuid_to_internal.clear();
  EXPECT_TRUE(validate_snapshot(data));
}

TEST(ValidationTest, NeighborsAreOnlyCheckedWhenThereIsAnEntryPointOrANode) {
  CollectionData data = empty_collection_c();
  EXPECT_TRUE(validate_snapshot(data));
  // No entry point but nodes: the neighbour check still runs.
  data = rule_base();
  data.hnsw.entry_point.reset();
  data.hnsw.neighbors.append(0, 0, 6);
  EXPECT_EQ(validate_snapshot(data).error().message(),
            "neighbor 6 out of bounds (node_count=6) at node 0 layer 0");
}

TEST(ValidationTest, PqCodesAreUncheckedWithoutACodebook) {
  CollectionData data = rule_base();
  data.hnsw.pq_codebook.reset();
  data.hnsw.pq_codes.resize(3);
  EXPECT_TRUE(validate_snapshot(data));
}

TEST(ValidationTest, HugeStoredProductsNeverMatchATable) {
  CollectionData data = rule_base();
  data.dimension = data.hnsw.dimension = uint64_t{1} << 62;  // 6 * 2^62 wraps to 2^63
  EXPECT_EQ(validate_snapshot(data).error().message(),
            "vector_data length 48 != node_count(6) * dimension(4611686018427387904)");
}

TEST(ValidationTest, AWrongRawVectorsLengthIsRejected) {
  CollectionData data = small_collection(5, {.nodes = 6, .raw_vectors = true});
  const uint64_t d = data.dimension;
  data.hnsw.raw_vectors.resize(5);
  auto read = parse_snapshot(checksummed(data), "p", nullptr);
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(read.error().message(),
            "snapshot validation failed: raw_vectors length 5 != node_count(6) * dimension(" +
                std::to_string(d) + ")");
  data.hnsw.config.store_raw_vectors = false;
  EXPECT_EQ(validate_snapshot(data).error().message(),
            "raw_vectors length 5 without store_raw_vectors");
  data.hnsw.raw_vectors.clear();
  EXPECT_TRUE(validate_snapshot(data));
}

// What validation leaves unchecked must still be harmless once the collection is in use.
TEST(ValidationTest, AnAcceptedInconsistentCollectionStaysUsable) {
  CollectionData data = small_collection(9, {.nodes = 6, .raw_vectors = true});
  // No upper links, so that a budget of 0 above layer 0 holds.
  for (uint32_t node = 0; node < 6; ++node) {
    for (size_t layer = 1; layer <= data.hnsw.layers[node]; ++layer) {
      data.hnsw.neighbors.assign(node, layer, std::vector<uint32_t>{});
    }
  }
  data.hnsw.config.m = 0;
  data.hnsw.config.ef_search = ~uint64_t{0};
  data.bm25.postings["term"].push_back({1000000, 3});
  data.bm25.doc_lengths.clear();
  if (data.documents.size() == 6) data.erase_document((*data.all_documents().begin()).key);
  const Uuid stray = new_uuid();
  data.store_document(stray, Document{new_uuid(), "alpha", {}});
  data.uuid_to_internal.clear();
  auto read = parse_snapshot(checksummed(data), "p", nullptr);
  ASSERT_TRUE(read.has_value()) << read.error().message();
  Collection collection(std::move(*read));
  EXPECT_GT(collection.estimate_memory(), 0u);
  EXPECT_NE(collection.get_document(stray), nullptr);
  EXPECT_TRUE(collection.delete_document(stray));
  const std::vector<float> embedding(8, 0.5f);
  EXPECT_TRUE(collection.insert_document(
      std::make_shared<const Document>(Document{new_uuid(), "alpha beta", {}}), embedding));
  EXPECT_EQ(document_count(collection), data.documents.size());
}

// --- Writing and reading files

class SnapshotFileTest : public ::testing::TestWithParam<bool> {
 protected:
  KeyPtr key() const { return GetParam() ? test_key() : nullptr; }
  TempDir dir_;
};

TEST_P(SnapshotFileTest, WriteThenReadGivesTheSameContent) {
  std::mt19937_64 rng(77);
  for (RandomOptions options :
       {RandomOptions{.nodes = 0}, RandomOptions{.nodes = 40, .raw_vectors = true},
        RandomOptions{.nodes = 25, .dimension = 16, .pq_subspaces = 8}}) {
    CollectionData data = random_collection(rng, options);
    CollectionData copy = data;
    auto collection = std::make_shared<Collection>(std::move(copy));
    ASSERT_TRUE(write_snapshot(collection, dir_.path(), key().get()));
    auto read = read_snapshot(dir_.path() / (data.name + ".kestrine"), key().get());
    ASSERT_TRUE(read.has_value()) << read.error().message();
    (*read)->read([&](const CollectionData& back) { expect_same_content(data, back); });
  }
}

TEST_P(SnapshotFileTest, SavingTwiceWithoutChangesGivesTheSameContent) {
  CollectionData data = small_collection();
  auto collection = std::make_shared<Collection>(CollectionData(data));
  const auto path = dir_.path() / "small.kestrine";
  ASSERT_TRUE(write_snapshot(collection, dir_.path(), key().get()));
  auto first = read_snapshot_data(path, key().get());
  ASSERT_TRUE(write_snapshot(collection, dir_.path(), key().get()));
  auto second = read_snapshot_data(path, key().get());
  ASSERT_TRUE(first && second);
  expect_same_content(*first, *second);
}

TEST_P(SnapshotFileTest, CreatesMissingParentsAndLeavesNoTemporaryFile) {
  auto collection = std::make_shared<Collection>(small_collection());
  const auto nested = dir_.path() / "a" / "b" / "c";
  ASSERT_TRUE(write_snapshot(collection, nested, key().get()));
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(nested)) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"small.kestrine"});
}

TEST_P(SnapshotFileTest, AnInterruptedSaveLeavesThePreviousSnapshotReadable) {
  auto collection = std::make_shared<Collection>(small_collection());
  ASSERT_TRUE(write_snapshot(collection, dir_.path(), key().get()));
  // What a crash between writing and renaming leaves behind.
  write_bytes(dir_.path() / "small.kestrine.tmp", to_bytes("half a snapsh"));
  EXPECT_TRUE(read_snapshot(dir_.path() / "small.kestrine", key().get()).has_value());
  // And the next save goes through it.
  ASSERT_TRUE(write_snapshot(collection, dir_.path(), key().get()));
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "small.kestrine.tmp"));
}

TEST_P(SnapshotFileTest, ConcurrentSavesOfOneCollectionNeverMixTheirBytes) {
  auto collection = std::make_shared<Collection>(small_collection(4, {.nodes = 200}));
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(write_snapshot(collection, dir_.path(), key().get()));
    });
  }
  for (auto& thread : threads) thread.join();
  auto read = read_snapshot(dir_.path() / "small.kestrine", key().get());
  EXPECT_TRUE(read.has_value()) << read.error().message();
}

INSTANTIATE_TEST_SUITE_P(Snapshot, SnapshotFileTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Encrypted" : "Checksummed"; });

TEST(SnapshotWriteTest, AFailedWriteLeavesThePreviousSnapshotUntouched) {
  TempDir dir;
  auto collection = std::make_shared<Collection>(small_collection());
  ASSERT_TRUE(write_snapshot(collection, dir.path(), nullptr));
  auto before = read_file(dir.path() / "small.kestrine");
  // A directory in the way of the temporary file makes the write fail.
  std::filesystem::create_directory(dir.path() / "small.kestrine.tmp");
  Status written = write_snapshot(collection, dir.path(), nullptr);
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().kind(), ErrorKind::kIo);
  EXPECT_EQ(written.error().message(), "Is a directory (os error 21)");
  EXPECT_EQ(*read_file(dir.path() / "small.kestrine"), *before);
}

TEST(SnapshotWriteTest, ADirectoryPathThroughAFileFails) {
  TempDir dir;
  write_bytes(dir.path() / "file", to_bytes("x"));
  auto collection = std::make_shared<Collection>(small_collection());
  Status written = write_snapshot(collection, dir.path() / "file" / "sub", nullptr);
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().message(), "Not a directory (os error 20)");
  written = write_snapshot(collection, dir.path() / "file", nullptr);
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().message(), "File exists (os error 17)");
}

TEST(SnapshotWriteTest, ANameThatIsNoFileNameIsRefused) {
  TempDir dir;
  for (std::string name : {std::string(""), std::string("../escape"), std::string("a\0b", 3)}) {
    CollectionData data = empty_collection_c();
    data.name = name;
    auto collection = std::make_shared<Collection>(std::move(data));
    Status written = write_snapshot(collection, dir.path(), nullptr);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().kind(), ErrorKind::kInvalidValue);
    EXPECT_EQ(written.error().message(), "invalid collection name: '" + name + "'");
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(SnapshotReadTest, AMissingFileIsTheOperatingSystemError) {
  TempDir dir;
  auto read = read_snapshot(dir.path() / "none.kestrine", nullptr);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().kind(), ErrorKind::kIo);
  EXPECT_EQ(read.error().message(), "No such file or directory (os error 2)");
}

TEST(SnapshotReadTest, MessagesQuoteThePathAsPassed) {
  TempDir dir;
  const std::string path = dir.path().string() + "//./c.kestrine";
  write_bytes(path, to_bytes("KCE1"));
  auto read = read_snapshot(path, nullptr);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().message(),
            "snapshot " + path + " is encrypted but no encryption key was provided");
}

}  // namespace
}  // namespace kestrine
