// Cost and quality of Collection::rebuild on clustered data: builds a collection of N vectors by
// ordinary inserts, optionally deletes a fraction, then rebuilds it; reports the time of the
// build half (no lock held) and of the installation (the exclusive lock), and recall@10 with
// single-thread queries per second for the fresh and the rebuilt index. Then sets pq_subspaces,
// as a stored configuration would, and rebuilds with product quantization for each subspace
// count, reporting the training rebuild's time and the recall and speed of the search that
// walks the graph with the distance tables and rescores its final list; beside it, the
// "ceiling": what a walk that found exactly the ef nearest nodes by table distance would
// return after rescoring (brute force over the whole index).
//
// Usage: rebuild_bench [--quick] [--n N] [--queries Q] [--dim D] [--metric NAME]
//                      [--mode compact|raw] [--deleted FRACTION] [--pq M,M,...] [--ef E,E,...]
// The environment variable KESTRINE_BENCH_QUICK=1 is the same as --quick (10,000 vectors).
//
// The data is the mixture of hnsw_bench.cc (clustered_mixture.h) with its defaults: 100
// Gaussian clusters, spread 1.5; queries are further points of the mixture. Recall is against
// exact float32 brute force over the live documents. Times are thread CPU time, as in
// hnsw_bench ("qps" is queries per CPU-second of one thread); wall time is printed beside the
// rebuild times, with the longest wait of a reader probing the collection meanwhile (the
// exclusive lock of the installation).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/clustered_mixture.h"
#include "bench/command_line.h"
#include "core/collection/collection.h"
#include "core/collection/rebuild.h"
#include "core/hnsw/node_scorer.h"
#include "core/hnsw/search.h"
#include "core/quantization/distance.h"
#include "core/quantization/pq.h"
#include "tests/core/engine_probes.h"

namespace kestrine {
namespace {

struct Options {
  size_t n = 100000;
  size_t queries = 1000;
  size_t dim = 128;
  size_t clusters = 100;
  float spread = 1.5f;
  DistanceMetric metric = DistanceMetric::kCosine;
  bool raw = false;
  double deleted = 0.0;
  std::vector<uint64_t> pq = {16, 32};
  std::vector<size_t> efs = {50, 100};
  int repeats = 3;  // timed passes over the queries; the best one counts
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

std::vector<float> mixture(const Options& o, size_t count, uint32_t seed) {
  return bench::clustered_mixture({.dim = o.dim, .clusters = o.clusters, .spread = o.spread}, count,
                                  seed);
}

using Neighbours = std::vector<std::vector<uint32_t>>;  // per query, document numbers

double recall(const Neighbours& truth, const Neighbours& found) {
  size_t hits = 0, total = 0;
  for (size_t q = 0; q < truth.size(); ++q) {
    for (uint32_t id : found[q]) hits += std::count(truth[q].begin(), truth[q].end(), id);
    total += truth[q].size();
  }
  return static_cast<double>(hits) / static_cast<double>(total);
}

struct Bench {
  const Options& o;
  std::vector<float> data, queries;
  std::vector<bool> live;
  std::unique_ptr<Collection> collection;
  std::vector<DocumentPtr> documents;

  std::span<const float> row(const std::vector<float>& v, size_t i) const {
    return std::span(v).subspan(i * o.dim, o.dim);
  }

  // Exact top 10 of every query among the live documents.
  Neighbours truth() const {
    Neighbours out(o.queries);
    std::vector<std::pair<float, uint32_t>> all;
    for (size_t q = 0; q < o.queries; ++q) {
      all.clear();
      for (uint32_t n = 0; n < o.n; ++n) {
        if (live[n]) all.push_back({vector_distance(o.metric, row(queries, q), row(data, n)), n});
      }
      const size_t k = std::min<size_t>(10, all.size());
      std::partial_sort(all.begin(), all.begin() + static_cast<ptrdiff_t>(k), all.end());
      for (size_t i = 0; i < k; ++i) out[q].push_back(all[i].second);
    }
    return out;
  }

