// The log on disk: appending, reading back, where and why reading stops, and applying entries.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/storage/wal_reader.h"
#include "core/storage/wal_replay.h"
#include "core/storage/wal_writer.h"
#include "tests/core/engine_probes.h"
#include "tests/core/wal_test_support.h"

namespace kestrine {
namespace {

using testing::concat;
using testing::encrypted_record;
using testing::FileSizeLimit;
using testing::flip_byte;
using testing::item;
using testing::plain_record;
using testing::read_bytes;
using testing::TempDir;
using testing::uuid_n;
using testing::write_bytes;

std::vector<uint8_t> payload(const WalEntry& entry) { return encode_entry(entry); }
std::vector<uint8_t> plain(const WalEntry& entry) { return plain_record(payload(entry)); }
std::vector<uint8_t> sealed(const WalEntry& entry, const KeyPtr& key) {
  return encrypted_record(*key, payload(entry));
}

WalEntry create(const std::string& name) { return wal::CreateCollection{name, 2, HnswConfig{}}; }
WalEntry insert(const std::string& collection, uint8_t n) {
  return wal::InsertDocument{collection, item(n, "doc " + std::to_string(n), {1.0f, float(n)})};
}

class LogTest : public ::testing::Test {
 protected:
  std::filesystem::path log_path() const { return dir_.path() / "wal.bin"; }

  // Writes `bytes` as the log and replays it into `database_`.
  Result<ReplayReport> replay(const std::vector<uint8_t>& bytes, const KeyPtr& key = nullptr) {
    write_bytes(log_path(), bytes);
    return replay_log(log_path(), key.get(),
                      [this](WalEntry&& entry) { apply_entry(database_, std::move(entry)); });
  }

  std::vector<std::string> names() const {
    auto names = database_.collection_names();
    std::ranges::sort(names);
    return names;
  }
  size_t documents(const std::string& name) const {
    auto c = database_.get_collection(name);
    return c ? document_count(*c) : 0;
  }

