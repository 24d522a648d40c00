#include "core/storage/data_directory.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <utility>

#include "core/collection/collection_map.h"
#include "core/storage/snapshot.h"

namespace kestrine {

bool has_snapshot_extension(std::string_view file_name) {
  const size_t dot = file_name.rfind('.');
  return dot != std::string_view::npos && dot != 0 && file_name.substr(dot) == kSnapshotExtension;
}

Result<std::vector<std::string>> list_directory(const std::filesystem::path& directory) {
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return fail(Error::from_errno(errno));
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      const int code = errno;
      ::closedir(dir);
      if (code != 0) return fail(Error::from_errno(code));
      return names;
    }
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
}

Result<std::vector<ScannedSnapshot>> scan_snapshots(const std::filesystem::path& directory,
                                                    const EncryptionKey* key,
                                                    std::vector<std::string>* warnings) {
  std::vector<ScannedSnapshot> found;
  struct stat st;
  if (::stat(directory.c_str(), &st) != 0) return found;
  auto names = list_directory(directory);
  if (!names) return fail(names.error());
  for (const std::string& name : *names) {
    if (!has_snapshot_extension(name)) continue;
    std::filesystem::path path = directory / name;
    auto data = read_snapshot_data(path, key);
    Status usable = data ? check_collection_name(data->name) : fail(data.error());
    if (!usable) {
      warnings->push_back("skipped snapshot '" + path.string() + "': " + usable.error().message());
      continue;
    }
    found.push_back({std::move(path), std::make_shared<Collection>(std::move(*data))});
  }
  return found;
}

}  // namespace kestrine
