// Storage under failing files: a file system that passes everything to the real one except the
// faults a test arms (writes cut short, a full device, I/O errors, failed syncs and renames),
// and what the log and the snapshots promise when they happen.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/collection/collection.h"
#include "core/storage/file_io.h"
#include "core/storage/snapshot.h"
#include "core/storage/wal_replay.h"
#include "core/storage/wal_writer.h"
#include "tests/core/engine_probes.h"
#include "tests/core/storage_test_support.h"
#include "tests/core/wal_test_support.h"

namespace kestrine {
namespace {

using testing::plain_record;
using testing::read_bytes;
using testing::TempDir;
using testing::to_bytes;

// The faults, shared by the file system and every file it opened.
struct Faults {
  size_t max_write = SIZE_MAX;       // bytes one write_some call takes at most
  std::optional<uint64_t> writable;  // bytes that may still be written; then write_error
  int write_error = ENOSPC;
  bool zero_writes = false;       // write_some reports no progress
  std::optional<int> sync_error;  // sync and sync_data fail with it
  std::optional<int> rename_error;
  uint64_t writes = 0;  // write_some calls seen
};

class FaultyFile final : public WritableFile {
 public:
  FaultyFile(std::unique_ptr<WritableFile> real, Faults& faults)
      : real_(std::move(real)), faults_(faults) {}

  Result<size_t> write_some(std::span<const uint8_t> bytes) override {
    ++faults_.writes;
    if (faults_.zero_writes) return 0;
    size_t n = std::min(bytes.size(), faults_.max_write);
    if (faults_.writable) {
      if (*faults_.writable == 0) return fail(Error::from_errno(faults_.write_error));
      n = static_cast<size_t>(std::min<uint64_t>(n, *faults_.writable));
    }
    auto written = real_->write_some(bytes.first(n));
    if (written && faults_.writable) *faults_.writable -= *written;
    return written;
  }
  Status sync() override {
    if (faults_.sync_error) return fail(Error::from_errno(*faults_.sync_error));
    return real_->sync();
  }
  Status sync_data() override {
    if (faults_.sync_error) return fail(Error::from_errno(*faults_.sync_error));
    return real_->sync_data();
  }
  Status truncate(uint64_t length) override { return real_->truncate(length); }
  Result<uint64_t> size() override { return real_->size(); }
  Status close() override { return real_->close(); }

 private:
  std::unique_ptr<WritableFile> real_;
  Faults& faults_;
};

class FaultyFileSystem final : public FileSystem {
 public:
  Faults faults;

  Result<std::unique_ptr<ReadableFile>> open_readable(const std::filesystem::path& path) override {
    return real_.open_readable(path);
  }
  Result<std::unique_ptr<WritableFile>> open_appendable(
      const std::filesystem::path& path) override {
    return wrap(real_.open_appendable(path));
  }
  Result<std::unique_ptr<WritableFile>> create_truncated(
      const std::filesystem::path& path) override {
    return wrap(real_.create_truncated(path));
  }
  Result<std::unique_ptr<WritableFile>> create_new(const std::filesystem::path& path) override {
    return wrap(real_.create_new(path));
  }
  Status make_directory(const std::filesystem::path& path) override {
    return real_.make_directory(path);
  }
  bool is_directory(const std::filesystem::path& path) override { return real_.is_directory(path); }
  Status rename(const std::filesystem::path& from, const std::filesystem::path& to) override {
    if (faults.rename_error) return fail(Error::from_errno(*faults.rename_error));
    return real_.rename(from, to);
  }
  Status remove(const std::filesystem::path& path) override { return real_.remove(path); }
  Status sync_directory(const std::filesystem::path& directory) override {
    return real_.sync_directory(directory);
  }

 private:
  Result<std::unique_ptr<WritableFile>> wrap(Result<std::unique_ptr<WritableFile>> file) {
    if (!file) return file;
    return std::make_unique<FaultyFile>(std::move(*file), faults);
  }
  FileSystem& real_ = default_file_system();
};

std::vector<uint8_t> record(std::string_view text) { return plain_record(to_bytes(text)); }

std::vector<std::string> replayed_names(const std::filesystem::path& log) {
  std::vector<std::string> names;
  auto report = replay_log(log, nullptr, [&](WalEntry&& entry) {
    names.push_back(std::get<wal::DeleteCollection>(entry).name);
  });
  EXPECT_TRUE(report.has_value());
  return names;
}

std::vector<uint8_t> drop_record(std::string name) {
  return plain_record(encode_entry(WalEntry(wal::DeleteCollection{std::move(name)})));
}

// A log opened through a faulty file system, holding one good record.
struct LogUnderFaults {
  LogUnderFaults() {
    auto opened = WalWriter::open(dir.path(), fs);
    EXPECT_TRUE(opened.has_value());
    if (opened) wal = std::move(*opened);
    EXPECT_TRUE(wal->append(first));
  }
  TempDir dir;
  FaultyFileSystem fs;
  std::unique_ptr<WalWriter> wal;
  const std::vector<uint8_t> first = drop_record("first");
};

// A log write that fails part-way (the device fills up, or the disk reports an error) leaves
// the log cut back to its last good record, and the next append lands right behind that record.
TEST(LogFaults, FailedAppendLeavesTheLogAtItsLastGoodRecord) {
  for (const int error : {ENOSPC, EIO}) {
    for (const uint64_t room : {0u, 1u, 7u, 20u}) {
      SCOPED_TRACE("errno " + std::to_string(error) + ", room " + std::to_string(room));
      LogUnderFaults log;
      auto& [dir, fs, wal, first] = log;
      fs.faults.writable = room;
      fs.faults.write_error = error;
      auto failed = wal->append(drop_record("lost"));
      ASSERT_FALSE(failed.has_value());
      EXPECT_EQ(failed.error().message(), Error::from_errno(error).message());
      EXPECT_EQ(wal->size(), first.size());
      EXPECT_EQ(read_bytes(wal->path()), first);

      fs.faults.writable.reset();
      ASSERT_TRUE(wal->append(drop_record("second")));
      EXPECT_EQ(replayed_names(wal->path()), (std::vector<std::string>{"first", "second"}));
    }
  }
}

// A failed sync is an append that did not happen: reported, and its bytes taken back out.
TEST(LogFaults, FailedSyncIsReportedAndTheRecordTakenBack) {
  LogUnderFaults log;
  auto& [dir, fs, wal, first] = log;
  fs.faults.sync_error = EIO;
  auto failed = wal->append(drop_record("lost"));
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().message(), Error::from_errno(EIO).message());
  // The cut back could not be made durable either: the log refuses appends until truncated.
  auto refused = wal->append(drop_record("refused"));
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message(),
            "the log could not be repaired after an earlier failed write");
  EXPECT_EQ(read_bytes(wal->path()), first);

