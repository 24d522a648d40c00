// The few file-system operations persistence needs, as Status-returning calls over POSIX.
// Failures are the operating system's errors (Error::from_errno: kIo, "<text> (os error N)").
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "core/common/error.h"

namespace kestrine {

// The whole content of a file.
Result<std::vector<uint8_t>> read_file(const std::filesystem::path& path);

// Whether `path` names a directory (following symbolic links).
bool is_existing_directory(const std::filesystem::path& path);

// Whether two paths name the same directory (the same file when both exist, else the same
// normalised path).
bool same_directory(const std::filesystem::path& a, const std::filesystem::path& b);

// Creates `directory` and its missing parents. Each directory created is made durable: its
// parent is forced to the device after the new entry appears in it.
Status make_directories(const std::filesystem::path& directory);

// Writes `bytes` to `path` (created or truncated), retrying interrupted and short writes, and
// forces the data to the device before closing.
Status write_file_synced(const std::filesystem::path& path, std::span<const uint8_t> bytes);

// Writes all of `bytes` to an open descriptor, retrying interrupted and short writes.
Status write_all(int fd, std::span<const uint8_t> bytes);

// Renames `from` onto `to`, replacing any file of that name.
Status rename_file(const std::filesystem::path& from, const std::filesystem::path& to);

// Forces a directory's entries (new, renamed or removed names) to the device.
Status sync_directory(const std::filesystem::path& directory);

}  // namespace kestrine
