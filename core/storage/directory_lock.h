// One writer per data directory: an exclusive advisory lock (flock) on the file "LOCK" in the
// directory, held by a persistent database for as long as it is open. flock belongs to the open
// file, so a second opening in the same process is refused like one in another process, and the
// kernel drops the lock when its holder dies, so a killed writer never leaves the directory
// locked. The file itself stays empty and is never written: the holder's process id, for the
// message others get, is read from the kernel's table of locks.
//
// Nothing that rewrites the directory touches "LOCK": its name has no snapshot extension and is
// not the log's, and only files of those kinds are ever replaced or removed.
#pragma once

#include <filesystem>
#include <string_view>

#include "core/common/error.h"

namespace kestrine {

inline constexpr std::string_view kLockFileName = "LOCK";

class DirectoryLock {
 public:
  // Takes the lock of `directory`, which must exist, creating "LOCK" if absent. Errors (kIo):
  //   "data directory '<dir>' is in use by another Kestrine instance (process <pid>)" when
  //   another open file holds it; "(process <pid>)" is left out when the holder's id cannot be
  //   read.
  //   "failed to lock data directory '<dir>': " + cause when the file cannot be opened or locked.
  static Result<DirectoryLock> acquire(const std::filesystem::path& directory);

  DirectoryLock() = default;  // holds nothing
  DirectoryLock(DirectoryLock&& other) noexcept;
  DirectoryLock& operator=(DirectoryLock&& other) noexcept;
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;
  ~DirectoryLock() { release(); }

  // Lets the lock go (closing the file); holding nothing afterwards. The file stays.
  void release();
  bool held() const { return fd_ >= 0; }

 private:
  explicit DirectoryLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// A flock on one file, shared or exclusive, waited for and held until destruction; holds
// nothing when the file cannot be opened or locked. Opening the file for reading changes no
// byte. A read-only opening holds the log shared while it reads the snapshots and the log, and
// a checkpoint holds it exclusively while it removes snapshots and empties the log, so that the
// opening never pairs snapshots from before the checkpoint with the log emptied after it.
class FileHold {
 public:
  enum class Mode { kShared, kExclusive };
  FileHold(const std::filesystem::path& path, Mode mode);
  ~FileHold();
  FileHold(const FileHold&) = delete;
  FileHold& operator=(const FileHold&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace kestrine