  // Recall@10 and queries per CPU-second at each ef, answers mapped back to document numbers
  // (the text of document n is its number).
  // The document number of a node.
  static uint32_t number_of(const CollectionData& d, uint32_t node) {
    return static_cast<uint32_t>(
        std::stoul(std::string(d.find_document(d.internal_to_uuid[node])->text)));
  }

  // What a search would return if its walk found exactly the ef nearest live nodes by table
  // distance: those, rescored and cut to 10. A recall well below it is the graph walk's loss;
  // the ceiling's own distance from 1 is the codebook's.
  Neighbours table_ceiling(const CollectionData& d, size_t ef) const {
    Neighbours out(o.queries);
    std::vector<SearchHit> all;
    for (size_t q = 0; q < o.queries; ++q) {
      const auto query = row(queries, q);
      const std::vector<float> table =
          pq_distance_table(*d.hnsw.pq_codebook, query, d.hnsw.config.distance_metric);
      const NodeScorer scorer(d.hnsw, query, squared_norm(query), table);
      all.clear();
      for (uint32_t n = 0; n < d.hnsw.node_count; ++n) {
        if (d.hnsw.deleted[n] == 0) all.push_back({scorer.distance(n), n});
      }
      const size_t beam = std::min(ef, all.size());
      const auto nearer = [](const SearchHit& a, const SearchHit& b) {
        return a.distance < b.distance || (a.distance == b.distance && a.id < b.id);
      };
      std::partial_sort(all.begin(), all.begin() + static_cast<ptrdiff_t>(beam), all.end(), nearer);
      all.resize(beam);
      for (SearchHit& hit : all) hit.distance = scorer.exact(hit.id);
      std::sort(all.begin(), all.end(), nearer);
      for (size_t i = 0; i < std::min<size_t>(10, all.size()); ++i) {
        out[q].push_back(number_of(d, all[i].id));
      }
    }
    return out;
  }

  void measure(const char* label, const Neighbours& expected) {
    for (size_t ef : o.efs) {
      collection->write([&](CollectionData& d) { d.hnsw.config.ef_search = ef; });
      Neighbours found(o.queries);
      double best = 1e300;
      for (int r = 0; r < o.repeats; ++r) {
        collection->read([&](const CollectionData& d) {
          const double t0 = thread_cpu_seconds();
          for (size_t q = 0; q < o.queries; ++q) {
            const auto hits = search(d.hnsw, row(queries, q), 10);
            found[q].clear();
            for (const SearchHit& hit : hits) found[q].push_back(number_of(d, hit.id));
          }
          best = std::min(best, thread_cpu_seconds() - t0);
        });
      }
      const std::string ceiling = collection->read([&](const CollectionData& d) {
        if (!d.hnsw.pq_codebook) return std::string();
        char text[32];
        std::snprintf(text, sizeof text, "%10.4f", recall(expected, table_ceiling(d, ef)));
        return std::string(text);
      });
      std::printf("%-22s %5zu %9.4f %8.0f%s\n", label, ef, recall(expected, found),
                  static_cast<double>(o.queries) / best, ceiling.c_str());
      std::fflush(stdout);
    }
  }

