// Recall and speed of the HNSW index on clustered data: builds an index over N vectors with the
// default parameters (m 16, ef_construction 200) for every metric, in compact mode (8-bit codes
// only) and with raw vectors, then measures recall@10 against exact float32 brute force and
// single-thread queries per second for several ef_search values.
//
// Usage: hnsw_bench [--quick] [--n N] [--queries Q] [--dim D] [--metric NAME] [--mode compact|raw]
//                   [--data FILE] [--query-data FILE] [--kernels portable,avx2,avx512]
// The environment variable KESTRINE_BENCH_QUICK=1 is the same as --quick (10,000 vectors).
//
// --data and --query-data read the indexed vectors and the queries from raw little-endian
// float32 files of rows of --dim values (such as the cache that bench/datasets.py writes)
// instead of generating them, so that this program and the Python benchmarks measure the very
// same vectors; N and Q are then the files' row counts.
//
// The data is a fixed-seed mixture of 100 Gaussian clusters: centres drawn from N(0, 1) per
// component, every point its centre plus N(0, 1.5^2) per component, so that clusters overlap
// and the nearest neighbours are not simply "the same cluster". Queries are further points of
// the same mixture, not in the index.
//
// --kernels times the searches once per listed kernel variant (the index is built with the
// automatic choice), the variants taking turns within each repeat so that they see the same
// machine; the last column names the variant ("auto" without the option). A variant this
// processor lacks is an error.
//
// Levels are drawn from a fixed seed, so that two builds of the same vectors give the same graph
// wherever construction is unchanged: each build prints a digest of its graph (every node's
// lists, layer by layer) to compare builds of two versions by.
//
// Times are the thread's CPU time (the machine is shared; wall time is printed beside the
// build time), so "qps" is queries per CPU-second of one thread.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/clustered_mixture.h"
#include "bench/command_line.h"
#include "core/hnsw/hnsw_index.h"
#include "core/hnsw/insert.h"
#include "core/hnsw/level_random.h"
#include "core/hnsw/search.h"
#include "core/quantization/distance.h"
#include "core/quantization/kernel_dispatch.h"
#include "core/quantization/scalar.h"
#include "tests/core/engine_probes.h"

namespace kestrine {
namespace {

struct Options {
  size_t n = 100000;
  size_t queries = 1000;
  size_t dim = 128;
  size_t clusters = 100;
  float spread = 1.5f;       // standard deviation of a point around its centre, per component
  float norm_spread = 0.0f;  // data points are scaled by exp(norm_spread * N(0, 1))
  float offset = 0.0f;       // added to every component of centres (a common mean)
  std::vector<DistanceMetric> metrics = {DistanceMetric::kCosine, DistanceMetric::kEuclidean,
                                         DistanceMetric::kDotProduct};
  std::vector<bool> raw_modes = {false, true};
  std::vector<size_t> efs = {10, 20, 50, 100, 200};
  int repeats = 3;         // timed passes over the queries; the best one counts
  std::string data_path;   // read the indexed vectors from this file instead of generating them
  std::string query_path;  // the same for the queries
  std::vector<KernelVariant> kernels;  // searches timed under each; empty: the automatic choice
};

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double thread_cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// `count` points of the mixture, back to back.
std::vector<float> mixture(const Options& o, size_t count, uint32_t seed) {
  return bench::clustered_mixture({o.dim, o.clusters, o.spread, o.norm_spread, o.offset}, count,
                                  seed);
}

// Exact top-k ids of each query by a distance function over node ids.
template <typename Distance>
std::vector<std::vector<uint32_t>> top_k(size_t nodes, size_t queries, size_t k,
                                         Distance&& distance) {
  std::vector<std::vector<uint32_t>> out(queries);
  std::vector<std::pair<float, uint32_t>> all(nodes);
  for (size_t q = 0; q < queries; ++q) {
    for (uint32_t n = 0; n < nodes; ++n) all[n] = {distance(q, n), n};
    std::partial_sort(all.begin(), all.begin() + static_cast<ptrdiff_t>(k), all.end());
    for (size_t i = 0; i < k; ++i) out[q].push_back(all[i].second);
  }
  return out;
}

double recall(const std::vector<std::vector<uint32_t>>& truth,
              const std::vector<std::vector<uint32_t>>& found) {
  size_t hits = 0, total = 0;
  for (size_t q = 0; q < truth.size(); ++q) {
    for (uint32_t id : found[q]) hits += std::count(truth[q].begin(), truth[q].end(), id);
    total += truth[q].size();
  }
  return static_cast<double>(hits) / static_cast<double>(total);
}

// The index's heap bytes: by table lengths, or by what is allocated (growth slack included).
// FNV-1a over every node's lists, layer by layer: length, then ids.
uint64_t graph_digest(const HnswIndex& index) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  const auto mix = [&](uint64_t value) {
    for (int byte = 0; byte < 8; ++byte) {
      hash ^= (value >> (8 * byte)) & 0xff;
      hash *= 0x100000001b3ULL;
    }
  };
  for (uint32_t node = 0; node < index.node_count; ++node) {
    const size_t layers = index.neighbors.layer_count(node);
    mix(layers);
    for (size_t layer = 0; layer < layers; ++layer) {
      const auto list = index.neighbors.get(node, layer);
      mix(list.size());
      for (uint32_t id : list) mix(id);
    }
  }
  return hash;
}

size_t index_bytes(const HnswIndex& index, bool allocated) {
  const auto bytes = [&](const auto& v) {
    return (allocated ? v.capacity() : v.size()) * sizeof(v[0]);
  };
  return bytes(index.vector_data) + bytes(index.headers.values) + bytes(index.raw_vectors) +
         bytes(index.layers) + bytes(index.deleted) + bytes(index.pq_codes) +
         index.neighbors.memory_bytes(allocated);
}

// Rows of `dim` float32 values from a raw little-endian file; exits with a message when the
// file cannot be read or does not hold a whole number of rows.
std::vector<float> read_rows(const std::string& path, size_t dim) {
  static_assert(std::endian::native == std::endian::little, "the files are little-endian");
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  const std::streamoff bytes = in ? static_cast<std::streamoff>(in.tellg()) : -1;
  std::vector<float> rows;
  if (bytes > 0 && static_cast<size_t>(bytes) % (dim * sizeof(float)) == 0) {
    rows.resize(static_cast<size_t>(bytes) / sizeof(float));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(rows.data()), bytes);
  }
  if (rows.empty() || !in) {
    std::fprintf(stderr, "%s: not a readable file of rows of %zu float32 values\n", path.c_str(),
                 dim);
    std::exit(2);
  }
  return rows;
}

