// Every file-system operation persistence performs goes through one small interface, FileSystem,
// so that tests can put a file system in its place that fails where they choose (short writes,
// a full device, I/O errors, failed syncs). The real one, default_file_system(), is POSIX.
// Failures are the operating system's errors (Error::from_errno: kIo, "<text> (os error N)").
//
// The primitives a file system provides may do part of the work (write_some, read_some); the
// callers' loops around them (WritableFile::append, ReadableFile::read) are shared by every
// file system, so a short write or read is completed the same way whatever produced it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/common/error.h"

namespace kestrine {

// A file open for writing. Closing it (or destroying it) releases it; close() reports an error
// that destruction would have to ignore.
class WritableFile {
 public:
  virtual ~WritableFile() = default;

  // Writes up to all of `bytes` at the file's position (its end when opened for appending) and
  // returns how many were written: at least one unless `bytes` is empty or the write failed.
  virtual Result<size_t> write_some(std::span<const uint8_t> bytes) = 0;
  // Forces the data and the metadata (sync) or the data and the length (sync_data) to the device.
  virtual Status sync() = 0;
  virtual Status sync_data() = 0;
  // Sets the file's length.
  virtual Status truncate(uint64_t length) = 0;
  // The file's current length.
  virtual Result<uint64_t> size() = 0;
  virtual Status close() = 0;

  // Writes all of `bytes`, completing short writes. A write that makes no progress is an error
  // ("short write"), never an endless loop.
  Status append(std::span<const uint8_t> bytes);
};

// A file open for reading.
class ReadableFile {
 public:
  virtual ~ReadableFile() = default;

  // Reads up to out.size() bytes at the current position, or at `offset` (read_some_at, which
  // leaves the position alone); 0 only at the end of the file.
  virtual Result<size_t> read_some(std::span<uint8_t> out) = 0;
  virtual Result<size_t> read_some_at(uint64_t offset, std::span<uint8_t> out) = 0;
  // The file's length.
  virtual Result<uint64_t> size() = 0;

  // Fills `out` from the current position, completing short reads; fewer bytes only at the end
  // of the file.
  Result<size_t> read(std::span<uint8_t> out);
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  virtual Result<std::unique_ptr<ReadableFile>> open_readable(
      const std::filesystem::path& path) = 0;
  // Opens for appending, creating the file when absent.
  virtual Result<std::unique_ptr<WritableFile>> open_appendable(
      const std::filesystem::path& path) = 0;
  // Creates the file, or empties an existing one.
  virtual Result<std::unique_ptr<WritableFile>> create_truncated(
      const std::filesystem::path& path) = 0;
  // Creates the file only when no file of that name exists; otherwise fails with EEXIST's error.
  virtual Result<std::unique_ptr<WritableFile>> create_new(const std::filesystem::path& path) = 0;
  // Creates one directory; fails with EEXIST's error when the name exists (as any kind of file).
  virtual Status make_directory(const std::filesystem::path& path) = 0;
  virtual bool is_directory(const std::filesystem::path& path) = 0;
  // Renames `from` onto `to`, replacing any file of that name.
  virtual Status rename(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
  virtual Status remove(const std::filesystem::path& path) = 0;
  // Forces a directory's entries (new, renamed or removed names) to the device.
  virtual Status sync_directory(const std::filesystem::path& directory) = 0;
};

// The operating system's file system.
FileSystem& default_file_system();

// Whether `error` is the operating system's error `code` (EEXIST from create_new or
// make_directory for an existing name, ENOENT from remove for a missing one, ...).
bool is_os_error(const Error& error, int code);

// Whether two paths name the same directory (the same file when both exist, else the same
// normalised path). Asks the operating system, whatever file system the caller uses.
bool same_directory(const std::filesystem::path& a, const std::filesystem::path& b);

// The whole content of a file.
Result<std::vector<uint8_t>> read_file(const std::filesystem::path& path,
                                       FileSystem& fs = default_file_system());

// A regular file's content mapped read-only from the page cache: no buffer to allocate and
// clear, no copy. The operating system's file, not a FileSystem's. Only for files that are
// replaced by renaming, never changed in place (snapshots): a file cut short while mapped would
// fault on access.
class MappedFile {
 public:
  // The mapping, or nothing when the file cannot be mapped (missing, empty, not a regular file,
  // no address space): the caller then reads it the ordinary way, which reports any error.
  static std::optional<MappedFile> map(const std::filesystem::path& path);

  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  ~MappedFile();

  std::span<const uint8_t> bytes() const { return {data_, size_}; }

 private:
  MappedFile(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// Creates `directory` and its missing parents. Each directory created is made durable: its
// parent is forced to the device after the new entry appears in it.
Status make_directories(const std::filesystem::path& directory,
                        FileSystem& fs = default_file_system());

// Writes `bytes` to `path` (created or truncated), completing short writes, and forces the data
// to the device before closing.
Status write_file_synced(const std::filesystem::path& path, std::span<const uint8_t> bytes,
                         FileSystem& fs = default_file_system());

// Renames `from` onto `to`, replacing any file of that name.
Status rename_file(const std::filesystem::path& from, const std::filesystem::path& to,
                   FileSystem& fs = default_file_system());

// Forces a directory's entries (new, renamed or removed names) to the device.
Status sync_directory(const std::filesystem::path& directory,
                      FileSystem& fs = default_file_system());

}  // namespace kestrine
