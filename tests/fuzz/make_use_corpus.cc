// Writes the seed corpus of the loaded-snapshot fuzzer: collections built through the engine's
// own operations (so that the graphs, keyword indexes and id maps are real ones), and the
// hand-made states of the snapshot corpus, each behind a few control blocks
// (snapshot_use_input.h).
//   make_use_corpus <directory>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/engine/engine.h"
#include "core/storage/file_io.h"
#include "core/storage/snapshot.h"
#include "tests/core/random_collection.h"
#include "tests/fuzz/snapshot_use_input.h"

using namespace kestrine;

namespace {

struct Built {
  const char* name;
  uint64_t dimension;
  HnswConfig config;
  int documents;
  int deleted_every;  // every n-th document is deleted again (0: none)
  bool rebuild;       // rebuilt at the end (trains product quantization when configured)
};

HnswConfig config(DistanceMetric metric, uint64_t m, bool raw, uint64_t pq_subspaces = 0) {
  HnswConfig c;
  c.m = m;
  c.m_max0 = 2 * m;
  c.ef_construction = 32;
  c.ef_search = 16;
  c.distance_metric = metric;
  c.store_raw_vectors = raw;
  c.pq_subspaces = pq_subspaces;
  return c;
}

const char* const kWords[] = {"river", "stone", "kestrel", "falco", "caffè", "blue",
                              "north", "wind",  "the",     "and",   "lago",  "sky"};

// A collection as the engine leaves it after inserts, a batch, deletes and maybe a rebuild.
CollectionData build(const Built& b, std::mt19937_64& rng) {
  Engine engine;
  (void)engine.create_collection(b.name, b.dimension, b.config);
  auto collection = *engine.find_collection(b.name);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::vector<Uuid> ids;
  std::vector<NewDocument> batch;
  for (int i = 0; i < b.documents; ++i) {
    auto document = std::make_shared<Document>();
    document->id = new_uuid();
    for (int w = 0; w < 1 + i % 4; ++w) {
      document->text += kWords[rng() % std::size(kWords)];
      document->text += ' ';
    }
    document->metadata["n"] = static_cast<int64_t>(i % 5);
    if (i % 2 == 0) document->metadata["tag"] = std::string(i % 4 == 0 ? "even" : "odd");
    if (i % 3 == 0) document->metadata["score"] = 0.25 * i;
    if (i % 7 == 0) document->metadata["flag"] = true;
    std::vector<float> embedding(b.dimension);
    for (float& x : embedding) x = unit(rng);
    ids.push_back(document->id);
    std::string id_text = format_uuid(document->id);
    NewDocument incoming{std::move(document), std::move(embedding), std::move(id_text)};
    if (i % 5 == 4) {
      batch.push_back(std::move(incoming));
      (void)engine.batch_insert(b.name, std::move(batch));
      batch.clear();
    } else {
      (void)engine.insert(b.name, std::move(incoming));
    }
  }
  if (b.deleted_every != 0) {
    for (size_t i = 0; i < ids.size(); i += static_cast<size_t>(b.deleted_every)) {
      (void)engine.delete_document(b.name, format_uuid(ids[i]));
    }
  }
  if (b.rebuild) (void)engine.rebuild(b.name);
  return collection->read([](const CollectionData& data) { return data; });
}

// Control blocks put in front of every file.
std::vector<std::vector<uint8_t>> control_blocks() {
  return {
      // mend CRC; stored PQ; k 10; eq filter; alpha 0.7; no minimum; node 0
      {1, 0, 10, 0, 1, 2, 3, 4, 0, 153, 0, 0, 5, 6, 7, 8},
      // mend CRC, NaN query, must_not, linear; PQ on every dimension; k 3; "in"; minimum -1
      {15, 255, 3, 0, 9, 9, 9, 9, 6, 255, 64, 3, 1, 0, 0, 0},
      // mend CRC; 2 subspaces; k 300; gt filter; alpha -0.5; minimum 0.5; node 7
      {1, 2, 44, 1, 7, 0, 0, 0, 2, 0, 160, 7, 9, 9, 0, 0},
  };
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  std::mt19937_64 rng(20240919);
  std::vector<std::pair<std::string, std::vector<uint8_t>>> files;

  const Built built[] = {
      {"cosine", 8, config(DistanceMetric::kCosine, 8, false), 40, 4, false},
      {"euclidean_raw", 4, config(DistanceMetric::kEuclidean, 4, true), 30, 3, false},
      {"dot_pq", 8, config(DistanceMetric::kDotProduct, 6, false, 4), 24, 5, true},
      {"levels", 3, config(DistanceMetric::kEuclidean, 2, true), 20, 6, false},
      {"rebuilt", 5, config(DistanceMetric::kCosine, 4, false), 16, 2, true},
      {"empty", 6, config(DistanceMetric::kCosine, 16, false), 0, 0, false},
  };
  for (const Built& b : built) {
    files.emplace_back(b.name, *encode_snapshot(build(b, rng), nullptr));
  }
  // The hand-made states of the snapshot corpus: inconsistent graphs and keyword indexes that
  // still pass validation.
  const std::pair<const char*, testing::RandomOptions> made[] = {
      {"made_raw_off", {.nodes = 6, .dimension = 4}},
      {"made_raw_on", {.nodes = 5, .dimension = 3, .raw_vectors = true}},
      {"made_pq", {.nodes = 4, .dimension = 4, .pq_subspaces = 2}},
      {"made_deleted", {.nodes = 7, .dimension = 2, .deleted_fraction = 0.7}},
  };
  for (const auto& [name, options] : made) {
    CollectionData data = testing::random_collection(rng, options);
    data.name = name;
    files.emplace_back(name, *encode_snapshot(data, nullptr));
  }

  const auto controls = control_blocks();
  for (const auto& [name, file] : files) {
    for (size_t c = 0; c < controls.size(); ++c) {
      std::vector<uint8_t> input = controls[c];
      input.insert(input.end(), file.begin(), file.end());
      if (!fuzzing::check_snapshot_use(input)) {
        std::fprintf(stderr, "seed %s is not accepted\n", name.c_str());
        return 1;
      }
      if (!write_file_synced(dir / (name + "." + std::to_string(c)), input)) return 1;
    }
  }
  return 0;
}
