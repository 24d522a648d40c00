// Writes the seed corpus of the snapshot fuzzer: small valid snapshots in every form.
//   make_snapshot_corpus <directory>
#include <cstdio>
#include <random>
#include <string>

#include "core/storage/file_io.h"
#include "core/storage/records.h"
#include "core/storage/snapshot.h"
#include "tests/core/random_collection.h"
#include "tests/fuzz/snapshot_input.h"

using namespace kestrine;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  std::mt19937_64 rng(20240611);
  struct Seed {
    const char* name;
    testing::RandomOptions options;
    enum { kChecksummed, kEncrypted, kBare } form;
  };
  const Seed seeds[] = {
      {"empty", {.nodes = 0, .dimension = 2}, Seed::kChecksummed},
      {"raw_off", {.nodes = 4, .dimension = 4}, Seed::kChecksummed},
      {"raw_on", {.nodes = 4, .dimension = 4, .raw_vectors = true}, Seed::kChecksummed},
      {"pq_codebook", {.nodes = 3, .dimension = 4, .pq_subspaces = 2}, Seed::kChecksummed},
      {"deleted_nodes", {.nodes = 6, .dimension = 2, .deleted_fraction = 0.7}, Seed::kChecksummed},
      {"bare", {.nodes = 3, .dimension = 3}, Seed::kBare},
      {"encrypted", {.nodes = 3, .dimension = 2, .raw_vectors = true}, Seed::kEncrypted},
  };
  for (const Seed& seed : seeds) {
    CollectionData data = testing::random_collection(rng, seed.options);
    data.name = seed.name;
    std::vector<uint8_t> file;
    if (seed.form == Seed::kBare) {
      file = encode_collection(data);
    } else {
      file = *encode_snapshot(data, seed.form == Seed::kEncrypted ? &fuzzing::fuzz_key() : nullptr);
    }
    if (!fuzzing::check_snapshot_input(file)) {
      std::fprintf(stderr, "seed %s is not accepted\n", seed.name);
      return 1;
    }
    if (!write_file_synced(dir / (std::string(seed.name) + ".kestrine"), file)) return 1;
  }
  return 0;
}
