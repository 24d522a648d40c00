#include <gtest/gtest.h>

#include <string>

#include "core/engine/engine.h"
#include "core/storage/file_io.h"
#include "core/storage/snapshot.h"
#include "tests/core/storage_test_support.h"

namespace kestrine {
namespace {

using testing::TempDir;
using testing::to_bytes;

constexpr char kKey[] = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
constexpr char kOtherKey[] = "ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100";

class EnginePersistenceTest : public ::testing::Test {
 protected:
  // Registers a collection `name` holding one document with `text`. The state is built
  // directly (consistent tables for one node), so these tests do not depend on the indexes.
  void make_collection(Engine& engine, const std::string& name, const std::string& text) {
    std::mt19937_64 rng(std::hash<std::string>{}(name + text));
    CollectionData data =
        testing::random_collection(rng, {.nodes = 1, .dimension = 2, .deleted_fraction = 0});
    data.name = name;
    const Uuid id = data.internal_to_uuid[0];
    data.store_document(id, Document{id, text, {}});
    engine.database().put_collection(std::make_shared<Collection>(std::move(data)));
  }

  std::string only_text(Engine& engine, const std::string& name) {
    auto collection = engine.find_collection(name);
    if (!collection) return "<missing>";
    return (*collection)->read([](const CollectionData& data) {
      return data.documents.size() == 1 ? std::string((*data.all_documents().begin()).text)
                                        : std::string("<not one>");
    });
  }

  std::string dir() const { return dir_.path().string(); }

  TempDir dir_;
};

TEST_F(EnginePersistenceTest, SaveThenLoadRestoresTheCollection) {
  Engine engine;
  make_collection(engine, "docs", "hello");
  ASSERT_TRUE(engine.save("docs", dir(), std::nullopt));
  EXPECT_TRUE(std::filesystem::exists(dir_.path() / "docs.kestrine"));

  Engine other;
  ASSERT_TRUE(other.load("docs", dir(), std::nullopt));
  EXPECT_EQ(only_text(other, "docs"), "hello");
}

TEST_F(EnginePersistenceTest, SaveOfAnUnknownCollectionIsNotFoundBeforeAnythingElse) {
  Engine engine;
  Status saved = engine.save("nope", std::nullopt, "bad key");
  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error().kind(), ErrorKind::kNotFound);
  EXPECT_EQ(saved.error().message(), "collection 'nope' not found");
}

TEST_F(EnginePersistenceTest, SaveAndLoadWithoutPathOrDataDirAreValueErrors) {
  Engine engine;
  make_collection(engine, "docs", "x");
  for (Status status : {engine.save("docs", std::nullopt, std::nullopt),
                        engine.load("docs", std::nullopt, std::nullopt)}) {
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().kind(), ErrorKind::kInvalidValue);
    EXPECT_EQ(status.error().message(),
              "no path specified and Kestrine was created without data_dir");
  }
}

TEST_F(EnginePersistenceTest, ABadKeyIsAValueErrorAndNothingIsWrittenOrReplaced) {
  Engine engine;
  make_collection(engine, "docs", "kept");
  Status saved = engine.save("docs", dir(), "abc");
  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error().kind(), ErrorKind::kInvalidValue);
  EXPECT_EQ(saved.error().message(), "encryption key must be 64 hex characters (32 bytes), got 3");
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));

  Status loaded = engine.load("docs", dir(), std::string(63, 'a') + "g");
  ASSERT_FALSE(loaded);
  EXPECT_EQ(loaded.error().kind(), ErrorKind::kInvalidValue);
  EXPECT_EQ(loaded.error().message(), "invalid hex at position 62: invalid digit found in string");
  EXPECT_EQ(only_text(engine, "docs"), "kept");
}

TEST_F(EnginePersistenceTest, LoadChecksTheNameFirst) {
  Engine engine;
  for (std::string bad : {std::string(""), std::string("../x"), std::string("a\0b", 3)}) {
    Status loaded = engine.load(bad, std::nullopt, "bad key");
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().kind(), ErrorKind::kInvalidValue);
    EXPECT_EQ(loaded.error().message(), "invalid collection name: '" + bad + "'");
  }
}

TEST_F(EnginePersistenceTest, AMissingSnapshotIsAnIoErrorWithTheLoadPrefix) {
  Engine engine;
  Status loaded = engine.load("ghost", dir(), std::nullopt);
  ASSERT_FALSE(loaded);
  EXPECT_EQ(loaded.error().kind(), ErrorKind::kIo);
  EXPECT_EQ(loaded.error().message(),
            "failed to load 'ghost': No such file or directory (os error 2)");
}