// A comma-separated list of variant names, each supported here; exits with a message otherwise.
std::vector<KernelVariant> parse_kernels(const std::string& list) {
  std::vector<KernelVariant> out;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t comma = std::min(list.find(',', start), list.size());
    const std::string name = list.substr(start, comma - start);
    bool known = false;
    for (KernelVariant variant :
         {KernelVariant::kPortable, KernelVariant::kAvx2, KernelVariant::kAvx512}) {
      if (name == kernel_variant_name(variant)) {
        if (!kernel_variant_supported(variant)) {
          std::fprintf(stderr, "this processor lacks the %s kernels\n", name.c_str());
          std::exit(2);
        }
        out.push_back(variant);
        known = true;
      }
    }
    if (!known) {
      std::fprintf(stderr, "unknown kernel variant '%s'\n", name.c_str());
      std::exit(2);
    }
    start = comma + 1;
  }
  return out;
}

void run(Options o) {
  const size_t k = 10;
  auto start = Clock::now();
  const std::vector<float> data =
      o.data_path.empty() ? mixture(o, o.n, 1) : read_rows(o.data_path, o.dim);
  const std::vector<float> queries =
      o.query_path.empty() ? mixture(o, o.queries, 2) : read_rows(o.query_path, o.dim);
  o.n = data.size() / o.dim;
  o.queries = queries.size() / o.dim;
  std::printf("HNSW benchmark: %zu vectors of dimension %zu, %zu queries, %s\n", o.n, o.dim,
              o.queries,
              o.data_path.empty() ? (std::to_string(o.clusters) + " clusters").c_str()
                                  : o.data_path.c_str());
  std::printf("data %s in %.1f s\n\n", o.data_path.empty() ? "generated" : "read",
              seconds_since(start));
  const auto vec = [&](const std::vector<float>& v, size_t i) {
    return std::span(v).subspan(i * o.dim, o.dim);
  };

  std::printf("%-11s %-7s %7s %6s %9s %9s %9s %5s %9s %8s %s\n", "metric", "mode", "build_s",
              "wall_s", "bytes/vec", "alloc/vec", "code_ceil", "ef", "recall@10", "qps", "kernels");
  for (DistanceMetric metric : o.metrics) {
    start = Clock::now();
    const auto truth = top_k(o.n, o.queries, k, [&](size_t q, uint32_t n) {
      return vector_distance(metric, vec(queries, q), vec(data, n));
    });
    const double truth_s = seconds_since(start);
    for (bool raw : o.raw_modes) {
      HnswConfig config;
      config.distance_metric = metric;
      config.store_raw_vectors = raw;
      HnswIndex index = make_hnsw_index(config, o.dim);
      seed_level_random(1);
      start = Clock::now();
      const double cpu_start = thread_cpu_seconds();
      for (size_t i = 0; i < o.n; ++i) {
        const auto v = vec(data, i);
        (void)insert(index, static_cast<uint32_t>(i), v, quantize(v));
      }
      const double build_s = thread_cpu_seconds() - cpu_start;
      const double build_wall = seconds_since(start);
      const double bytes = static_cast<double>(index_bytes(index, false)) / o.n;
      const double allocated = static_cast<double>(index_bytes(index, true)) / o.n;
      std::printf("(%s %s graph digest %016llx)\n", std::string(metric_name(metric)).c_str(),
                  raw ? "raw" : "compact", static_cast<unsigned long long>(graph_digest(index)));

      // The best recall any search over these distances can reach: brute force over the codes
      // (compact mode) against the float32 truth.
      double ceiling = 1.0;
      if (!raw) {
        const auto code_truth = top_k(o.n, o.queries, k, [&](size_t q, uint32_t n) {
          const auto query = vec(queries, q);
          return node_distance(index, query, n, squared_norm(query));
        });
        ceiling = recall(truth, code_truth);
      }

      for (size_t ef : o.efs) {
        index.config.ef_search = ef;
        const size_t runs = std::max<size_t>(o.kernels.size(), 1);
        std::vector<std::vector<std::vector<uint32_t>>> found(
            runs, std::vector<std::vector<uint32_t>>(o.queries));
        std::vector<double> best(runs, 1e300);
        for (int r = 0; r < o.repeats; ++r) {
          for (size_t run = 0; run < runs; ++run) {
            if (!o.kernels.empty()) force_kernel_variant(o.kernels[run]);
            const double t0 = thread_cpu_seconds();
            for (size_t q = 0; q < o.queries; ++q) {
              const auto hits = search(index, vec(queries, q), k);
              found[run][q].clear();
              for (const SearchHit& hit : hits) found[run][q].push_back(hit.id);
            }
            best[run] = std::min(best[run], thread_cpu_seconds() - t0);
          }
        }
        force_portable_kernels(false);
        for (size_t run = 0; run < runs; ++run) {
          std::printf("%-11s %-7s %7.1f %6.1f %9.0f %9.0f %9.4f %5zu %9.4f %8.0f %s\n",
                      std::string(metric_name(metric)).c_str(), raw ? "raw" : "compact", build_s,
                      build_wall, bytes, allocated, ceiling, ef, recall(truth, found[run]),
                      static_cast<double>(o.queries) / best[run],
                      o.kernels.empty() ? "auto" : kernel_variant_name(o.kernels[run]));
        }
        std::fflush(stdout);
      }
    }
    std::printf("(exact float32 truth for %s: %.1f s)\n", std::string(metric_name(metric)).c_str(),
                truth_s);
  }
}