  TempDir dir_;
  CollectionMap database_;
};

// ---- where reading stops --------------------------------------------------------------------

TEST_F(LogTest, AnEmptyLogReplaysToNothing) {
  auto report = replay({});
  ASSERT_TRUE(report);
  EXPECT_EQ(report->end, LogEnd::kClean);
  EXPECT_EQ(report->entries, 0u);
  EXPECT_EQ(report->valid_length, 0u);
}

class ShortLogTest : public LogTest, public ::testing::WithParamInterface<int> {};

TEST_P(ShortLogTest, AFileShorterThanAHeaderIsATornTailAndReplaysToNothing) {
  const std::vector<uint8_t> record = plain(create("a"));
  auto report = replay(std::vector<uint8_t>(record.begin(), record.begin() + GetParam()));
  ASSERT_TRUE(report);
  EXPECT_EQ(report->end, LogEnd::kTornTail);
  EXPECT_EQ(report->valid_length, 0u);
  EXPECT_TRUE(names().empty());
}

INSTANTIATE_TEST_SUITE_P(OneToSevenBytes, ShortLogTest, ::testing::Range(1, 8));

TEST_F(LogTest, ARecordCutInItsPayloadEndsTheLogAfterTheEarlierRecords) {
  const auto first = plain(create("a"));
  const auto second = plain(insert("a", 1));
  const auto third = plain(insert("a", 2));
  auto report = replay(concat({first, second, {third.begin(), third.end() - 3}}));
  ASSERT_TRUE(report);
  EXPECT_EQ(report->end, LogEnd::kTornTail);
  EXPECT_EQ(report->valid_length, first.size() + second.size());
  EXPECT_EQ(report->entries, 2u);
  EXPECT_EQ(documents("a"), 1u);
}

TEST_F(LogTest, ARecordCutInItsHeaderEndsTheLogAfterTheEarlierRecords) {
  const auto first = plain(create("a"));
  const auto second = plain(insert("a", 1));
  auto report = replay(concat({first, std::vector<uint8_t>(second.begin(), second.begin() + 5)}));
  ASSERT_TRUE(report);
  EXPECT_EQ(report->end, LogEnd::kTornTail);
  EXPECT_EQ(report->valid_length, first.size());
  EXPECT_EQ(names(), std::vector<std::string>{"a"});
}

TEST_F(LogTest, ALengthBeyondTheEndOfTheFileIsATornTailFoundBeforeAllocating) {
  const auto first = plain(create("a"));
  std::vector<uint8_t> huge = plain(insert("a", 1));
  testing::put_u32_be(huge.data(), 0xFFFFFFFF);
  auto report = replay(concat({first, huge}));
  ASSERT_TRUE(report);
  EXPECT_EQ(report->end, LogEnd::kTornTail);
  EXPECT_EQ(report->valid_length, first.size());
}

TEST_F(LogTest, AFlippedPayloadByteEndsTheLogAtThatRecordAsCorrupt) {
  const auto first = plain(create("a"));
  std::vector<uint8_t> bad = plain(insert("a", 1));
  flip_byte(bad, bad.size() - 1);
  auto report = replay(concat({first, bad, plain(insert("a", 2))}));
  ASSERT_TRUE(report);
  EXPECT_EQ(report->end, LogEnd::kCorrupt);
  EXPECT_EQ(report->valid_length, first.size());
  EXPECT_EQ(report->problem.substr(0, 24), "CRC mismatch: expected 0");
  EXPECT_EQ(documents("a"), 0u);  // neither the flipped record nor the one after it
}

TEST_F(LogTest, AFlippedCheckByteEndsTheLogAtThatRecordAsCorrupt) {
  std::vector<uint8_t> bad = plain(create("a"));
  flip_byte(bad, 7);
  auto report = replay(concat({bad, plain(create("b"))}));
  ASSERT_TRUE(report);
  EXPECT_EQ(report->end, LogEnd::kCorrupt);
  EXPECT_EQ(report->valid_length, 0u);
  EXPECT_TRUE(names().empty());
}

TEST_F(LogTest, ARecordWithAnUnknownTagIsSkippedAndReplayGoesOn) {
  std::vector<uint8_t> unknown = payload(wal::DeleteCollection{"a"});
  unknown[0] = 6;
  auto report = replay(concat({plain(create("a")), plain_record(unknown), plain(create("b"))}));
  ASSERT_TRUE(report);
  EXPECT_EQ(report->end, LogEnd::kClean);
  EXPECT_EQ(report->entries, 2u);
  EXPECT_EQ(report->undecodable, 1u);
  EXPECT_EQ(names(), (std::vector<std::string>{"a", "b"}));
}

TEST_F(LogTest, AnUndecodableEncryptedRecordIsSkippedToo) {
  const KeyPtr key = testing::log_key();
  std::vector<uint8_t> unknown = payload(wal::DeleteCollection{"a"});
  unknown[0] = 9;
  auto report = replay(
      concat({sealed(create("a"), key), encrypted_record(*key, unknown), sealed(create("b"), key)}),
      key);
  ASSERT_TRUE(report);
  EXPECT_EQ(report->undecodable, 1u);
  EXPECT_EQ(names(), (std::vector<std::string>{"a", "b"}));
}

// A plain InsertDocument whose CRC is FF FF FF FF, made so by eight ASCII bytes in its text.
std::vector<uint8_t> plain_record_with_crc_ffffffff() {
  std::vector<uint8_t> bytes =
      payload(wal::InsertDocument{"a", item(7, "crc forced:12345678", {1.0f, 2.0f})});
  // The text's last 8 bytes: tag 4, name 9, UUID 24, text length 8, then 19 text bytes.
  const size_t text_end = 4 + 9 + 24 + 8 + 19;
  const auto bits = testing::ascii_bits(text_end - 8, 8);
  EXPECT_TRUE(testing::force_crc(bytes, bits, 0xFFFFFFFF));
  return plain_record(bytes);
}

TEST_F(LogTest, APlainRecordWhoseCrcIsFFFFFFFFIsReadAsPlain) {
  const auto forced = plain_record_with_crc_ffffffff();
  ASSERT_EQ(std::vector<uint8_t>(forced.begin() + 4, forced.begin() + 8),
            std::vector<uint8_t>(4, 0xFF));
  auto report = replay(concat({plain(create("a")), forced, plain(insert("a", 1))}));
  ASSERT_TRUE(report) << report.error().message();
  EXPECT_EQ(report->end, LogEnd::kClean);
  EXPECT_EQ(documents("a"), 2u);
  EXPECT_NE(database_.get_collection("a")->get_document(uuid_n(7)), nullptr);
}

TEST_F(LogTest, APlainRecordWhoseCrcIsFFFFFFFFIsReadAsPlainWithAKeyToo) {
  const KeyPtr key = testing::log_key();
  auto report = replay(concat({sealed(create("a"), key), plain_record_with_crc_ffffffff(),
                               sealed(insert("a", 1), key)}),
                       key);
  ASSERT_TRUE(report) << report.error().message();
  EXPECT_EQ(report->end, LogEnd::kClean);
  EXPECT_EQ(documents("a"), 2u);
}

TEST(CheckRecordTest, AnEnvelopeWhoseCrcIsFFFFFFFFIsStillDecrypted) {
  // Finding a real envelope with that CRC takes about 2^32 sealings; the CRC is posed instead.
  const KeyPtr key = testing::log_key();
  const std::vector<uint8_t> entry = encode_entry(wal::DeleteCollection{"a"});
  RawRecord record{0, kWalEncryptedCheck, *seal(*key, entry)};
  CheckedRecord checked = check_record(record, 0xFFFFFFFF, key.get());
  EXPECT_EQ(checked.verdict, RecordVerdict::kDecrypted);
  EXPECT_EQ(checked.plaintext, entry);
  // Without the key it can only be taken as the plain record its CRC says it is.
  EXPECT_EQ(check_record(record, 0xFFFFFFFF, nullptr).verdict, RecordVerdict::kPlain);
}

// ---- encrypted logs -------------------------------------------------------------------------

TEST_F(LogTest, EncryptedRecordsReplayWithTheKey) {
  const KeyPtr key = testing::log_key();
  auto report = replay(concat({sealed(create("a"), key), sealed(insert("a", 1), key)}), key);
  ASSERT_TRUE(report);
  EXPECT_EQ(report->end, LogEnd::kClean);
  EXPECT_EQ(documents("a"), 1u);
}

TEST_F(LogTest, PlainRecordsFollowedByEncryptedOnesReplayWithTheKey) {
  const KeyPtr key = testing::log_key();
  auto report = replay(concat({plain(create("a")), sealed(insert("a", 1), key)}), key);
  ASSERT_TRUE(report);
  EXPECT_EQ(documents("a"), 1u);
}

TEST_F(LogTest, AnEncryptedRecordWithoutAKeyFailsTheReplay) {
  auto report = replay(concat({plain(create("a")), sealed(insert("a", 1), testing::log_key())}));
  ASSERT_FALSE(report);
  EXPECT_EQ(report.error().kind(), ErrorKind::kInvalidData);
  EXPECT_EQ(report.error().message(), "log is encrypted but no encryption key was provided");
}

TEST_F(LogTest, AFirstEncryptedRecordThatDoesNotDecryptFailsTheReplay) {
  auto report = replay(concat({sealed(create("a"), testing::log_key())}), testing::other_log_key());
  ASSERT_FALSE(report);
  EXPECT_EQ(report.error().message(), "decryption failed: wrong key or corrupted data");
}

TEST_F(LogTest, AnEncryptedRecordThatFailsAfterAGoodOneIsCorrupt) {
  const KeyPtr key = testing::log_key();
  const auto first = sealed(create("a"), key);
  std::vector<uint8_t> bad = sealed(insert("a", 1), key);
  flip_byte(bad, 20);
  auto report = replay(concat({first, bad, sealed(insert("a", 2), key)}), key);
  ASSERT_TRUE(report);
  EXPECT_EQ(report->end, LogEnd::kCorrupt);
  EXPECT_EQ(report->valid_length, first.size());
  EXPECT_EQ(report->problem, "decryption failed: wrong key or corrupted data");
  EXPECT_EQ(documents("a"), 0u);
}

TEST_F(LogTest, AnEnvelopeTooShortAfterAGoodOneIsCorrupt) {
  const KeyPtr key = testing::log_key();
  auto report = replay(concat({sealed(create("a"), key),
                               testing::record_with_check(std::vector<uint8_t>(27), 0xFFFFFFFF)}),
                       key);
  ASSERT_TRUE(report);
  EXPECT_EQ(report->end, LogEnd::kCorrupt);
  EXPECT_EQ(report->problem, "encrypted data too short: 27 bytes (minimum 28)");
}

// ---- the writer -----------------------------------------------------------------------------

class WriterTest : public LogTest {
 protected:
  std::unique_ptr<WalWriter> open_writer() {
    auto writer = WalWriter::open(dir_.path());
    EXPECT_TRUE(writer);
    return writer ? std::move(*writer) : nullptr;
  }
};

TEST_F(WriterTest, OpeningCreatesAnEmptyLog) {
  auto writer = open_writer();
  EXPECT_TRUE(std::filesystem::exists(log_path()));
  EXPECT_EQ(std::filesystem::file_size(log_path()), 0u);
  EXPECT_EQ(writer->size(), 0u);
}

TEST_F(WriterTest, AppendsLandAtTheEndOfAnExistingLog) {
  write_bytes(log_path(), plain(create("a")));
  auto writer = open_writer();
  const auto record = *frame_record(insert("a", 1), nullptr);
  ASSERT_TRUE(writer->append(record));
  EXPECT_EQ(read_bytes(log_path()), concat({plain(create("a")), record}));
  EXPECT_EQ(writer->size(), read_bytes(log_path()).size());
}

TEST_F(WriterTest, TruncateEmptiesTheLogAndAppendsStartOver) {
  auto writer = open_writer();
  ASSERT_TRUE(writer->append(*frame_record(create("a"), nullptr)));
  ASSERT_TRUE(writer->truncate());
  EXPECT_EQ(std::filesystem::file_size(log_path()), 0u);
  ASSERT_TRUE(writer->append(*frame_record(create("b"), nullptr)));
  EXPECT_EQ(read_bytes(log_path()), plain(create("b")));
}

TEST_F(WriterTest, CutBackDropsTheTail) {
  write_bytes(log_path(), concat({plain(create("a")), {1, 2, 3}}));
  auto writer = open_writer();
  ASSERT_TRUE(writer->cut_back(plain(create("a")).size()));
  ASSERT_TRUE(writer->append(*frame_record(create("b"), nullptr)));
  EXPECT_EQ(read_bytes(log_path()), concat({plain(create("a")), plain(create("b"))}));
}

TEST_F(WriterTest, AFailedAppendLeavesNoPartOfItsRecordBehind) {
  auto writer = open_writer();
  const auto first = *frame_record(create("a"), nullptr);
  ASSERT_TRUE(writer->append(first));
  {
    FileSizeLimit limit(first.size() + 10);
    Status appended = writer->append(*frame_record(insert("a", 1), nullptr));
    ASSERT_FALSE(appended);
    EXPECT_EQ(appended.error().message(), "File too large (os error 27)");
  }
  EXPECT_EQ(read_bytes(log_path()), first);
  // The log goes on after its last good record, and replays whole.
  ASSERT_TRUE(writer->append(*frame_record(insert("a", 2), nullptr)));
  auto report = replay_log(log_path(), nullptr,
                           [this](WalEntry&& entry) { apply_entry(database_, std::move(entry)); });
  ASSERT_TRUE(report);
  EXPECT_EQ(report->end, LogEnd::kClean);
  EXPECT_EQ(documents("a"), 1u);
}

// ---- applying entries -----------------------------------------------------------------------

class ApplyTest : public LogTest {
 protected:
  bool apply(WalEntry entry) { return apply_entry(database_, std::move(entry)); }
  std::string text_of(uint8_t n) {
    auto doc = database_.get_collection("a")->get_document(uuid_n(n));
    return doc ? doc->text : "<absent>";
  }
};

TEST_F(ApplyTest, CreateOfATakenNameIsIgnored) {
  ASSERT_TRUE(apply(create("a")));
  ASSERT_TRUE(apply(insert("a", 1)));
  EXPECT_FALSE(apply(wal::CreateCollection{"a", 5, HnswConfig{}}));
  EXPECT_EQ(database_.get_collection("a")->dimension(), 2u);
  EXPECT_EQ(documents("a"), 1u);
}

TEST_F(ApplyTest, CreateWithANameNoLiveCallAcceptsIsIgnored) {
  for (std::string bad : {std::string(""), std::string("x/y"), std::string("a\0b", 3)}) {
    EXPECT_FALSE(apply(wal::CreateCollection{bad, 2, HnswConfig{}}));
  }
  EXPECT_TRUE(names().empty());
}

TEST_F(ApplyTest, DeleteCollectionOfAnAbsentNameChangesNothing) {
  EXPECT_FALSE(apply(wal::DeleteCollection{"a"}));
  ASSERT_TRUE(apply(create("a")));
  EXPECT_TRUE(apply(wal::DeleteCollection{"a"}));
  EXPECT_TRUE(names().empty());
}

TEST_F(ApplyTest, InsertOfALiveIdChangesNothing) {
  apply(create("a"));
  ASSERT_TRUE(apply(wal::InsertDocument{"a", item(1, "first", {1, 2})}));
  EXPECT_FALSE(apply(wal::InsertDocument{"a", item(1, "second", {3, 4})}));
  EXPECT_EQ(text_of(1), "first");
  EXPECT_EQ(database_.get_collection("a")->read([](const auto& d) { return d.hnsw.node_count; }),
            1u);
}

TEST_F(ApplyTest, InsertOfADeletedIdInsertsItAgain) {
  apply(create("a"));
  apply(wal::InsertDocument{"a", item(1, "first", {1, 2})});
  apply(wal::DeleteDocument{"a", uuid_n(1)});
  ASSERT_TRUE(apply(wal::InsertDocument{"a", item(1, "second", {3, 4})}));
  EXPECT_EQ(text_of(1), "second");
}

TEST_F(ApplyTest, DeleteOfAnAbsentIdChangesNothing) {
  apply(create("a"));
  EXPECT_FALSE(apply(wal::DeleteDocument{"a", uuid_n(1)}));
  EXPECT_FALSE(apply(wal::DeleteDocument{"missing", uuid_n(1)}));
}

TEST_F(ApplyTest, EntriesForAMissingCollectionAreSkipped) {
  EXPECT_FALSE(apply(insert("a", 1)));
  EXPECT_FALSE(apply(wal::BatchInsert{"a", {item(1, "x", {1, 2})}}));
  EXPECT_FALSE(apply(wal::UpdateDocument{"a", uuid_n(1), item(1, "x", {1, 2})}));
  EXPECT_TRUE(names().empty());
}

TEST_F(ApplyTest, ABatchSkipsLiveIdsAndKeepsTheFirstOfARepeatedId) {
  apply(create("a"));
  apply(wal::InsertDocument{"a", item(1, "live", {1, 2})});
  ASSERT_TRUE(apply(wal::BatchInsert{
      "a", {item(1, "skipped", {1, 2}), item(2, "first", {1, 2}), item(2, "repeat", {3, 4})}}));
  EXPECT_EQ(text_of(1), "live");
  EXPECT_EQ(text_of(2), "first");
  EXPECT_EQ(documents("a"), 2u);
}

TEST_F(ApplyTest, ADocumentWhoseEmbeddingDoesNotFitTheCollectionIsSkipped) {
  apply(create("a"));
  EXPECT_FALSE(apply(wal::InsertDocument{"a", item(1, "short", {1})}));
  EXPECT_TRUE(apply(wal::BatchInsert{"a", {item(2, "long", {1, 2, 3}), item(3, "fits", {1, 2})}}));
  EXPECT_EQ(text_of(1), "<absent>");
  EXPECT_EQ(text_of(2), "<absent>");
  EXPECT_EQ(text_of(3), "fits");
}

TEST_F(ApplyTest, UpdateReplacesTheDocument) {
  apply(create("a"));
  apply(wal::InsertDocument{"a", item(1, "old", {1, 2})});
  ASSERT_TRUE(apply(wal::UpdateDocument{"a", uuid_n(1), item(1, "new", {3, 4})}));
  EXPECT_EQ(text_of(1), "new");
  EXPECT_EQ(documents("a"), 1u);
  // Of an absent id: an insert.
  ASSERT_TRUE(apply(wal::UpdateDocument{"a", uuid_n(2), item(2, "added", {3, 4})}));
  EXPECT_EQ(text_of(2), "added");
}

}  // namespace
}  // namespace kestrine