  fs.faults.sync_error.reset();
  ASSERT_TRUE(wal->truncate());
  ASSERT_TRUE(wal->append(drop_record("after")));
  EXPECT_EQ(replayed_names(wal->path()), (std::vector<std::string>{"after"}));
}

// Writes the file system cuts short are completed: the record lands whole, byte for byte.
TEST(LogFaults, ShortWritesAreCompleted) {
  for (const size_t max_write : {1u, 3u, 8u}) {
    SCOPED_TRACE("max_write " + std::to_string(max_write));
    TempDir dir;
    FaultyFileSystem fs;
    fs.faults.max_write = max_write;
    auto wal = WalWriter::open(dir.path(), fs);
    ASSERT_TRUE(wal.has_value());
    const std::vector<uint8_t> a = record("alpha"), b = drop_record("beta");
    ASSERT_TRUE((*wal)->append(a));
    ASSERT_TRUE((*wal)->append(b));
    EXPECT_EQ(fs.faults.writes,
              (a.size() + max_write - 1) / max_write + (b.size() + max_write - 1) / max_write);
    EXPECT_EQ(read_bytes((*wal)->path()), testing::concat({a, b}));
    EXPECT_EQ((*wal)->size(), a.size() + b.size());
  }
}

// A write that makes no progress is reported, not retried for ever, and taken back.
TEST(LogFaults, WriteWithoutProgressIsReported) {
  TempDir dir;
  FaultyFileSystem fs;
  auto wal = WalWriter::open(dir.path(), fs);
  ASSERT_TRUE(wal.has_value());
  fs.faults.zero_writes = true;
  auto failed = (*wal)->append(record("stuck"));
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().message(), "short write: no byte written");
  EXPECT_EQ((*wal)->size(), 0u);
  EXPECT_EQ(read_bytes((*wal)->path()), std::vector<uint8_t>{});
}

std::shared_ptr<Collection> collection_with(size_t documents) {
  auto collection = std::make_shared<Collection>("c", 2, HnswConfig{});
  for (size_t n = 0; n < documents; ++n) {
    auto document = std::make_shared<Document>();
    document->id = testing::uuid_n(static_cast<uint8_t>(n + 1));
    document->text = "document " + std::to_string(n);
    const float embedding[2] = {static_cast<float>(n), 1.0f};
    EXPECT_TRUE(collection->insert_document(std::move(document), embedding));
  }
  return collection;
}

// However a snapshot write fails (the device fills up part-way, the data cannot be synced, the
// rename is refused), the previous snapshot stays as it was and no temporary file is left.
TEST(SnapshotFaults, FailedWriteLeavesThePreviousSnapshot) {
  struct Case {
    const char* name;
    void (*arm)(Faults&);
    int error;
  };
  const Case cases[] = {
      {"full device", [](Faults& f) { f.writable = 100; }, ENOSPC},
      {"write error",
       [](Faults& f) {
         f.writable = 0;
         f.write_error = EIO;
       },
       EIO},
      {"failed sync", [](Faults& f) { f.sync_error = EIO; }, EIO},
      {"refused rename", [](Faults& f) { f.rename_error = EACCES; }, EACCES},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    FaultyFileSystem fs;
    ASSERT_TRUE(write_snapshot(collection_with(1), dir.path(), nullptr, fs));
    const std::filesystem::path path = snapshot_path(dir.path(), "c");
    const std::vector<uint8_t> before = read_bytes(path);

    c.arm(fs.faults);
    fs.faults.max_write = 16;  // the write is under way when it fails
    auto failed = write_snapshot(collection_with(30), dir.path(), nullptr, fs);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().message(), Error::from_errno(c.error).message());

    EXPECT_EQ(read_bytes(path), before);
    auto loaded = read_snapshot(path, nullptr);
    ASSERT_TRUE(loaded.has_value());
    EXPECT_EQ(document_count(**loaded), 1u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              1);
  }
}

}  // namespace
}  // namespace kestrine
