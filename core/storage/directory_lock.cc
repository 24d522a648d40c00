#include "core/storage/directory_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

namespace kestrine {
namespace {

// The process id written in the lock file, or "" when it does not read as one.
std::string holder_of(int fd) {
  char buffer[32];
  ssize_t n;
  do {
    n = ::pread(fd, buffer, sizeof buffer, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return {};
  std::string digits;
  for (ssize_t i = 0; i < n && buffer[i] >= '0' && buffer[i] <= '9'; ++i) digits += buffer[i];
  const bool whole = digits.size() == static_cast<size_t>(n) ||
                     (digits.size() + 1 == static_cast<size_t>(n) && buffer[n - 1] == '\n');
  return whole && !digits.empty() && digits.size() < 20 ? digits : std::string();
}

}  // namespace

void DirectoryLock::record_holder() {
  if (fd_ < 0) return;
  const std::string pid = std::to_string(::getpid());
  if (holder_of(fd_) == pid) return;
  const std::string text = pid + "\n";
  if (::ftruncate(fd_, 0) != 0) return;
  ssize_t n;
  do {
    n = ::pwrite(fd_, text.data(), text.size(), 0);
  } while (n < 0 && errno == EINTR);
}

Result<DirectoryLock> DirectoryLock::acquire(const std::filesystem::path& directory) {
  const std::filesystem::path path = directory / kLockFileName;
  auto failed = [&directory](int code) {
    return fail(Error::from_errno(code).with_prefix("failed to lock data directory '" +
                                                    directory.string() + "': "));
  };
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return failed(errno);
  DirectoryLock lock(fd);
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    if (errno != EWOULDBLOCK) return failed(errno);
    const std::string holder = holder_of(fd);
    return fail(Error::io("data directory '" + directory.string() +
                          "' is in use by another Kestrine instance" +
                          (holder.empty() ? "" : " (process " + holder + ")")));
  }
  return lock;
}

DirectoryLock::DirectoryLock(DirectoryLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

DirectoryLock& DirectoryLock::operator=(DirectoryLock&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void DirectoryLock::release() {
  if (fd_ < 0) return;
  ::close(fd_);  // closing the last descriptor of the open file drops its lock
  fd_ = -1;
}

}  // namespace kestrine
