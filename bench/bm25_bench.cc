// Keyword index benchmarks: tokenizer throughput on ASCII and on mixed-script text, index
// build, keyword-search latency (p50/p99) and throughput at k = 10, and document removal, all
// over the synthetic corpus of bm25_corpus.h (100,000 documents by default).
//
//   bm25_bench [--documents=N] [--dump_corpus=DIR] [--texts=FILE] [--queries=FILE]
//              [google benchmark flags]
//
// --dump_corpus writes DIR/corpus.jsonl and DIR/queries.jsonl and exits, for the benchmarks of
// other BM25 libraries over the very same texts. --texts and --queries replace the synthetic
// documents and queries with the lines of a file (one text a line), so that the search can be
// timed and profiled on the query sets of bench/keyword_peers.py.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <numeric>
#include <string>
#include <vector>

#include "bench/bm25_corpus.h"
#include "core/bm25/inverted_index.h"
#include "core/bm25/stop_words.h"
#include "core/bm25/tokenizer.h"

namespace kestrine::bench {
namespace {

using Clock = std::chrono::steady_clock;

CorpusShape g_shape;
std::string g_texts_file;
std::string g_queries_file;

std::vector<std::string> read_lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  if (!in) std::fprintf(stderr, "cannot read %s\n", path.c_str());
  for (std::string line; std::getline(in, line);) lines.push_back(std::move(line));
  return lines;
}

const Corpus& corpus() {
  static const Corpus c = [] {
    Corpus generated = generate_corpus(g_shape);
    if (!g_texts_file.empty()) generated.documents = read_lines(g_texts_file);
    if (!g_queries_file.empty()) generated.queries = read_lines(g_queries_file);
    return generated;
  }();
  return c;
}

const InvertedIndex& index() {
  static const InvertedIndex built = [] {
    InvertedIndex index;
    const auto start = Clock::now();
    for (size_t id = 0; id < corpus().documents.size(); ++id) {
      add_document(index, static_cast<uint32_t>(id), corpus().documents[id]);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::fprintf(stderr, "index: %u documents, %zu terms, %llu tokens, built in %.2f s\n",
                 index.doc_count, index.postings.size(),
                 static_cast<unsigned long long>(index.total_length), seconds);
    return index;
  }();
  return built;
}

// About 8 MB of each kind of text.
const std::vector<std::string>& ascii_texts() {
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> t;
    size_t bytes = 0;
    for (const std::string& d : corpus().documents) {
      if (bytes >= (8u << 20)) break;
      t.push_back(d);
      bytes += d.size();
    }
    return t;
  }();
  return texts;
}

const std::vector<std::string>& mixed_texts() {
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> t;
    for (uint64_t seed = 1; seed <= ascii_texts().size(); ++seed) {
      t.push_back(generate_mixed_text(seed, ascii_texts()[seed - 1].size()));
    }
    return t;
  }();
  return texts;
}

void run_tokenizer(benchmark::State& state, const std::vector<std::string>& texts) {
  size_t bytes = 0;
  for (const std::string& t : texts) bytes += t.size();
  size_t tokens = 0;
  for (auto _ : state) {
    for (const std::string& t : texts) {
      const Tokens result = tokenize(t);
      tokens += result.spans.size();
      benchmark::DoNotOptimize(result.spans.data());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes * state.iterations()));
  state.counters["tokens/s"] =
      benchmark::Counter(static_cast<double>(tokens), benchmark::Counter::kIsRate);
}

void BM_TokenizeAscii(benchmark::State& state) { run_tokenizer(state, ascii_texts()); }
void BM_TokenizeMixedUnicode(benchmark::State& state) { run_tokenizer(state, mixed_texts()); }