Options parse(int argc, char** argv) {
  Options o;
  if (bench::quick_from_environment()) {
    o.n = 10000;
    o.queries = 200;
  }
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&] { return bench::option_value(argc, argv, i); };
    if (arg == "--quick") {
      o.n = 10000;
      o.queries = 200;
    } else if (arg == "--n") {
      o.n = std::stoul(value());
    } else if (arg == "--queries") {
      o.queries = std::stoul(value());
    } else if (arg == "--dim") {
      o.dim = std::stoul(value());
    } else if (arg == "--clusters") {
      o.clusters = std::stoul(value());
    } else if (arg == "--spread") {
      o.spread = std::stof(value());
    } else if (arg == "--norm-spread") {
      o.norm_spread = std::stof(value());
    } else if (arg == "--offset") {
      o.offset = std::stof(value());
    } else if (arg == "--ef") {
      o.efs = {std::stoul(value())};
    } else if (arg == "--repeats") {
      o.repeats = std::stoi(value());
    } else if (arg == "--metric") {
      const auto metric = parse_metric(value());
      if (!metric) {
        std::fprintf(stderr, "unknown metric\n");
        std::exit(2);
      }
      o.metrics = {*metric};
    } else if (arg == "--data") {
      o.data_path = value();
    } else if (arg == "--query-data") {
      o.query_path = value();
    } else if (arg == "--kernels") {
      o.kernels = parse_kernels(value());
    } else if (arg == "--mode") {
      const std::string mode = value();
      o.raw_modes = {mode == "raw"};
    } else {
      std::fprintf(stderr,
                   "usage: hnsw_bench [--quick] [--n N] [--queries Q] [--dim D] [--clusters C] "
                   "[--repeats R] [--metric cosine|euclidean|dot_product] [--mode compact|raw] "
                   "[--spread S] [--norm-spread S] [--offset X] [--ef EF] [--data FILE] "
                   "[--query-data FILE] [--kernels portable,avx2,avx512]\n");
      std::exit(2);
    }
  }
  return o;
}

}  // namespace
}  // namespace kestrine

int main(int argc, char** argv) {
  kestrine::run(kestrine::parse(argc, argv));
  return 0;
}
