// The files of a data directory as opening sees them: which entries are snapshots, and reading
// all of them the way opening does. Shared by opening and by the read-only inspection, so that
// both load exactly the same collections.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/collection/collection.h"
#include "core/common/error.h"
#include "core/storage/crypto.h"

namespace kestrine {

// Whether the part of `file_name` after its last "." is exactly "kestrine", that dot not being
// the name's first character (".kestrine" has no extension).
bool has_snapshot_extension(std::string_view file_name);

// The directory's entry names other than "." and "..", in the file system's own order.
Result<std::vector<std::string>> list_directory(const std::filesystem::path& directory);

struct ScannedSnapshot {
  std::filesystem::path path;
  std::shared_ptr<Collection> collection;
};

// Reads every snapshot file of `directory` with `key`, in listing order. A file that cannot be
// read, or that stores an invalid collection name, is left out with a warning
// ("skipped snapshot '<path>': <cause>"). A missing directory has no snapshots; one that cannot
// be listed is the listing's error.
Result<std::vector<ScannedSnapshot>> scan_snapshots(const std::filesystem::path& directory,
                                                    const EncryptionKey* key,
                                                    std::vector<std::string>* warnings);

}  // namespace kestrine