void BM_BuildIndex(benchmark::State& state) {
  const auto& docs = corpus().documents;
  const size_t count = std::min<size_t>(docs.size(), 20'000);
  for (auto _ : state) {
    InvertedIndex index;
    for (size_t id = 0; id < count; ++id) add_document(index, static_cast<uint32_t>(id), docs[id]);
    benchmark::DoNotOptimize(index.doc_count);
  }
  state.counters["docs/s"] = benchmark::Counter(static_cast<double>(count * state.iterations()),
                                                benchmark::Counter::kIsRate);
}

double percentile(std::vector<double> sorted_values, double p) {
  std::ranges::sort(sorted_values);
  const auto at = static_cast<size_t>(p * static_cast<double>(sorted_values.size() - 1) + 0.5);
  return sorted_values[at];
}

// This thread's CPU time in seconds: on a shared machine, wall-clock latency also counts the
// time other processes held the core, so both are reported.
double thread_cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void BM_KeywordSearch(benchmark::State& state) {
  const InvertedIndex& idx = index();
  const auto& queries = corpus().queries;
  const auto k = static_cast<size_t>(state.range(0));
  std::vector<double> wall_us;
  std::vector<double> cpu_us;
  double wall_total = 0;
  double cpu_total = 0;
  size_t hits = 0;
  for (auto _ : state) {
    for (const std::string& q : queries) {
      const auto start = Clock::now();
      const double cpu_start = thread_cpu_seconds();
      const auto result = keyword_search(idx, q, k);
      const double cpu = thread_cpu_seconds() - cpu_start;
      const double wall = std::chrono::duration<double>(Clock::now() - start).count();
      hits += result.size();
      wall_total += wall;
      cpu_total += cpu;
      wall_us.push_back(wall * 1e6);
      cpu_us.push_back(cpu * 1e6);
    }
  }
  const auto count = static_cast<double>(wall_us.size());
  state.counters["p50_us"] = percentile(wall_us, 0.50);
  state.counters["p99_us"] = percentile(wall_us, 0.99);
  state.counters["qps"] = count / wall_total;
  state.counters["p50_cpu_us"] = percentile(cpu_us, 0.50);
  state.counters["p99_cpu_us"] = percentile(cpu_us, 0.99);
  state.counters["qps_cpu"] = count / cpu_total;
  state.counters["hits/query"] = static_cast<double>(hits) / count;
}

// Removal visits every term once; this measures it on a copy of the full index.
void BM_RemoveDocument(benchmark::State& state) {
  InvertedIndex copy = index();
  SplitMix64 rng(7);
  for (auto _ : state) {
    remove_document(copy, static_cast<uint32_t>(rng.below(copy.doc_lengths.size())), true);
  }
}

BENCHMARK(BM_TokenizeAscii)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TokenizeMixedUnicode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BuildIndex)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KeywordSearch)->Arg(10)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemoveDocument)->Iterations(200)->Unit(benchmark::kMicrosecond);

bool dump_corpus(const std::string& dir) {
  const Corpus& c = corpus();
  const bool ok = write_jsonl(dir + "/corpus.jsonl", c.documents) &&
                  write_jsonl(dir + "/queries.jsonl", c.queries);
  std::fprintf(stderr, "%s %zu documents and %zu queries to %s\n", ok ? "wrote" : "FAILED to write",
               c.documents.size(), c.queries.size(), dir.c_str());
  return ok;
}

}  // namespace
}  // namespace kestrine::bench

int main(int argc, char** argv) {
  using namespace kestrine::bench;
  std::string dump_dir;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with("--documents=")) {
      g_shape.documents = std::stoull(std::string(arg.substr(12)));
    } else if (arg.starts_with("--dump_corpus=")) {
      dump_dir = arg.substr(14);
    } else if (arg.starts_with("--texts=")) {
      g_texts_file = arg.substr(8);
    } else if (arg.starts_with("--queries=")) {
      g_queries_file = arg.substr(10);
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  // The generator ranks the stop words first; they must be the tokenizer's own.
  const auto& stop = corpus_detail::stop_word_list();
  if (stop.size() != kestrine::kStopWordCount ||
      !std::ranges::all_of(stop, [](std::string_view w) { return kestrine::is_stop_word(w); })) {
    std::fprintf(stderr, "the corpus generator's stop words differ from the tokenizer's\n");
    return 1;
  }
  if (!dump_dir.empty()) return dump_corpus(dump_dir) ? 0 : 1;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
