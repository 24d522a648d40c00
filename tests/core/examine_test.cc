// The read-only inspection of a data directory: each snapshot's steps and exact failure text,
// where and why log replay stops, and the state opening would give, all without touching a
// byte. Every verdict is checked against what the engine itself does with the same files.
#include "core/storage/examine.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/engine/engine.h"
#include "core/storage/records.h"
#include "core/storage/snapshot.h"
#include "tests/core/document_state.h"
#include "tests/core/wal_test_support.h"

namespace kestrine {
namespace {

using testing::concat;
using testing::flip_byte;
using testing::log_key;
using testing::other_log_key;
using testing::plain_record;
using testing::read_bytes;
using testing::TempDir;
using testing::uuid_n;
using testing::write_bytes;
namespace fs = std::filesystem;

// Every file of a directory with its bytes and modification time.
using Listing = std::map<std::string, std::pair<std::vector<uint8_t>, int64_t>>;

Listing listing(const fs::path& dir) {
  Listing out;
  for (const auto& entry : fs::directory_iterator(dir)) {
    struct stat st;
    EXPECT_EQ(::stat(entry.path().c_str(), &st), 0);
    out[entry.path().filename().string()] = {
        read_bytes(entry.path()), int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec};
  }
  return out;
}

using testing::State;
using testing::state_of;

class InspectTest : public ::testing::Test {
 protected:
  fs::path dir() const { return dir_.path() / subdirectory_; }
  fs::path log_path() const { return dir() / "wal.bin"; }

  std::unique_ptr<Engine> open(const KeyPtr& key = nullptr) {
    std::vector<std::string> warnings;
    auto engine = Engine::open(dir(), key, &warnings);
    EXPECT_TRUE(engine) << engine.error().message();
    return engine ? std::move(*engine) : nullptr;
  }
  static void insert(Engine& engine, const std::string& name, uint8_t n) {
    auto document =
        std::make_shared<Document>(Document{uuid_n(n), "text " + std::to_string(n), {}});
    ASSERT_TRUE(
        engine.insert(name, NewDocument{document, {1.0f, float(n)}, format_uuid(uuid_n(n))}));
  }
  // Collection "a" with documents 1..3 (2 deleted) in a snapshot, then 4 and 5 in the log.
  void fill(const KeyPtr& key = nullptr, bool raw_vectors = false) {
    auto engine = open(key);
    HnswConfig config;
    config.store_raw_vectors = raw_vectors;
    ASSERT_TRUE(engine->create_collection("a", 2, config));
    for (uint8_t n = 1; n <= 3; ++n) insert(*engine, "a", n);
    ASSERT_TRUE(engine->delete_document("a", format_uuid(uuid_n(2))));
    ASSERT_TRUE(engine->compact());
    insert(*engine, "a", 4);
    insert(*engine, "a", 5);
  }

