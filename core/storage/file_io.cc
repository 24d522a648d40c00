#include "core/storage/file_io.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace kestrine {
namespace {

Error last_error() { return Error::from_errno(errno); }

// A descriptor closed when it goes out of scope (error paths); close() reports the error.
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
    const int fd = std::exchange(fd_, -1);
    if (fd < 0) return {};
    if (::close(fd) != 0 && errno != EINTR) return fail(last_error());
    return {};
  }

 private:
  int fd_;
};

Result<Fd> open_fd(const std::filesystem::path& path, int flags, mode_t mode = 0) {
  for (;;) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0) return Result<Fd>(std::in_place, fd);
    if (errno != EINTR) return fail(last_error());
  }
}

// Retries `call` (returning 0 or -1 with errno) while it is interrupted.
template <typename F>
Status retry(F call) {
  while (call() != 0) {
    if (errno != EINTR) return fail(last_error());
  }
  return {};
}

Result<uint64_t> fd_size(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return fail(last_error());
  return static_cast<uint64_t>(st.st_size);
}

// Retries a read or write (returning a count, or -1 with errno) while it is interrupted.
template <typename F>
Result<size_t> transfer(F call) {
  for (;;) {
    const ssize_t n = call();
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return fail(last_error());
  }
}

class PosixWritableFile final : public WritableFile {
 public:
  explicit PosixWritableFile(Fd fd) : fd_(std::move(fd)) {}

  Result<size_t> write_some(std::span<const uint8_t> bytes) override {
    return transfer([&] { return ::write(fd_.get(), bytes.data(), bytes.size()); });
  }
  Status sync() override {
    return retry([&] { return ::fsync(fd_.get()); });
  }
  Status sync_data() override {
    return retry([&] { return ::fdatasync(fd_.get()); });
  }
  Status truncate(uint64_t length) override {
    return retry([&] { return ::ftruncate(fd_.get(), static_cast<off_t>(length)); });
  }
  Result<uint64_t> size() override { return fd_size(fd_.get()); }
  Status close() override { return fd_.close(); }

 private:
  Fd fd_;
};

class PosixReadableFile final : public ReadableFile {
 public:
  explicit PosixReadableFile(Fd fd) : fd_(std::move(fd)) {}

  Result<size_t> read_some(std::span<uint8_t> out) override {
    return transfer([&] { return ::read(fd_.get(), out.data(), out.size()); });
  }
  Result<size_t> read_some_at(uint64_t offset, std::span<uint8_t> out) override {
    return transfer(
        [&] { return ::pread(fd_.get(), out.data(), out.size(), static_cast<off_t>(offset)); });
  }
  Result<uint64_t> size() override { return fd_size(fd_.get()); }

 private:
  Fd fd_;
};

template <typename File>
Result<std::unique_ptr<File>> open_as(const std::filesystem::path& path, int flags,
                                      mode_t mode = 0) {
  auto fd = open_fd(path, flags, mode);
  if (!fd) return fail(fd.error());
  return std::make_unique<File>(std::move(*fd));
}

class PosixFileSystem final : public FileSystem {
 public:
  Result<std::unique_ptr<ReadableFile>> open_readable(const std::filesystem::path& path) override {
    return open_as<PosixReadableFile>(path, O_RDONLY);
  }
  Result<std::unique_ptr<WritableFile>> open_appendable(
      const std::filesystem::path& path) override {
    return open_as<PosixWritableFile>(path, O_WRONLY | O_APPEND | O_CREAT, 0666);
  }
  Result<std::unique_ptr<WritableFile>> create_truncated(
      const std::filesystem::path& path) override {
    return open_as<PosixWritableFile>(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  }
  Result<std::unique_ptr<WritableFile>> create_new(const std::filesystem::path& path) override {
    return open_as<PosixWritableFile>(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
  }
  Status make_directory(const std::filesystem::path& path) override {
    if (::mkdir(path.c_str(), 0777) != 0) return fail(last_error());
    return {};
  }
  bool is_directory(const std::filesystem::path& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  Status rename(const std::filesystem::path& from, const std::filesystem::path& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) return fail(last_error());
    return {};
  }
  Status remove(const std::filesystem::path& path) override {
    if (::unlink(path.c_str()) != 0) return fail(last_error());
    return {};
  }
  Status sync_directory(const std::filesystem::path& directory) override {
    auto fd =
        open_fd(directory.empty() ? std::filesystem::path(".") : directory, O_RDONLY | O_DIRECTORY);
    if (!fd) return fail(fd.error());
    if (auto ok = retry([&] { return ::fsync(fd->get()); }); !ok) return ok;
    return fd->close();
  }
};

}  // namespace

Status WritableFile::append(std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    auto n = write_some(bytes);
    if (!n) return fail(n.error());
    if (*n == 0) return fail(Error::io("short write: no byte written"));
    bytes = bytes.subspan(std::min(*n, bytes.size()));
  }
  return {};
}

