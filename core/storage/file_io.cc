#include "core/storage/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kestrine {
namespace {

// Closes a descriptor when it goes out of scope (error paths); close() reports the error.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  // Linux releases the descriptor even when close fails, so it is never retried.
  Status close() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) return fail(Error::from_errno(errno));
    return {};
  }

 private:
  int fd_;
};

Status sync_fd(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return fail(Error::from_errno(errno));
  }
  return {};
}

Result<Fd> open_fd(const std::filesystem::path& path, int flags, mode_t mode = 0) {
  for (;;) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0) return Result<Fd>(std::in_place, fd);
    if (errno != EINTR) return fail(Error::from_errno(errno));
  }
}

}  // namespace

bool is_existing_directory(const std::filesystem::path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Result<std::vector<uint8_t>> read_file(const std::filesystem::path& path) {
  auto fd = open_fd(path, O_RDONLY);
  if (!fd) return fail(fd.error());
  struct stat st;
  if (::fstat(fd->get(), &st) != 0) return fail(Error::from_errno(errno));
  // The size is a first guess only: the file may change while it is read, and some files
  // report no size at all.
  std::vector<uint8_t> bytes(st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 4096);
  size_t filled = 0;
  for (;;) {
    if (filled == bytes.size()) bytes.resize(bytes.size() * 2);
    const ssize_t n = ::read(fd->get(), bytes.data() + filled, bytes.size() - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(Error::from_errno(errno));
    }
    if (n == 0) break;
    filled += static_cast<size_t>(n);
  }
  bytes.resize(filled);
  return bytes;
}

bool same_directory(const std::filesystem::path& a, const std::filesystem::path& b) {
  struct stat sa, sb;
  if (::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0) {
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  }
  return a.lexically_normal() == b.lexically_normal();
}

Status make_directories(const std::filesystem::path& directory) {
  if (directory.empty()) return {};
  const std::filesystem::path parent = directory.parent_path();
  for (bool parent_made = false;; parent_made = true) {
    if (::mkdir(directory.c_str(), 0777) == 0) break;
    // Existing (or just created by someone else): fine if it is a directory.
    if (errno == EEXIST) {
      if (is_existing_directory(directory)) return {};
      return fail(Error::from_errno(EEXIST));
    }
    if (errno != ENOENT || parent_made || parent.empty() || parent == directory) {
      return fail(Error::from_errno(errno));
    }
    if (auto ok = make_directories(parent); !ok) return ok;
  }
  return sync_directory(parent.empty() ? std::filesystem::path(".") : parent);
}

Status write_all(int fd, std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(Error::from_errno(errno));
    }
    done += static_cast<size_t>(n);
  }
  return {};
}

Status write_file_synced(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  auto fd = open_fd(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!fd) return fail(fd.error());
  if (auto ok = write_all(fd->get(), bytes); !ok) return ok;
  if (auto ok = sync_fd(fd->get()); !ok) return ok;
  return fd->close();
}

Status rename_file(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return fail(Error::from_errno(errno));
  return {};
}

Status sync_directory(const std::filesystem::path& directory) {
  auto fd =
      open_fd(directory.empty() ? std::filesystem::path(".") : directory, O_RDONLY | O_DIRECTORY);
  if (!fd) return fail(fd.error());
  if (auto ok = sync_fd(fd->get()); !ok) return ok;
  return fd->close();
}

}  // namespace kestrine
