#include "core/storage/directory_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>

namespace kestrine {
namespace {

// The id of the process holding a flock on the open file `fd`, from the kernel's table of locks
// (/proc/locks, Linux), or "" when it cannot be read there. Lines read
// "<n>: FLOCK  ADVISORY  WRITE <pid> <major>:<minor>:<inode> 0 EOF" (major and minor in hex);
// a waiting request's line has "->" after its number and is skipped.
std::string holder_of(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return {};
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, file;
    fields >> number >> kind;
    if (kind != "FLOCK") continue;
    fields >> mode >> access >> pid >> file;
    unsigned major_number = 0, minor_number = 0;
    unsigned long long inode = 0;
    if (std::sscanf(file.c_str(), "%x:%x:%llu", &major_number, &minor_number, &inode) != 3) {
      continue;
    }
    if (inode == st.st_ino && major_number == major(st.st_dev) &&
        minor_number == minor(st.st_dev) && !pid.empty() &&
        pid.find_first_not_of("0123456789") == std::string::npos) {
      return pid;
    }
  }
  return {};
}

}  // namespace

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

FileHold::FileHold(const std::filesystem::path& path, Mode mode) {
  do {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) return;
  int rc;
  do {
    rc = ::flock(fd_, mode == Mode::kShared ? LOCK_SH : LOCK_EX);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

FileHold::~FileHold() {
  if (fd_ >= 0) ::close(fd_);
}

void DirectoryLock::release() {
  if (fd_ < 0) return;
  ::close(fd_);  // closing the last descriptor of the open file drops its lock
  fd_ = -1;
}

}  // namespace kestrine
