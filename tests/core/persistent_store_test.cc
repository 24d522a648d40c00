// A persistent database's life on disk: opening (snapshots, then the log), logging every
// change, save, load and compact as checkpoints, and what is kept, cut or set aside.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "core/engine/engine.h"
#include "core/storage/records.h"
#include "core/storage/snapshot.h"
#include "core/storage/wal_writer.h"
#include "tests/core/document_state.h"
#include "tests/core/wal_test_support.h"

namespace kestrine {
namespace {

using testing::concat;
using testing::FileSizeLimit;
using testing::flip_byte;
using testing::read_bytes;
using testing::TempDir;
using testing::uuid_n;
using testing::write_bytes;
namespace fs = std::filesystem;

using testing::State;
using testing::state_of;

class LifecycleTest : public ::testing::Test {
 protected:
  fs::path dir() const { return dir_.path() / "data"; }
  fs::path log_path() const { return dir() / "wal.bin"; }
  uint64_t log_size() const { return fs::file_size(log_path()); }

  Result<std::unique_ptr<Engine>> try_open(const KeyPtr& key = nullptr) {
    warnings_.clear();
    return Engine::open(dir(), key, &warnings_, checkpoint_bytes_);
  }
  std::unique_ptr<Engine> open(const KeyPtr& key = nullptr) {
    auto engine = try_open(key);
    EXPECT_TRUE(engine) << engine.error().message();
    return engine ? std::move(*engine) : nullptr;
  }

  static void create(Engine& engine, const std::string& name) {
    ASSERT_TRUE(engine.create_collection(name, 2, HnswConfig{}));
  }
  static Result<Uuid> insert(Engine& engine, const std::string& name, uint8_t n,
                             const std::string& text) {
    auto document = std::make_shared<Document>(Document{uuid_n(n), text, {{"n", int64_t{n}}}});
    return engine.insert(name, NewDocument{document, {1.0f, float(n)}, format_uuid(uuid_n(n))});
  }
  static Result<bool> remove(Engine& engine, const std::string& name, uint8_t n) {
    return engine.delete_document(name, format_uuid(uuid_n(n)));
  }
  // Collections a (documents 1, 2) and b (document 3).
  static void fill(Engine& engine) {
    create(engine, "a");
    create(engine, "b");
    ASSERT_TRUE(insert(engine, "a", 1, "one"));
    ASSERT_TRUE(insert(engine, "a", 2, "two"));
    ASSERT_TRUE(insert(engine, "b", 3, "three"));
  }

