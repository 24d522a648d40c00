// Snapshot write and read throughput (bytes of snapshot file per second) for a collection of
// 100,000 documents of dimension 384, checksummed and encrypted, with texts and metadata
// (`content:1`) or vector-only (`content:0`: empty texts, no metadata, no keyword index).
//
// The collection's tables are filled synthetically, with the sizes a real index of that shape
// has (8-bit codes, per-node minimum and scale, 32 links on layer 0 and 16 on the upper
// layers of the ~1/16 nodes drawn there, a BM25 vocabulary with ~30 postings per document),
// not by inserting through the HNSW and BM25 code: what is measured is the codec, the
// checksum or cipher and the file I/O, which do not depend on how the tables were built.
//
//   Encode    records to bytes, with the CRC or the sealing; no I/O
//   Write     write_snapshot: encode, write, fsync, rename, fsync the directory
//   Read      read_snapshot: read the (page-cached) file, check, decode, validate, build (the
//             collection is freed outside the timing)
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "core/storage/crypto.h"
#include "core/storage/file_io.h"
#include "core/storage/snapshot.h"

namespace kestrine {
namespace {

constexpr uint32_t kDocuments = 100'000;
constexpr uint64_t kDimension = 384;

CollectionData synthetic_collection(bool content) {
  std::mt19937_64 rng(42);
  auto below = [&rng](uint64_t n) {
    return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng);
  };
  CollectionData data;
  data.name = "bench";
  data.dimension = kDimension;
  HnswIndex& h = data.hnsw;
  h.dimension = kDimension;
  h.node_count = kDocuments;
  h.vector_data.resize(uint64_t{kDocuments} * kDimension);
  for (uint8_t& b : h.vector_data) b = static_cast<uint8_t>(rng());
  for (uint32_t i = 0; i < kDocuments; ++i) {
    const float min = -0.1f * static_cast<float>(below(10));
    append_code_header(h, min, 0.001f * static_cast<float>(1 + below(10)));
  }
  h.neighbors.reserve(kDocuments);
  // Levels first: a list on layer l names only nodes drawn on layer l or above, as loading
  // checks.
  std::vector<std::vector<uint32_t>> on_layer(1);
  for (uint32_t node = 0; node < kDocuments; ++node) {
    uint64_t level = 0;
    while (level < 15 && below(16) == 0) ++level;
    h.max_level = std::max(h.max_level, level);
    h.layers.push_back(static_cast<uint8_t>(level));
    if (on_layer.size() <= level) on_layer.resize(level + 1);
    for (uint64_t layer = 0; layer <= level; ++layer) on_layer[layer].push_back(node);
  }
  std::vector<uint32_t> ids;
  for (uint32_t node = 0; node < kDocuments; ++node) {
    const uint64_t level = h.layers[node];
    h.neighbors.add_node(level + 1);
    for (uint64_t layer = 0; layer <= level; ++layer) {
      const std::vector<uint32_t>& pool = on_layer[layer];
      ids.resize(std::min<size_t>(layer == 0 ? 32 : 16, pool.size()));
      for (uint32_t& id : ids) id = pool[below(pool.size())];
      h.neighbors.assign(node, layer, ids);
    }
  }
  h.deleted.assign(kDocuments, 0);
  // The entry point is a node on the top layer, as loading checks.
  h.entry_point = static_cast<uint32_t>(std::find(h.layers.begin(), h.layers.end(), h.max_level) -
                                        h.layers.begin());