  TempDir dir_;
  std::string subdirectory_ = "data";
};

// ---- snapshots ------------------------------------------------------------------------------

struct SnapshotCase {
  const char* name;
  std::function<void(std::vector<uint8_t>&)> damage;  // applied to a checksummed file
  bool encrypted_with_key = false;                    // written encrypted under log_key()
  enum Reader { kNoKey, kRightKey, kOtherKey } reader = kNoKey;
  IntegrityCheck check;
  std::optional<SnapshotStep> failed_step;
};

void PrintTo(const SnapshotCase& c, std::ostream* os) { *os << c.name; }

class SnapshotInspectTest : public InspectTest,
                            public ::testing::WithParamInterface<SnapshotCase> {};

TEST_P(SnapshotInspectTest, StepsAndTextAgreeWithReading) {
  const SnapshotCase& c = GetParam();
  Collection collection("a", 2, HnswConfig{});
  ASSERT_TRUE(collection.insert_document(std::make_shared<Document>(Document{uuid_n(1), "one", {}}),
                                         std::vector<float>{1, 2}));
  auto data = collection.read([](const CollectionData& d) { return d; });
  std::vector<uint8_t> file =
      *encode_snapshot(data, c.encrypted_with_key ? log_key().get() : nullptr);
  if (c.damage) c.damage(file);
  fs::create_directories(dir());
  const fs::path path = dir() / "a.kestrine";
  write_bytes(path, file);

  KeyPtr key = c.reader == SnapshotCase::kRightKey   ? log_key()
               : c.reader == SnapshotCase::kOtherKey ? other_log_key()
                                                     : nullptr;
  const Listing before = listing(dir());
  SnapshotInspection inspected = inspect_snapshot(path, key.get());
  EXPECT_EQ(listing(dir()), before);

  EXPECT_EQ(inspected.file_name, "a.kestrine");
  EXPECT_EQ(inspected.file_size, file.size());
  EXPECT_EQ(inspected.check, c.check);
  EXPECT_EQ(inspected.failed_step, c.failed_step);
  auto read = read_snapshot_data(path, key.get());
  if (c.failed_step) {
    EXPECT_FALSE(inspected.loadable);
    EXPECT_FALSE(inspected.collection);
    if (*c.failed_step == SnapshotStep::kName) {
      EXPECT_EQ(inspected.error, "invalid collection name: ''");
    } else {
      ASSERT_FALSE(read);
      EXPECT_EQ(inspected.error, read.error().message());
    }
  } else {
    ASSERT_TRUE(read) << read.error().message();
    EXPECT_TRUE(inspected.loadable);
    EXPECT_TRUE(inspected.error.empty()) << inspected.error;
    ASSERT_TRUE(inspected.collection);
    EXPECT_EQ(inspected.collection->name, "a");
    EXPECT_EQ(inspected.collection->live_documents, 1u);
  }
  EXPECT_EQ(inspected.decoded, !c.failed_step || *c.failed_step >= SnapshotStep::kValidate);
}

// The payload's layout: name "a" (9 bytes), dimension (8), then the documents map's count.
constexpr size_t kDimensionOffset = 9;

INSTANTIATE_TEST_SUITE_P(
    Forms, SnapshotInspectTest,
    ::testing::Values(
        SnapshotCase{"checksummed", nullptr, false, SnapshotCase::kNoKey, IntegrityCheck::kPassed,
                     std::nullopt},
        SnapshotCase{"bare", [](auto& f) { f.erase(f.end() - 8, f.end()); }, false,
                     SnapshotCase::kNoKey, IntegrityCheck::kNone, std::nullopt},
        SnapshotCase{"encrypted", nullptr, true, SnapshotCase::kRightKey, IntegrityCheck::kPassed,
                     std::nullopt},
        SnapshotCase{"crc_mismatch", [](auto& f) { flip_byte(f, 20); }, false, SnapshotCase::kNoKey,
                     IntegrityCheck::kFailed, SnapshotStep::kCheck},
        SnapshotCase{"missing_key", nullptr, true, SnapshotCase::kNoKey,
                     IntegrityCheck::kMissingKey, SnapshotStep::kCheck},
        SnapshotCase{"wrong_key", nullptr, true, SnapshotCase::kOtherKey, IntegrityCheck::kFailed,
                     SnapshotStep::kCheck},
        SnapshotCase{"damaged_envelope", [](auto& f) { flip_byte(f, f.size() - 1); }, true,
                     SnapshotCase::kRightKey, IntegrityCheck::kFailed, SnapshotStep::kCheck},
        SnapshotCase{"undecodable_bare", [](auto& f) { f.resize(30); }, false, SnapshotCase::kNoKey,
                     IntegrityCheck::kNone, SnapshotStep::kDecode},
        // A dimension that disagrees with the graph's, CRC fixed up: decodes, fails rule 1.
        SnapshotCase{"invalid",
                     [](auto& f) {
                       testing::put_u64_le(f, kDimensionOffset, 3);
                       const uint32_t crc = crc32(std::span<const uint8_t>(f).first(f.size() - 8));
                       testing::put_u32_be(f.data() + f.size() - 4, crc);
                     },
                     false, SnapshotCase::kNoKey, IntegrityCheck::kPassed, SnapshotStep::kValidate},
        // The name "a" made empty (its length byte zeroed, its byte dropped), CRC dropped too.
        SnapshotCase{"unusable_name",
                     [](auto& f) {
                       f.erase(f.begin() + 8);
                       f[0] = 0;
                       f.erase(f.end() - 8, f.end());
                     },
                     false, SnapshotCase::kNoKey, IntegrityCheck::kNone, SnapshotStep::kName}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(InspectTest, AnUnreadableSnapshotFailsAtReading) {
  fs::create_directories(dir() / "x.kestrine");  // a directory under a snapshot's name
  SnapshotInspection inspected = inspect_snapshot(dir() / "x.kestrine", nullptr);
  EXPECT_EQ(inspected.failed_step, SnapshotStep::kRead);
  EXPECT_EQ(inspected.error, read_snapshot_data(dir() / "x.kestrine", nullptr).error().message());
}

TEST_F(InspectTest, SummaryCountsLiveDocumentsDeletedNodesAndExactVectors) {
  for (bool raw : {false, true}) {
    SCOPED_TRACE(raw);
    subdirectory_ = raw ? "raw" : "codes";
    fill(nullptr, raw);
    SnapshotInspection inspected = inspect_snapshot(dir() / "a.kestrine", nullptr);
    ASSERT_TRUE(inspected.collection);
    const CollectionSummary& s = *inspected.collection;
    EXPECT_EQ(s.dimension, 2u);
    EXPECT_EQ(s.node_count, 3u);
    EXPECT_EQ(s.live_documents, 2u);
    EXPECT_EQ(s.deleted_nodes, 1u);
    EXPECT_EQ(s.exact_vectors, raw);
    EXPECT_EQ(s.config.store_raw_vectors, raw);
    auto engine = open();
    auto collection = *engine->find_collection("a");
    // The snapshot lacks the two logged documents; compare after a compact.
    ASSERT_TRUE(engine->compact());
    inspected = inspect_snapshot(dir() / "a.kestrine", nullptr);
    EXPECT_EQ(inspected.collection->memory_bytes, collection->estimate_memory());
  }
}

// ---- the log --------------------------------------------------------------------------------

struct LogCase {
  const char* name;
  bool encrypted;
  enum Reader { kNoKey, kRightKey, kOtherKey } reader;
  // Changes the log; returns the offset replay must stop at (or -1: the whole file).
  std::function<int64_t(std::vector<uint8_t>&, const std::vector<uint64_t>& record_starts)> damage;
  LogEnd end;
  LogRefusal refusal;
  uint64_t records;
};

void PrintTo(const LogCase& c, std::ostream* os) { *os << c.name; }

class LogInspectTest : public InspectTest, public ::testing::WithParamInterface<LogCase> {};

// Offsets where each record of a log starts, from its headers.
std::vector<uint64_t> record_starts(const std::vector<uint8_t>& log) {
  std::vector<uint64_t> starts;
  for (uint64_t at = 0; at + kWalHeaderSize <= log.size();) {
    starts.push_back(at);
    const uint32_t length = uint32_t{log[at]} << 24 | uint32_t{log[at + 1]} << 16 |
                            uint32_t{log[at + 2]} << 8 | uint32_t{log[at + 3]};
    at += kWalHeaderSize + length;
  }
  return starts;
}

TEST_P(LogInspectTest, StopsWhereReplayStopsAndChangesNothing) {
  const LogCase& c = GetParam();
  const KeyPtr writer_key = c.encrypted ? log_key() : nullptr;
  {
    auto engine = open(writer_key);
    ASSERT_TRUE(engine->create_collection("a", 2, HnswConfig{}));
    for (uint8_t n = 1; n <= 3; ++n) insert(*engine, "a", n);
    ASSERT_TRUE(engine->delete_document("a", format_uuid(uuid_n(1))));
  }
  std::vector<uint8_t> log = read_bytes(log_path());
  const std::vector<uint64_t> starts = record_starts(log);
  ASSERT_EQ(starts.size(), 5u);
  const int64_t stop = c.damage ? c.damage(log, starts) : -1;
  write_bytes(log_path(), log);

  const KeyPtr key = c.reader == LogCase::kRightKey   ? log_key()
                     : c.reader == LogCase::kOtherKey ? other_log_key()
                                                      : nullptr;
  const Listing before = listing(dir());
  auto inspected = inspect_log(dir(), key.get());
  ASSERT_TRUE(inspected) << inspected.error().message();
  auto state = open_read_only(dir(), key.get());
  EXPECT_EQ(listing(dir()), before);

  EXPECT_TRUE(inspected->present);
  EXPECT_EQ(inspected->file_size, log.size());
  EXPECT_EQ(inspected->records, c.records);
  EXPECT_EQ(inspected->end, c.end);
  EXPECT_EQ(inspected->refusal, c.refusal);
  EXPECT_EQ(inspected->stop_offset, stop < 0 ? log.size() : static_cast<uint64_t>(stop));

  // What opening for real does with the same log.
  std::vector<std::string> warnings;
  auto engine = Engine::open(dir(), key, &warnings);
  if (c.refusal != LogRefusal::kNone) {
    ASSERT_FALSE(engine);
    EXPECT_EQ(inspected->open_error, engine.error().message());
    ASSERT_FALSE(state);
    EXPECT_EQ(state.error().message(), engine.error().message());
    EXPECT_EQ(listing(dir()), before);
    return;
  }
  ASSERT_TRUE(engine) << engine.error().message();
  ASSERT_TRUE(state) << state.error().message();
  EXPECT_EQ(state_of(*state->database), state_of((*engine)->database()));
  EXPECT_EQ(state->log.valid_length, inspected->stop_offset);
  // Opening cut the log back to where inspection said replay stops.
  EXPECT_EQ(fs::file_size(log_path()), inspected->stop_offset);
  EXPECT_EQ(inspected->problem.empty(), c.end != LogEnd::kCorrupt);
}

// The log of the test: create, insert 1, insert 2, insert 3, delete 1.
INSTANTIATE_TEST_SUITE_P(
    Endings, LogInspectTest,
    ::testing::Values(
        LogCase{"clean", false, LogCase::kNoKey, nullptr, LogEnd::kClean, LogRefusal::kNone, 5},
        LogCase{"clean_encrypted", true, LogCase::kRightKey, nullptr, LogEnd::kClean,
                LogRefusal::kNone, 5},
        LogCase{"torn_tail", false, LogCase::kNoKey,
                [](auto& log, const auto& starts) {
                  log.erase(log.end() - 3, log.end());
                  return int64_t(starts[4]);
                },
                LogEnd::kTornTail, LogRefusal::kNone, 4},
        LogCase{"torn_header", false, LogCase::kNoKey,
                [](auto& log, const auto&) {
                  const auto end = int64_t(log.size());
                  log.insert(log.end(), {0, 0, 0});
                  return end;
                },
                LogEnd::kTornTail, LogRefusal::kNone, 5},
        LogCase{"crc_mismatch", false, LogCase::kNoKey,
                [](auto& log, const auto& starts) {
                  flip_byte(log, starts[2] + kWalHeaderSize + 2);
                  return int64_t(starts[2]);
                },
                LogEnd::kCorrupt, LogRefusal::kNone, 2},
        LogCase{"damaged_encrypted_record", true, LogCase::kRightKey,
                [](auto& log, const auto& starts) {
                  flip_byte(log, starts[3] + kWalHeaderSize + 20);
                  return int64_t(starts[3]);
                },
                LogEnd::kCorrupt, LogRefusal::kNone, 3},
        LogCase{"missing_key", true, LogCase::kNoKey, [](auto&, const auto&) { return 0; },
                LogEnd::kClean, LogRefusal::kMissingKey, 0},
        LogCase{"wrong_key", true, LogCase::kOtherKey, [](auto&, const auto&) { return 0; },
                LogEnd::kClean, LogRefusal::kWrongKey, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(InspectTest, LogCountsRecordsByKindAndUndecodableOnes) {
  fill();
  // An entry with an unknown tag, well framed: replay skips it and goes on.
  std::vector<uint8_t> log = read_bytes(log_path());
  const std::vector<uint8_t> unknown = {6, 0, 0, 0};
  const uint64_t unknown_at = log.size();
  log = concat({log, plain_record(unknown)});
  write_bytes(log_path(), log);
  auto engine = open();
  insert(*engine, "a", 6);
  engine.reset();

  auto inspected = inspect_log(dir(), nullptr);
  ASSERT_TRUE(inspected);
  EXPECT_EQ(inspected->records, 4u);
  EXPECT_EQ(inspected->encrypted, 0u);
  EXPECT_EQ(inspected->entries_by_kind[2], 3u);  // InsertDocument
  EXPECT_EQ(inspected->undecodable, 1u);
  EXPECT_EQ(inspected->first_undecodable_offset, unknown_at);
  EXPECT_EQ(inspected->first_undecodable_error,
            "invalid value: integer `6`, expected variant index 0 <= i < 6");
  EXPECT_FALSE(inspected->sound());
  auto state = open_read_only(dir(), nullptr);
  ASSERT_TRUE(state);
  EXPECT_EQ(state_of(*state->database)["a"].size(), 5u);
}

TEST_F(InspectTest, AMissingLogIsEmptyAndAMissingDirectoryIsAnEmptyDatabase) {
  auto log = inspect_log(dir(), nullptr);
  ASSERT_TRUE(log);
  EXPECT_FALSE(log->present);
  EXPECT_TRUE(log->sound());
  auto state = open_read_only(dir(), nullptr);
  ASSERT_TRUE(state);
  EXPECT_EQ(state->database->collection_count(), 0u);
  EXPECT_FALSE(fs::exists(dir()));
  EXPECT_FALSE(inspect_directory(dir(), nullptr));
}

// ---- the whole directory ----------------------------------------------------------------------

TEST_F(InspectTest, DirectoryListsSnapshotsTheLogAndOtherFiles) {
  fill(log_key());
  write_bytes(dir() / "b.kestrine.tmp", std::vector<uint8_t>(5, 1));
  write_bytes(dir() / "wal.bin.corrupt", std::vector<uint8_t>(7, 1));
  write_bytes(dir() / "notes.txt", std::vector<uint8_t>(3, 1));
  const Listing before = listing(dir());
  auto inspected = inspect_directory(dir(), log_key().get());
  ASSERT_TRUE(inspected) << inspected.error().message();
  EXPECT_EQ(listing(dir()), before);

  ASSERT_EQ(inspected->snapshots.size(), 1u);
  EXPECT_EQ(inspected->snapshots[0].form, SnapshotForm::kEncrypted);
  EXPECT_TRUE(inspected->snapshots[0].loadable);
  EXPECT_EQ(inspected->log.records, 2u);
  EXPECT_EQ(inspected->log.encrypted, 2u);
  std::map<std::string, std::pair<uint64_t, OtherFile::Kind>> others;
  for (const OtherFile& f : inspected->other_files) others[f.file_name] = {f.file_size, f.kind};
  EXPECT_EQ(others, (std::map<std::string, std::pair<uint64_t, OtherFile::Kind>>{
                        {"b.kestrine.tmp", {5, OtherFile::Kind::kTemporarySnapshot}},
                        {"notes.txt", {3, OtherFile::Kind::kOther}},
                        {"wal.bin.corrupt", {7, OtherFile::Kind::kCorruptLogTail}}}));
}

TEST_F(InspectTest, ReadOnlyStateIsOpeningsStateWithTheSameWarnings) {
  fill();
  // A second snapshot file that cannot be read: opening skips it with a warning.
  write_bytes(dir() / "broken.kestrine", std::vector<uint8_t>{1, 2, 3});
  const Listing before = listing(dir());
  auto state = open_read_only(dir(), nullptr);
  ASSERT_TRUE(state) << state.error().message();
  EXPECT_EQ(listing(dir()), before);

  std::vector<std::string> warnings;
  auto engine = Engine::open(dir(), nullptr, &warnings);
  ASSERT_TRUE(engine);
  EXPECT_EQ(state->warnings, warnings);
  EXPECT_EQ(state_of(*state->database), state_of((*engine)->database()));
  EXPECT_EQ(state_of(*state->database)["a"].size(), 4u);
}

}  // namespace
}  // namespace kestrine