Result<size_t> ReadableFile::read(std::span<uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    auto n = read_some(out.subspan(done));
    if (!n) return fail(n.error());
    if (*n == 0) break;
    done += *n;
  }
  return done;
}

FileSystem& default_file_system() {
  static PosixFileSystem fs;
  return fs;
}

bool is_os_error(const Error& error, int code) {
  return error.kind() == ErrorKind::kIo && error.message() == Error::from_errno(code).message();
}

Result<std::vector<uint8_t>> read_file(const std::filesystem::path& path, FileSystem& fs) {
  auto file = fs.open_readable(path);
  if (!file) return fail(file.error());
  auto size = (*file)->size();
  if (!size) return fail(size.error());
  // The size is a first guess only: the file may change while it is read, and some files
  // report no size at all.
  std::vector<uint8_t> bytes(*size > 0 ? static_cast<size_t>(*size) + 1 : 4096);
  size_t filled = 0;
  for (;;) {
    if (filled == bytes.size()) bytes.resize(bytes.size() * 2);
    auto n = (*file)->read_some(std::span(bytes).subspan(filled));
    if (!n) return fail(n.error());
    if (*n == 0) break;
    filled += *n;
  }
  bytes.resize(filled);
  return bytes;
}

std::optional<MappedFile> MappedFile::map(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st;
  void* mapped = MAP_FAILED;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    // Populated up front: one call maps every cached page instead of a fault per page.
    mapped = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE | MAP_POPULATE,
                    fd, 0);
  }
  ::close(fd);  // the mapping keeps the file
  if (mapped == MAP_FAILED) return std::nullopt;
  ::madvise(mapped, static_cast<size_t>(st.st_size), MADV_SEQUENTIAL);
  return MappedFile(static_cast<const uint8_t*>(mapped), static_cast<size_t>(st.st_size));
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    this->~MappedFile();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

MappedFile::~MappedFile() {
  if (data_ != nullptr) ::munmap(const_cast<uint8_t*>(data_), size_);
}

bool same_directory(const std::filesystem::path& a, const std::filesystem::path& b) {
  struct stat sa, sb;
  if (::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0) {
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  }
  return a.lexically_normal() == b.lexically_normal();
}

Status make_directories(const std::filesystem::path& directory, FileSystem& fs) {
  if (directory.empty()) return {};
  const std::filesystem::path parent = directory.parent_path();
  for (bool parent_made = false;; parent_made = true) {
    Status made = fs.make_directory(directory);
    if (made) break;
    // Existing (or just created by someone else): fine if it is a directory.
    if (is_os_error(made.error(), EEXIST)) {
      if (fs.is_directory(directory)) return {};
      return made;
    }
    if (!is_os_error(made.error(), ENOENT) || parent_made || parent.empty() ||
        parent == directory) {
      return made;
    }
    if (auto ok = make_directories(parent, fs); !ok) return ok;
  }
  return fs.sync_directory(parent.empty() ? std::filesystem::path(".") : parent);
}

Status write_file_synced(const std::filesystem::path& path, std::span<const uint8_t> bytes,
                         FileSystem& fs) {
  auto file = fs.create_truncated(path);
  if (!file) return fail(file.error());
  if (auto ok = (*file)->append(bytes); !ok) return ok;
  if (auto ok = (*file)->sync(); !ok) return ok;
  return (*file)->close();
}

Status rename_file(const std::filesystem::path& from, const std::filesystem::path& to,
                   FileSystem& fs) {
  return fs.rename(from, to);
}

Status sync_directory(const std::filesystem::path& directory, FileSystem& fs) {
  return fs.sync_directory(directory);
}

}  // namespace kestrine