  TempDir dir_;
  std::vector<std::string> warnings_;
  std::optional<uint64_t> checkpoint_bytes_;  // passed to every opening
};

// ---- opening --------------------------------------------------------------------------------

TEST_F(LifecycleTest, ANewDataDirIsCreatedWithAnEmptyLog) {
  auto engine = open();
  EXPECT_TRUE(engine->persistent());
  EXPECT_TRUE(fs::is_directory(dir()));
  EXPECT_EQ(log_size(), 0u);
  EXPECT_TRUE(warnings_.empty());
}

TEST_F(LifecycleTest, ReopeningAfterChangesRestoresThemFromTheLogAlone) {
  State before;
  {
    auto engine = open();
    fill(*engine);
    ASSERT_TRUE(remove(*engine, "a", 1));
    ASSERT_TRUE(engine->delete_collection("b"));
    before = state_of(*engine);
  }
  EXPECT_FALSE(fs::exists(dir() / "a.kestrine"));
  EXPECT_EQ(state_of(*open()), before);
  EXPECT_EQ(before, (State{{"a", {{format_uuid(uuid_n(2)), "two"}}}}));
}

TEST_F(LifecycleTest, ReopeningAfterCompactRestoresFromTheSnapshotsAlone) {
  State before;
  {
    auto engine = open();
    fill(*engine);
    ASSERT_TRUE(engine->compact());
    before = state_of(*engine);
  }
  EXPECT_EQ(log_size(), 0u);
  EXPECT_TRUE(fs::exists(dir() / "a.kestrine"));
  EXPECT_TRUE(fs::exists(dir() / "b.kestrine"));
  EXPECT_EQ(state_of(*open()), before);
}

TEST_F(LifecycleTest, ReplayOverSnapshotsThatAlreadyHoldTheChangesChangesNothing) {
  State before;
  {
    auto engine = open();
    fill(*engine);
    fs::copy_file(log_path(), dir_.path() / "old-wal.bin");
    ASSERT_TRUE(engine->compact());
    before = state_of(*engine);
  }
  fs::copy_file(dir_.path() / "old-wal.bin", log_path(), fs::copy_options::overwrite_existing);
  auto engine = open();
  EXPECT_EQ(state_of(*engine), before);
  // No document was indexed twice.
  EXPECT_EQ((*engine->find_collection("a"))->read([](const auto& d) { return d.hnsw.node_count; }),
            2u);
}

TEST_F(LifecycleTest, CreateOfATakenNameIsLoggedThenFailsAndIsIgnoredOnReplay) {
  auto engine = open();
  create(*engine, "a");
  ASSERT_TRUE(insert(*engine, "a", 1, "kept"));
  const uint64_t size = log_size();
  Status again = engine->create_collection("a", 7, HnswConfig{});
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().message(), "Collection 'a' already exists");
  EXPECT_EQ(log_size(), size + 8 + 4 + 9 + 8 + kHnswConfigSize);
  engine.reset();
  engine = open();
  EXPECT_EQ((*engine->find_collection("a"))->dimension(), 2u);
  EXPECT_EQ(state_of(*engine)["a"].size(), 1u);
}

TEST_F(LifecycleTest, DeletesOfAbsentCollectionsAndDocumentsAreLoggedToo) {
  auto engine = open();
  create(*engine, "a");
  uint64_t size = log_size();
  EXPECT_EQ(engine->delete_collection("ghost"), false);
  EXPECT_GT(log_size(), size);
  size = log_size();
  EXPECT_EQ(remove(*engine, "a", 9), false);
  EXPECT_GT(log_size(), size);
}

TEST_F(LifecycleTest, RejectedCallsWriteNothing) {
  auto engine = open();
  create(*engine, "a");
  ASSERT_TRUE(insert(*engine, "a", 1, "x"));
  const uint64_t size = log_size();
  EXPECT_FALSE(engine->create_collection("x/y", 2, HnswConfig{}));
  EXPECT_FALSE(engine->create_collection("", 2, HnswConfig{}));
  auto doc = [](uint8_t n) { return std::make_shared<Document>(Document{uuid_n(n), "t", {}}); };
  EXPECT_FALSE(engine->insert("a", NewDocument{doc(2), {1, 2, 3}, "2"}));  // dimension
  EXPECT_FALSE(engine->insert("a", NewDocument{doc(1), {1, 2}, "1"}));     // live id
  std::vector<NewDocument> batch;
  batch.push_back({doc(4), {1, 2}, "4"});
  batch.push_back({doc(4), {1, 2}, "4"});
  EXPECT_FALSE(engine->batch_insert("a", std::move(batch)));  // repeated in the batch
  EXPECT_EQ(log_size(), size);
}

TEST_F(LifecycleTest, AnEmptyBatchIsLoggedAsOneRecord) {
  auto engine = open();
  create(*engine, "a");
  const uint64_t size = log_size();
  auto ids = engine->batch_insert("a", {});
  ASSERT_TRUE(ids);
  EXPECT_TRUE(ids->empty());
  EXPECT_EQ(log_size(), size + 8 + 4 + 9 + 8);
}

TEST_F(LifecycleTest, TwoSnapshotsStoringTheSameNameTheLaterListedWins) {
  {
    auto engine = open();
    create(*engine, "a");
    ASSERT_TRUE(insert(*engine, "a", 1, "first file"));
    ASSERT_TRUE(engine->compact());
    fs::rename(dir() / "a.kestrine", dir() / "x.kestrine");
    ASSERT_TRUE(remove(*engine, "a", 1));
    ASSERT_TRUE(insert(*engine, "a", 2, "second file"));
    ASSERT_TRUE(engine->compact());
  }
  // The listing order is the file system's: find it out the same way opening does.
  std::vector<std::string> listed;
  for (const auto& entry : fs::directory_iterator(dir())) {
    if (entry.path().extension() == ".kestrine") listed.push_back(entry.path().filename());
  }
  ASSERT_EQ(listed.size(), 2u);
  const std::string expected = listed.back() == "x.kestrine" ? "first file" : "second file";
  auto engine = open();
  ASSERT_EQ(state_of(*engine)["a"].size(), 1u);
  EXPECT_EQ(state_of(*engine)["a"].begin()->second, expected);
}

TEST_F(LifecycleTest, ASnapshotStoringAnInvalidNameIsSkippedWithAWarning) {
  fs::create_directories(dir());
  Collection bad("x/y", 2, HnswConfig{});
  auto file = bad.read([](const CollectionData& data) { return *encode_snapshot(data, nullptr); });
  write_bytes(dir() / "bad.kestrine", file);
  auto engine = open();
  EXPECT_TRUE(engine->list_collections().empty());
  ASSERT_EQ(warnings_.size(), 1u);
  EXPECT_EQ(warnings_[0], "skipped snapshot '" + (dir() / "bad.kestrine").string() +
                              "': invalid collection name: 'x/y'");
}

struct UnreadableCase {
  const char* name;
  bool encrypt;
  bool open_with_key;
  bool corrupt;
  std::string cause;  // after "skipped snapshot '<path>': "
};

class UnreadableSnapshotTest : public LifecycleTest,
                               public ::testing::WithParamInterface<UnreadableCase> {};

TEST_P(UnreadableSnapshotTest, IsSkippedWithOneWarningNamingItAndTheCause) {
  const UnreadableCase& c = GetParam();
  fs::create_directories(dir());
  Collection a("a", 2, HnswConfig{});
  const KeyPtr written_with = c.encrypt ? testing::other_log_key() : nullptr;
  auto file = a.read(
      [&](const CollectionData& data) { return *encode_snapshot(data, written_with.get()); });
  if (c.corrupt) flip_byte(file, 0);
  const fs::path path = dir() / "a.kestrine";
  write_bytes(path, file);
  Collection b("b", 2, HnswConfig{});
  write_bytes(dir() / "b.kestrine", b.read([&](const CollectionData& data) {
    return *encode_snapshot(data, c.open_with_key ? testing::log_key().get() : nullptr);
  }));
  auto engine = open(c.open_with_key ? testing::log_key() : nullptr);
  EXPECT_EQ(engine->list_collections(), std::vector<std::string>{"b"});
  ASSERT_EQ(warnings_.size(), 1u);
  std::string cause = c.cause;
  if (auto at = cause.find("<path>"); at != std::string::npos) cause.replace(at, 6, path.string());
  EXPECT_EQ(warnings_[0], "skipped snapshot '" + path.string() + "': " + cause);
}

INSTANTIATE_TEST_SUITE_P(
    EveryCause, UnreadableSnapshotTest,
    ::testing::Values(
        UnreadableCase{"CrcMismatch", false, false, true,
                       "Snapshot CRC32 mismatch: expected 0xd3bb5bd9, got 0x10a8806d. File may be "
                       "corrupted: <path>"},
        UnreadableCase{"EncryptedWithoutKey", true, false, false,
                       "snapshot <path> is encrypted but no encryption key was provided"},
        UnreadableCase{"WrongKey", true, true, false,
                       "decryption failed: wrong key or corrupted data"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LifecycleTest, OnlyFilesWhoseExtensionIsExactlyKestrineAreRead) {
  fs::create_directories(dir());
  for (const char* name : {"a.kestrine.tmp", "a.kestrine.bak", ".kestrine", "a.KESTRINE", "a"}) {
    write_bytes(dir() / name, std::vector<uint8_t>{1, 2, 3});
  }
  auto engine = open();
  EXPECT_TRUE(engine->list_collections().empty());
  EXPECT_TRUE(warnings_.empty());
}

TEST_F(LifecycleTest, ADataDirThatIsAFileCannotBeListed) {
  fs::create_directories(dir_.path());
  write_bytes(dir(), std::vector<uint8_t>{1});
  auto engine = try_open();
  ASSERT_FALSE(engine);
  EXPECT_EQ(engine.error().message(), "failed to load snapshots from '" + dir().string() +
                                          "': Not a directory (os error 20)");
}

TEST_F(LifecycleTest, ADataDirThatCannotBeCreatedFailsToOpenTheLog) {
  write_bytes(dir_.path() / "file", std::vector<uint8_t>{1});
  warnings_.clear();
  auto engine = Engine::open(dir_.path() / "file" / "data", nullptr, &warnings_);
  ASSERT_FALSE(engine);
  EXPECT_EQ(engine.error().message(), "failed to open WAL: Not a directory (os error 20)");
}

TEST_F(LifecycleTest, ALogThatIsADirectoryCannotBeOpened) {
  fs::create_directories(log_path());
  auto engine = try_open();
  ASSERT_FALSE(engine);
  EXPECT_EQ(engine.error().message(), "failed to open WAL: Is a directory (os error 21)");
}

// ---- one writer per directory ----------------------------------------------------------------

TEST_F(LifecycleTest, ASecondOpeningIsRefusedUntilTheFirstIsGone) {
  auto files = [this] {
    std::map<std::string, std::vector<uint8_t>> out;
    for (const auto& entry : fs::directory_iterator(dir())) {
      out[entry.path().filename().string()] = read_bytes(entry.path());
    }
    return out;
  };
  auto first = open();
  fill(*first);
  const auto before = files();
  const std::string pid = std::to_string(::getpid());
  EXPECT_TRUE(before.at("LOCK").empty());
  for (const KeyPtr& key : {KeyPtr(), testing::log_key()}) {
    auto second = try_open(key);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().kind(), ErrorKind::kIo);
    EXPECT_EQ(second.error().message(), "data directory '" + dir().string() +
                                            "' is in use by another Kestrine instance (process " +
                                            pid + ")");
    EXPECT_EQ(files(), before);
  }
  // Checkpoints rewrite the directory around the lock file and keep it.
  ASSERT_TRUE(first->compact());
  ASSERT_TRUE(first->delete_collection("b"));
  ASSERT_TRUE(first->compact());
  EXPECT_FALSE(try_open());
  first.reset();
  auto reopened = open();
  ASSERT_NE(reopened, nullptr);
  EXPECT_EQ(reopened->list_collections(), std::vector<std::string>{"a"});
  // A failed opening (here, no key for an encrypted log) lets the lock go.
  reopened.reset();
  fs::remove_all(dir());
  {
    ASSERT_TRUE(open(testing::log_key())->create_collection("c", 2, HnswConfig{}));
  }
  EXPECT_FALSE(try_open());
  EXPECT_TRUE(try_open(testing::log_key()));
}

// ---- a log that ends early ------------------------------------------------------------------

TEST_F(LifecycleTest, ATornTailIsCutOffAndRecordsAppendedAfterItReplay) {
  uint64_t good = 0;
  {
    auto engine = open();
    fill(*engine);
    good = log_size();
  }
  auto torn = read_bytes(log_path());
  const auto extra = *frame_record(wal::DeleteDocument{"a", uuid_n(1)}, nullptr);
  torn.insert(torn.end(), extra.begin(), extra.end() - 1);
  write_bytes(log_path(), torn);
  {
    auto engine = open();
    EXPECT_TRUE(warnings_.empty());
    EXPECT_EQ(log_size(), good);
    EXPECT_EQ(state_of(*engine)["a"].size(), 2u);  // the torn delete was never acknowledged
    ASSERT_TRUE(insert(*engine, "b", 4, "after the cut"));
  }
  EXPECT_EQ(state_of(*open())["b"][format_uuid(uuid_n(4))], "after the cut");
}

TEST_F(LifecycleTest, ACorruptRecordSetsTheRestAsideWarnsAndCutsTheLogBack) {
  uint64_t good = 0;
  {
    auto engine = open();
    create(*engine, "a");
    ASSERT_TRUE(insert(*engine, "a", 1, "before"));
    good = log_size();
    ASSERT_TRUE(insert(*engine, "a", 2, "flipped"));
    ASSERT_TRUE(insert(*engine, "a", 3, "after"));
  }
  auto bytes = read_bytes(log_path());
  flip_byte(bytes, good + 20);
  write_bytes(log_path(), bytes);
  const fs::path side = dir() / "wal.bin.corrupt";
  {
    auto engine = open();
    ASSERT_EQ(warnings_.size(), 1u);
    const std::string& warning = warnings_[0];
    std::string start = "WAL replay stopped at a corrupt record at offset ";
    start.append(std::to_string(good)).append(" of '").append(log_path().string());
    start.append("' (CRC mismatch: expected 0x");
    EXPECT_TRUE(warning.starts_with(start)) << warning;
    std::string end = "); the log from there on was not replayed and was moved to '";
    end.append(side.string()).append("'");
    EXPECT_TRUE(warning.ends_with(end)) << warning;
    EXPECT_EQ(read_bytes(side), std::vector<uint8_t>(bytes.begin() + good, bytes.end()));
    EXPECT_EQ(log_size(), good);
    EXPECT_EQ(state_of(*engine)["a"],
              (std::map<std::string, std::string>{{format_uuid(uuid_n(1)), "before"}}));
    ASSERT_TRUE(insert(*engine, "a", 4, "new"));
  }
  auto engine = open();
  EXPECT_TRUE(warnings_.empty());
  EXPECT_EQ(state_of(*engine)["a"].size(), 2u);
}

TEST_F(LifecycleTest, SideFilesTakeTheFirstFreeName) {
  fs::create_directories(dir());
  write_bytes(dir() / "wal.bin.corrupt", std::vector<uint8_t>{1});
  write_bytes(dir() / "wal.bin.corrupt.1", std::vector<uint8_t>{2});
  auto record = *frame_record(wal::DeleteCollection{"a"}, nullptr);
  flip_byte(record, 10);
  write_bytes(log_path(), record);
  auto engine = open();
  ASSERT_EQ(warnings_.size(), 1u);
  EXPECT_NE(warnings_[0].find("wal.bin.corrupt.2'"), std::string::npos);
  EXPECT_EQ(read_bytes(dir() / "wal.bin.corrupt.2"), record);
  EXPECT_EQ(read_bytes(dir() / "wal.bin.corrupt"), std::vector<uint8_t>{1});
  EXPECT_EQ(read_bytes(dir() / "wal.bin.corrupt.1"), std::vector<uint8_t>{2});
  EXPECT_EQ(log_size(), 0u);
}

struct KeyMismatch {
  const char* name;
  KeyPtr (*key)();
  std::string message;
};

class KeyMismatchTest : public LifecycleTest, public ::testing::WithParamInterface<KeyMismatch> {};

TEST_P(KeyMismatchTest, AnEncryptedLogFailsToOpenAndNoFileChanges) {
  {
    auto engine = open(testing::log_key());
    fill(*engine);
  }
  const auto bytes = read_bytes(log_path());
  auto engine = try_open(GetParam().key());
  ASSERT_FALSE(engine);
  EXPECT_EQ(engine.error().message(), GetParam().message);
  EXPECT_EQ(read_bytes(log_path()), bytes);
  EXPECT_FALSE(fs::exists(dir() / "wal.bin.corrupt"));
}

INSTANTIATE_TEST_SUITE_P(
    EveryCase, KeyMismatchTest,
    ::testing::Values(
        KeyMismatch{"WithoutAKey", [] { return KeyPtr(); },
                    "WAL replay failed: log is encrypted but no encryption key was provided"},
        KeyMismatch{"WithAWrongKey", testing::other_log_key,
                    "WAL replay failed: decryption failed: wrong key or corrupted data"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LifecycleTest, AnEncryptedRecordThatFailsAfterAGoodOneIsSetAside) {
  uint64_t good = 0;
  {
    auto engine = open(testing::log_key());
    create(*engine, "a");
    good = log_size();
    ASSERT_TRUE(insert(*engine, "a", 1, "damaged"));
  }
  auto bytes = read_bytes(log_path());
  flip_byte(bytes, bytes.size() - 1);
  write_bytes(log_path(), bytes);
  auto engine = open(testing::log_key());
  ASSERT_EQ(warnings_.size(), 1u);
  EXPECT_NE(warnings_[0].find("(decryption failed: wrong key or corrupted data)"),
            std::string::npos);
  EXPECT_EQ(log_size(), good);
  EXPECT_TRUE(state_of(*engine)["a"].empty());
}

TEST_F(LifecycleTest, AnEncryptedDatabaseWritesNoPlaintext) {
  const std::string secret = "a very secret sentence";
  {
    auto engine = open(testing::log_key());
    create(*engine, "a");
    ASSERT_TRUE(insert(*engine, "a", 1, secret));
    const auto log = read_bytes(log_path());
    EXPECT_EQ(std::search(log.begin(), log.end(), secret.begin(), secret.end()), log.end());
    EXPECT_EQ(std::vector<uint8_t>(log.begin() + 4, log.begin() + 8),
              std::vector<uint8_t>(4, 0xFF));
    ASSERT_TRUE(engine->compact());
  }
  const auto file = read_bytes(dir() / "a.kestrine");
  EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "KCE1");
  EXPECT_EQ(std::search(file.begin(), file.end(), secret.begin(), secret.end()), file.end());
  EXPECT_EQ(state_of(*open(testing::log_key()))["a"][format_uuid(uuid_n(1))], secret);
  // Without the key the snapshot is skipped, with a warning; the empty log opens.
  auto engine = open();
  EXPECT_TRUE(engine->list_collections().empty());
  EXPECT_EQ(warnings_.size(), 1u);
}

// ---- save as a checkpoint -------------------------------------------------------------------

struct SaveCase {
  const char* name;
  KeyPtr (*database_key)();
  const char* path;  // relative to the test's directory; null: the data directory
  std::optional<std::string> key_text;
  bool empties_the_log;
};

class SaveTest : public LifecycleTest, public ::testing::WithParamInterface<SaveCase> {};

// A save is a checkpoint only into the data directory with the database's own key; any other
// save keeps the log, which replays harmlessly over the new snapshot.
TEST_P(SaveTest, EmptiesTheLogOnlyWhenItIsACheckpoint) {
  const SaveCase& c = GetParam();
  State before;
  {
    auto engine = open(c.database_key());
    create(*engine, "a");
    ASSERT_TRUE(insert(*engine, "a", 1, "one"));
    const uint64_t size = log_size();
    std::optional<std::string> path;
    if (c.path != nullptr) path = (dir_.path() / c.path).string();
    ASSERT_TRUE(engine->save("a", path, c.key_text));
    EXPECT_EQ(log_size(), c.empties_the_log ? 0u : size);
    before = state_of(*engine);
  }
  EXPECT_EQ(state_of(*open(c.database_key())), before);
}

KeyPtr no_key() { return nullptr; }
const std::string kPaddedKey = "  " + std::string(testing::kLogKeyHex) + "\n";

INSTANTIATE_TEST_SUITE_P(
    EveryCase, SaveTest,
    ::testing::Values(
        SaveCase{"IntoTheDataDir", no_key, nullptr, std::nullopt, true},
        SaveCase{"IntoTheDataDirWithItsKey", testing::log_key, nullptr, std::nullopt, true},
        SaveCase{"IntoTheDataDirNamedAnotherWay", no_key, "data/./", std::nullopt, true},
        SaveCase{"GivenTheDatabaseKeyAgain", testing::log_key, nullptr, kPaddedKey, true},
        SaveCase{"Elsewhere", no_key, "elsewhere", std::nullopt, false},
        SaveCase{"WithAKeyTheDatabaseLacks", no_key, nullptr, testing::kLogKeyHex, false},
        SaveCase{"WithAnotherKey", testing::log_key, nullptr, testing::kOtherLogKeyHex, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LifecycleTest, SaveKeepsTheLogWhileAnotherCollectionHasLoggedChanges) {
  auto engine = open();
  fill(*engine);
  const uint64_t size = log_size();
  ASSERT_TRUE(engine->save("a", std::nullopt, std::nullopt));
  EXPECT_EQ(log_size(), size);
  // Saving the other one leaves nothing in the log that no snapshot has.
  ASSERT_TRUE(engine->save("b", std::nullopt, std::nullopt));
  EXPECT_EQ(log_size(), 0u);
  const State before = state_of(*engine);
  engine.reset();
  EXPECT_EQ(state_of(*open()), before);
}

TEST_F(LifecycleTest, AChangeAfterSavingACollectionCountsAgain) {
  auto engine = open();
  fill(*engine);
  ASSERT_TRUE(engine->save("a", std::nullopt, std::nullopt));
  ASSERT_TRUE(insert(*engine, "a", 5, "later"));
  const uint64_t size = log_size();
  ASSERT_TRUE(engine->save("b", std::nullopt, std::nullopt));
  EXPECT_EQ(log_size(), size);
  engine.reset();
  EXPECT_EQ(state_of(*open())["a"].size(), 3u);
}

TEST_F(LifecycleTest, ChangesReplayedAtOpeningCountAsLogged) {
  {
    auto engine = open();
    fill(*engine);
  }
  auto engine = open();
  const uint64_t size = log_size();
  ASSERT_TRUE(engine->save("a", std::nullopt, std::nullopt));
  EXPECT_EQ(log_size(), size);
  engine.reset();
  EXPECT_EQ(state_of(*open())["b"].size(), 1u);
}

TEST_F(LifecycleTest, ADeletedCollectionCountsAsChangedUntilACheckpoint) {
  auto engine = open();
  fill(*engine);
  ASSERT_TRUE(engine->compact());
  ASSERT_TRUE(engine->delete_collection("b"));
  ASSERT_TRUE(engine->save("a", std::nullopt, std::nullopt));
  EXPECT_GT(log_size(), 0u);
  EXPECT_TRUE(fs::exists(dir() / "b.kestrine"));
  engine.reset();
  EXPECT_EQ(open()->list_collections(), std::vector<std::string>{"a"});
}

// ---- deleted collections stay deleted -------------------------------------------------------

TEST_F(LifecycleTest, CompactRemovesTheSnapshotOfADeletedCollection) {
  auto engine = open();
  fill(*engine);
  ASSERT_TRUE(engine->compact());
  ASSERT_TRUE(engine->delete_collection("b"));
  ASSERT_TRUE(engine->compact());
  EXPECT_FALSE(fs::exists(dir() / "b.kestrine"));
  EXPECT_EQ(log_size(), 0u);
  engine.reset();
  EXPECT_EQ(open()->list_collections(), std::vector<std::string>{"a"});
}

TEST_F(LifecycleTest, ADeletionReplayedAtOpeningRemovesTheSnapshotAtTheNextCheckpoint) {
  {
    auto engine = open();
    fill(*engine);
    ASSERT_TRUE(engine->compact());
    ASSERT_TRUE(engine->delete_collection("b"));
  }
  {
    auto engine = open();  // loads b.kestrine, then replays its deletion
    EXPECT_EQ(engine->list_collections(), std::vector<std::string>{"a"});
    ASSERT_TRUE(engine->save("a", std::nullopt, std::nullopt));
    EXPECT_TRUE(fs::exists(dir() / "b.kestrine"));  // the log still holds the deletion
    ASSERT_TRUE(engine->compact());
  }
  EXPECT_FALSE(fs::exists(dir() / "b.kestrine"));
  EXPECT_EQ(open()->list_collections(), std::vector<std::string>{"a"});
}

TEST_F(LifecycleTest, EverySnapshotFileThatHeldTheDeletedCollectionIsRemoved) {
  {
    auto engine = open();
    fill(*engine);
    ASSERT_TRUE(engine->compact());
  }
  fs::copy_file(dir() / "b.kestrine", dir() / "copy-of-b.kestrine");
  auto engine = open();
  ASSERT_TRUE(engine->delete_collection("b"));
  ASSERT_TRUE(engine->compact());
  EXPECT_FALSE(fs::exists(dir() / "b.kestrine"));
  EXPECT_FALSE(fs::exists(dir() / "copy-of-b.kestrine"));
}

TEST_F(LifecycleTest, AFileThisProcessNeverLoadedIsNeverRemoved) {
  fs::create_directories(dir());
  const std::vector<uint8_t> garbage{'n', 'o', 't', ' ', 'a', ' ', 's', 'n', 'a', 'p'};
  write_bytes(dir() / "b.kestrine", garbage);
  auto engine = open();
  EXPECT_EQ(warnings_.size(), 1u);
  create(*engine, "b");
  ASSERT_TRUE(engine->delete_collection("b"));
  ASSERT_TRUE(engine->compact());
  EXPECT_EQ(read_bytes(dir() / "b.kestrine"), garbage);
}

TEST_F(LifecycleTest, ACollectionDeletedAndCreatedAgainKeepsItsSnapshot) {
  auto engine = open();
  fill(*engine);
  ASSERT_TRUE(engine->compact());
  ASSERT_TRUE(engine->delete_collection("b"));
  create(*engine, "b");
  ASSERT_TRUE(insert(*engine, "b", 7, "new b"));
  ASSERT_TRUE(engine->compact());
  engine.reset();
  EXPECT_EQ(state_of(*open())["b"],
            (std::map<std::string, std::string>{{format_uuid(uuid_n(7)), "new b"}}));
}

TEST_F(LifecycleTest, ACollectionDeletedAndLoadedAgainKeepsItsSnapshot) {
  auto engine = open();
  fill(*engine);
  ASSERT_TRUE(engine->compact());
  ASSERT_TRUE(engine->delete_collection("b"));
  ASSERT_TRUE(engine->load("b", std::nullopt, std::nullopt));
  ASSERT_TRUE(engine->compact());
  engine.reset();
  EXPECT_EQ(state_of(*open())["b"].size(), 1u);
}

// ---- failures of checkpoints and appends ----------------------------------------------------

TEST_F(LifecycleTest, ACompactWhoseSnapshotWriteFailsNamesTheCollectionAndKeepsTheLog) {
  auto engine = open();
  create(*engine, "a");
  fs::create_directories(dir() / "a.kestrine.tmp");  // where the snapshot would be written
  const uint64_t size = log_size();
  Status compacted = engine->compact();
  ASSERT_FALSE(compacted);
  EXPECT_EQ(compacted.error().kind(), ErrorKind::kIo);
  EXPECT_EQ(compacted.error().message(), "save 'a' failed: Is a directory (os error 21)");
  EXPECT_EQ(log_size(), size);
}

TEST_F(LifecycleTest, ASaveWhoseSnapshotWriteFailsReportsTheCauseAloneAndKeepsTheLog) {
  auto engine = open();
  create(*engine, "a");
  fs::create_directories(dir() / "a.kestrine.tmp");
  const uint64_t size = log_size();
  Status saved = engine->save("a", std::nullopt, std::nullopt);
  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error().message(), "Is a directory (os error 21)");
  EXPECT_EQ(log_size(), size);
}

// ---- automatic checkpoints ------------------------------------------------------------------

// Every change that takes the log past the threshold checkpoints before it returns, so the log
// never stays above it; what the checkpoints wrote reopens to the same state, a collection
// deleted in between included.
TEST_F(LifecycleTest, EveryChangeThatCrossesTheThresholdEmptiesTheLog) {
  checkpoint_bytes_ = 400;
  State before;
  {
    auto engine = open();
    create(*engine, "a");
    create(*engine, "b");
    int checkpoints = 0;
    for (uint8_t n = 1; n <= 60; ++n) {
      const uint64_t size = log_size();
      if (n == 30) {
        ASSERT_TRUE(engine->delete_collection("b"));
        create(*engine, "c");
      } else if (n % 7 == 0) {
        ASSERT_TRUE(remove(*engine, n < 30 ? "a" : "c", n - 3));
      } else {
        const char* name = n % 2 != 0 ? "a" : (n < 30 ? "b" : "c");
        ASSERT_TRUE(insert(*engine, name, n, std::string(n, 'x')));
      }
      EXPECT_LE(log_size(), 400u) << "after change " << int{n};
      if (log_size() < size) ++checkpoints;
    }
    EXPECT_GE(checkpoints, 5);
    EXPECT_TRUE(engine->take_warnings().empty());
    EXPECT_FALSE(fs::exists(dir() / "b.kestrine"));
    before = state_of(*engine);
  }
  EXPECT_EQ(state_of(*open()), before);
}

TEST_F(LifecycleTest, AThresholdOfZeroNeverCheckpoints) {
  checkpoint_bytes_ = 0;
  auto engine = open();
  create(*engine, "a");
  for (uint8_t n = 1; n <= 40; ++n) ASSERT_TRUE(insert(*engine, "a", n, std::string(50, 'x')));
  EXPECT_GT(log_size(), 2000u);
  EXPECT_FALSE(fs::exists(dir() / "a.kestrine"));
  EXPECT_EQ(engine->store()->checkpoint_threshold(), 0u);
}

TEST_F(LifecycleTest, TheDefaultThresholdIsTheFloorWhileTheSnapshotsAreSmall) {
  auto engine = open();
  fill(*engine);
  ASSERT_TRUE(engine->compact());
  EXPECT_EQ(engine->store()->checkpoint_threshold(), PersistentStore::kCheckpointFloorBytes);
}

// A failed automatic checkpoint leaves the change made and logged, says why once, and the next
// change tries again.
TEST_F(LifecycleTest, AFailedAutomaticCheckpointWarnsKeepsTheChangeAndIsRetried) {
  checkpoint_bytes_ = 200;
  auto engine = open();
  create(*engine, "a");
  fs::create_directories(dir() / "a.kestrine.tmp");  // where the snapshot would be written
  ASSERT_TRUE(insert(*engine, "a", 1, std::string(300, 'x')));
  EXPECT_EQ(engine->take_warnings(),
            std::vector<std::string>{
                "automatic checkpoint failed: save 'a' failed: Is a directory (os error 21)"});
  EXPECT_TRUE(engine->take_warnings().empty());
  const uint64_t size = log_size();
  EXPECT_GT(size, 200u);
  fs::remove(dir() / "a.kestrine.tmp");
  ASSERT_TRUE(insert(*engine, "a", 2, "two"));
  EXPECT_EQ(log_size(), 0u);
  EXPECT_TRUE(engine->take_warnings().empty());
  const State before = state_of(*engine);
  EXPECT_EQ(before.at("a").size(), 2u);
  engine.reset();
  EXPECT_EQ(state_of(*open()), before);
}

TEST(EphemeralLifecycleTest, CompactWithoutADataDirIsAValueError) {
  Engine engine;
  Status compacted = engine.compact();
  ASSERT_FALSE(compacted);
  EXPECT_EQ(compacted.error().kind(), ErrorKind::kInvalidValue);
  EXPECT_EQ(compacted.error().message(), "compact requires data_dir to be set");
  EXPECT_FALSE(engine.persistent());
}

TEST_F(LifecycleTest, AFailedAppendChangesNothingInMemory) {
  auto engine = open();
  fill(*engine);
  const State before = state_of(*engine);
  const uint64_t size = log_size();
  constexpr char kCause[] = "WAL write failed: File too large (os error 27)";
  {
    FileSizeLimit limit(size + 4);
    auto inserted = insert(*engine, "a", 9, "never");
    ASSERT_FALSE(inserted);
    EXPECT_EQ(inserted.error().kind(), ErrorKind::kIo);
    EXPECT_EQ(inserted.error().message(), kCause);
    std::vector<NewDocument> batch;
    batch.push_back({std::make_shared<Document>(Document{uuid_n(10), "x", {}}), {1, 2}, "10"});
    EXPECT_EQ(engine->batch_insert("a", std::move(batch)).error().message(), kCause);
    EXPECT_EQ(remove(*engine, "a", 1).error().message(), kCause);
    EXPECT_EQ(engine->delete_collection("b").error().message(), kCause);
    EXPECT_EQ(engine->create_collection("c", 2, HnswConfig{}).error().message(), kCause);
  }
  EXPECT_EQ(state_of(*engine), before);
  EXPECT_EQ(log_size(), size);
  ASSERT_TRUE(insert(*engine, "a", 11, "after"));
  engine.reset();
  EXPECT_EQ(state_of(*open())["a"].size(), 3u);
}

}  // namespace
}  // namespace kestrine