  static const char* kWords[] = {"vector",   "search", "engine",   "index", "graph", "query",
                                 "embedded", "python", "database", "layer", "token", "score"};
  for (uint32_t node = 0; node < kDocuments; ++node) {
    auto doc = std::make_shared<Document>();
    doc->id = new_uuid();
    data.internal_to_uuid.push_back(doc->id);
    data.uuid_to_internal[doc->id] = node;
    if (!content) {
      data.store_document(doc->id, *doc);
      data.bm25.doc_lengths.push_back(0);
      continue;
    }
    for (int w = 0; w < 30; ++w) {
      doc->text += kWords[below(12)];
      doc->text += ' ';
    }
    doc->metadata["source"] = std::string("corpus-") + std::to_string(below(100));
    doc->metadata["year"] = static_cast<int64_t>(2000 + below(25));
    doc->metadata["weight"] = static_cast<double>(below(1000)) / 7.0;
    data.store_document(doc->id, *doc);
    data.bm25.doc_lengths.push_back(30);
    for (int t = 0; t < 30; ++t) {
      data.bm25.postings["term" + std::to_string(below(20'000))].push_back(
          {node, static_cast<uint32_t>(1 + below(3))});
    }
  }
  data.bm25.doc_count = content ? kDocuments : 0;
  data.bm25.total_length = content ? uint64_t{kDocuments} * 30 : 0;
  return data;
}

const std::shared_ptr<Collection>& collection(bool content = true) {
  if (!content) {
    static const auto vectors_only = std::make_shared<Collection>(synthetic_collection(false));
    return vectors_only;
  }
  static const auto with_content = std::make_shared<Collection>(synthetic_collection(true));
  return with_content;
}

const EncryptionKey* key_for(bool encrypted) {
  static const KeyPtr key =
      *parse_key("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
  return encrypted ? key.get() : nullptr;
}

class Scratch {
 public:
  Scratch() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "kestrine-bench-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~Scratch() { std::filesystem::remove_all(path_); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

void BM_EncodeSnapshot(benchmark::State& state) {
  const EncryptionKey* key = key_for(state.range(0) != 0);
  collection();  // built before the clock starts
  size_t bytes = 0;
  for (auto _ : state) {
    auto file =
        collection()->read([&](const CollectionData& data) { return encode_snapshot(data, key); });
    bytes = file->size();
    benchmark::DoNotOptimize(file->data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes * state.iterations()));
  state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
}

void BM_WriteSnapshot(benchmark::State& state) {
  const EncryptionKey* key = key_for(state.range(0) != 0);
  collection();
  Scratch dir;
  for (auto _ : state) {
    if (!write_snapshot(collection(), dir.path(), key)) state.SkipWithError("write failed");
  }
  const auto size = std::filesystem::file_size(dir.path() / "bench.kestrine");
  state.SetBytesProcessed(static_cast<int64_t>(size * state.iterations()));
}

void BM_ReadSnapshot(benchmark::State& state) {
  const EncryptionKey* key = key_for(state.range(0) != 0);
  Scratch dir;
  if (!write_snapshot(collection(state.range(1) != 0), dir.path(), key)) {
    state.SkipWithError("write failed");
    return;
  }
  const auto path = dir.path() / "bench.kestrine";
  for (auto _ : state) {
    auto read = read_snapshot(path, key);
    if (!read) {
      state.SkipWithError(read.error().message().c_str());
      break;
    }
    benchmark::DoNotOptimize(read->get());
    // Freeing the collection is not part of reading it.
    state.PauseTiming();
    if (read) read->reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(
      static_cast<int64_t>(std::filesystem::file_size(path) * state.iterations()));
}

// Argument: 0 checksummed, 1 encrypted. Wall-clock time: the writes wait for the device.
BENCHMARK(BM_EncodeSnapshot)
    ->ArgName("encrypted")
    ->Arg(0)
    ->Arg(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2);
BENCHMARK(BM_WriteSnapshot)
    ->ArgName("encrypted")
    ->Arg(0)
    ->Arg(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2);
// Arguments: encrypted, then content (1 texts and metadata, 0 vector-only).
BENCHMARK(BM_ReadSnapshot)
    ->ArgNames({"encrypted", "content"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2);

}  // namespace
}  // namespace kestrine

BENCHMARK_MAIN();