TEST_F(EnginePersistenceTest, ACorruptSnapshotIsInvalidDataAndLeavesTheCollectionInPlace) {
  Engine engine;
  make_collection(engine, "docs", "original");
  ASSERT_TRUE(write_file_synced(dir_.path() / "docs.kestrine", to_bytes("xyz")));
  Status loaded = engine.load("docs", dir(), std::nullopt);
  ASSERT_FALSE(loaded);
  EXPECT_EQ(loaded.error().kind(), ErrorKind::kInvalidData);
  EXPECT_EQ(loaded.error().message(), "failed to load 'docs': io error: unexpected end of file");
  EXPECT_EQ(only_text(engine, "docs"), "original");
}

TEST_F(EnginePersistenceTest, LoadReplacesACollectionOfThatName) {
  Engine engine;
  make_collection(engine, "docs", "saved");
  ASSERT_TRUE(engine.save("docs", dir(), std::nullopt));
  ASSERT_TRUE(engine.delete_collection("docs"));
  make_collection(engine, "docs", "newer");
  ASSERT_TRUE(engine.load("docs", dir(), std::nullopt));
  EXPECT_EQ(only_text(engine, "docs"), "saved");
  EXPECT_EQ(engine.collection_count(), 1u);
}

TEST_F(EnginePersistenceTest, ALoadedSnapshotTakesTheNameItIsLoadedUnder) {
  Engine engine;
  make_collection(engine, "a", "from a");
  make_collection(engine, "b", "from b");
  ASSERT_TRUE(engine.save("a", dir(), std::nullopt));
  ASSERT_TRUE(engine.save("b", dir(), std::nullopt));
  // A copy of a's file under another name.
  std::filesystem::copy_file(dir_.path() / "a.kestrine", dir_.path() / "copy.kestrine");

  Engine other;
  ASSERT_TRUE(other.load("copy", dir(), std::nullopt));
  EXPECT_EQ(other.list_collections(), std::vector<std::string>{"copy"});
  EXPECT_EQ((*other.find_collection("copy"))->name(), "copy");
  // Saving it writes copy.kestrine and leaves a's snapshot alone.
  ASSERT_TRUE(other.save("copy", dir(), std::nullopt));
  Engine check;
  ASSERT_TRUE(check.load("a", dir(), std::nullopt));
  ASSERT_TRUE(check.load("copy", dir(), std::nullopt));
  EXPECT_EQ(only_text(check, "a"), "from a");
  EXPECT_EQ(only_text(check, "copy"), "from a");
  EXPECT_EQ((*check.find_collection("copy"))->name(), "copy");
}

TEST_F(EnginePersistenceTest, AGivenKeyEncryptsAndIsNeededToLoad) {
  Engine engine;
  make_collection(engine, "docs", "secret");
  ASSERT_TRUE(engine.save("docs", dir(), kKey));
  auto file = read_file(dir_.path() / "docs.kestrine");
  EXPECT_EQ(std::string(file->begin(), file->begin() + 4), "KCE1");

  Engine other;
  Status loaded = other.load("docs", dir(), std::nullopt);
  ASSERT_FALSE(loaded);
  EXPECT_EQ(loaded.error().kind(), ErrorKind::kInvalidData);
  EXPECT_EQ(loaded.error().message(), "failed to load 'docs': snapshot " + dir() +
                                          "/docs.kestrine is encrypted but no encryption key "
                                          "was provided");
  loaded = other.load("docs", dir(), kOtherKey);
  ASSERT_FALSE(loaded);
  EXPECT_EQ(loaded.error().message(),
            "failed to load 'docs': decryption failed: wrong key or corrupted data");
  ASSERT_TRUE(other.load("docs", dir(), "  " + std::string(kKey) + "\n"));
  EXPECT_EQ(only_text(other, "docs"), "secret");
}

TEST_F(EnginePersistenceTest, TheDatabaseKeyIsSavesDefaultButNotLoads) {
  Engine engine(*parse_key(kKey));
  make_collection(engine, "docs", "by default");
  ASSERT_TRUE(engine.save("docs", dir(), std::nullopt));
  auto file = read_file(dir_.path() / "docs.kestrine");
  EXPECT_EQ(std::string(file->begin(), file->begin() + 4), "KCE1");

  Status loaded = engine.load("docs", dir(), std::nullopt);
  ASSERT_FALSE(loaded);
  EXPECT_NE(loaded.error().message().find("is encrypted but no encryption key was provided"),
            std::string::npos);
  ASSERT_TRUE(engine.load("docs", dir(), kKey));

  // A key given to save wins over the database key.
  ASSERT_TRUE(engine.save("docs", dir(), kOtherKey));
  EXPECT_TRUE(Engine().load("docs", dir(), kOtherKey));
}

}  // namespace
}  // namespace kestrine