  void rebuild(const char* label) {
    // A reader that takes the shared lock every millisecond: its longest wait is how long the
    // rebuild kept readers out.
    std::atomic<bool> done{false};
    double longest_wait = 0;
    std::thread probe([&] {
      while (!done.load()) {
        const auto t0 = Clock::now();
        (void)document_count(*collection);
        longest_wait = std::max(longest_wait, seconds_since(t0));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    const auto start = Clock::now();
    const double cpu0 = thread_cpu_seconds();
    auto rebuilt = build_indexes(*collection);
    if (!rebuilt) {
      std::fprintf(stderr, "rebuild failed: %s\n", rebuilt.error().message().c_str());
      std::exit(1);
    }
    const double build_cpu = thread_cpu_seconds() - cpu0;
    const auto install_start = Clock::now();
    const uint64_t count = install_indexes(*collection, std::move(*rebuilt));
    const double install_s = seconds_since(install_start);
    done.store(true);
    probe.join();
    std::printf(
        "%s: %llu documents, build %.1f s cpu (%.1f s wall), install %.1f ms wall, "
        "longest reader wait %.1f ms\n",
        label, static_cast<unsigned long long>(count), build_cpu,
        std::chrono::duration<double>(install_start - start).count(), 1e3 * install_s,
        1e3 * longest_wait);
  }
};

void run(const Options& o) {
  std::printf("rebuild benchmark: %zu vectors of dimension %zu, %zu queries, metric %s, %s\n", o.n,
              o.dim, o.queries, std::string(metric_name(o.metric)).c_str(),
              o.raw ? "raw vectors" : "compact (8-bit codes)");
  Bench b{o, mixture(o, o.n, 1), mixture(o, o.queries, 2), std::vector<bool>(o.n, true), {}, {}};
  HnswConfig config;
  config.distance_metric = o.metric;
  config.store_raw_vectors = o.raw;
  b.collection = std::make_unique<Collection>("bench", o.dim, config);

  auto start = Clock::now();
  double cpu0 = thread_cpu_seconds();
  for (size_t i = 0; i < o.n; ++i) {
    b.documents.push_back(
        std::make_shared<const Document>(Document{new_uuid(), std::to_string(i), {}}));
    if (!b.collection->insert_document(b.documents.back(), b.row(b.data, i))) std::abort();
  }
  std::printf("inserted in %.1f s cpu (%.1f s wall)\n", thread_cpu_seconds() - cpu0,
              seconds_since(start));

  start = Clock::now();
  Neighbours truth = b.truth();
  std::printf("exact truth in %.1f s\n\n%-22s %5s %9s %8s %10s\n", seconds_since(start), "index",
              "ef", "recall@10", "qps", "ceiling");
  b.measure("fresh", truth);

  if (o.deleted > 0) {
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<double> u(0, 1);
    for (size_t i = 0; i < o.n; ++i) {
      if (u(rng) < o.deleted) {
        b.collection->delete_document(b.documents[i]->id);
        b.live[i] = false;
      }
    }
    truth = b.truth();
    b.measure("fresh, with deletions", truth);
  }

  b.rebuild("rebuild");
  b.measure("rebuilt", truth);
  for (uint64_t m : o.pq) {
    b.collection->write([&](CollectionData& d) { d.hnsw.config.pq_subspaces = m; });
    const std::string label = "rebuilt, pq " + std::to_string(m);
    b.rebuild(label.c_str());
    b.measure(label.c_str(), truth);
  }
}

std::vector<size_t> parse_list(const std::string& text) {
  std::vector<size_t> out;
  size_t pos = 0;
  while (pos <= text.size()) {
    const size_t comma = std::min(text.find(',', pos), text.size());
    out.push_back(std::stoul(text.substr(pos, comma - pos)));
    pos = comma + 1;
  }
  return out;
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
    } else if (arg == "--deleted") {
      o.deleted = std::stod(value());
    } else if (arg == "--pq") {
      o.pq.clear();
      for (size_t m : parse_list(value())) {
        if (m != 0) o.pq.push_back(m);  // "--pq 0": no product quantization
      }
    } else if (arg == "--ef") {
      o.efs = parse_list(value());
    } else if (arg == "--metric") {
      const auto metric = parse_metric(value());
      if (!metric) {
        std::fprintf(stderr, "unknown metric\n");
        std::exit(2);
      }
      o.metric = *metric;
    } else if (arg == "--mode") {
      o.raw = value() == "raw";
    } else {
      std::fprintf(stderr,
                   "usage: rebuild_bench [--quick] [--n N] [--queries Q] [--dim D] "
                   "[--metric cosine|euclidean|dot_product] [--mode compact|raw] "
                   "[--deleted FRACTION] [--pq M,M,...] [--ef E,E,...]\n");
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
