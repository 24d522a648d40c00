// Several threads drive one database at once through every public operation, in a random mix
// and for a bounded time: collections created and deleted, documents inserted and upserted
// (alone and in batches), fetched and deleted (by id and by filter), searches in every mode with
// and without a filter, rebuilds, saves, loads, checkpoints and memory estimates, on an ephemeral
// database and on persistent ones with and without a key.
//
// Every thread owns its document ids and one collection name of its own, so the state the
// database must end in is the union of the threads' own models: the shared collections hold
// exactly the documents their writers left live, and each thread's collection exists exactly
// when its owner left it created. Each thread also checks, as it goes, what only it can know:
// its live documents are found (by get and by a keyword search for their unique token) and its
// deleted ones are not. At the end every collection keeps its invariants, and a persistent
// database reopened from its directory holds the same state.
//
// KESTRINE_STRESS_SECONDS (default 1.5) is the time each configuration runs;
// KESTRINE_STRESS_SEED fixes the seed (printed on every run).
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "collection_invariants.h"
#include "core/common/uuid.h"
#include "core/engine/engine.h"
#include "tests/core/document_state.h"
#include "tests/core/engine_probes.h"
#include "tests/core/storage_test_support.h"
#include "tests/core/wal_test_support.h"

namespace kestrine {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

constexpr int kThreads = 4;
constexpr uint64_t kDimension = 8;
constexpr const char* kShared[] = {"shared-0", "shared-1"};

using testing::State;
using testing::state_of;

void expect_invariants(const Engine& engine) {
  for (const std::string& name : engine.list_collections()) {
    SCOPED_TRACE(name);
    (*engine.find_collection(name))->read([](const CollectionData& data) {
      testing::expect_consistent(data);
    });
  }
}

double stress_seconds() {
  const char* text = std::getenv("KESTRINE_STRESS_SECONDS");
  return text != nullptr ? std::atof(text) : 1.5;
}

uint64_t stress_seed() {
  const char* text = std::getenv("KESTRINE_STRESS_SEED");
  return text != nullptr ? std::strtoull(text, nullptr, 10) : std::random_device{}();
}

enum class Op {
  kInsert,
  kBatchInsert,
  kDelete,
  kGet,
  kSearch,
  kTokenSearch,
  kRebuild,
  kSave,
  kLoad,
  kCompact,
  kCreateOwn,
  kDeleteOwn,
  kMemory,
  kUpsert,
  kBatchUpsert,
  kDeleteMany,
  kCount
};

constexpr const char* kOpNames[] = {"insert", "batch_insert", "delete",       "get",
                                    "search", "token_search", "rebuild",      "save",
                                    "load",   "compact",      "create_own",   "delete_own",
                                    "memory", "upsert",       "batch_upsert", "delete_many"};
static_assert(std::size(kOpNames) == static_cast<size_t>(Op::kCount));

// Relative frequencies: changes and reads dominate, checkpoints and rebuilds are rarer.
constexpr int kWeights[] = {20, 8, 12, 10, 12, 8, 2, 3, 2, 2, 2, 1, 3, 8, 3, 3};
static_assert(std::size(kWeights) == static_cast<size_t>(Op::kCount));

struct Setup {
  const char* name;
  bool persistent;
  bool keyed;
  // A threshold small enough that changes checkpoint by themselves many times a run.
  std::optional<uint64_t> checkpoint_bytes = std::nullopt;
};

std::string setup_name(const ::testing::TestParamInfo<Setup>& info) { return info.param.name; }

class EngineConcurrencyTest : public ::testing::TestWithParam<Setup> {
 protected:
  void SetUp() override {
    seed_ = stress_seed();
    RecordProperty("seed", std::to_string(seed_));
    std::printf("KESTRINE_STRESS_SEED=%llu\n", static_cast<unsigned long long>(seed_));
    if (GetParam().keyed) key_ = testing::log_key();
    if (GetParam().persistent) {
      auto opened = Engine::open(data_dir(), key_, &warnings_, GetParam().checkpoint_bytes);
      ASSERT_TRUE(opened) << opened.error().message();
      engine_ = std::move(*opened);
    } else {
      engine_ = std::make_unique<Engine>(key_);
    }
    for (const char* name : kShared) {
      HnswConfig config;
      config.m = 6;
      config.m_max0 = 12;
      config.ef_construction = 40;
      config.ef_search = 20;
      config.store_raw_vectors = name == kShared[1];
      config.distance_metric =
          name == kShared[1] ? DistanceMetric::kEuclidean : DistanceMetric::kCosine;
      ASSERT_TRUE(engine_->create_collection(name, kDimension, config));
    }
  }

  fs::path data_dir() const { return dir_.path() / "data"; }
  fs::path scratch_dir(int thread) const {
    return dir_.path() / ("scratch-" + std::to_string(thread));
  }

  TempDir dir_;
  uint64_t seed_ = 0;
  KeyPtr key_;
  std::vector<std::string> warnings_;
  std::unique_ptr<Engine> engine_;
};

// One thread's part: its documents in each collection, and its own collection.
class Worker {
 public:
  Worker(Engine& engine, int index, uint64_t seed, fs::path scratch, bool persistent,
         bool database_keyed)
      : engine_(engine),
        index_(index),
        rng_(seed),
        scratch_(std::move(scratch)),
        persistent_(persistent),
        database_keyed_(database_keyed),
        own_("own-" + std::to_string(index)) {}

  void run(std::chrono::steady_clock::time_point deadline) {
    std::discrete_distribution<int> pick(std::begin(kWeights), std::end(kWeights));
    while (std::chrono::steady_clock::now() < deadline && !::testing::Test::HasFatalFailure()) {
      const Op op = static_cast<Op>(pick(rng_));
      ++counts_[static_cast<size_t>(op)];
      step(op);
    }
  }

  // The documents this thread left live, by collection; its own collection appears exactly
  // when it exists.
  State model() const {
    State state;
    for (const char* name : kShared) state[name];
    for (const auto& [collection, docs] : docs_) {
      if (collection == own_ && !own_exists_) continue;
      for (const auto& [id, doc] : docs) {
        if (doc.live) state[collection][id] = doc.text;
      }
    }
    if (own_exists_) state[own_];
    return state;
  }

  const std::array<uint64_t, static_cast<size_t>(Op::kCount)>& counts() const { return counts_; }

 private:
  struct Doc {
    Uuid id;
    std::string text;
    std::string token;
    bool live;
  };

  size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  bool coin() { return below(2) == 0; }

  // A collection to change: a shared one, or the thread's own when it exists.
  std::string target() {
    if (own_exists_ && below(3) == 0) return own_;
    return kShared[below(2)];
  }

  std::vector<float> vector() {
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::vector<float> v(kDimension);
    for (float& x : v) x = unit(rng_);
    return v;
  }

  NewDocument make_document(std::string* token) {
    auto document = std::make_shared<Document>();
    document->id = new_uuid();
    *token = "w" + std::to_string(index_) + "x" + std::to_string(serial_++);
    static const char* kWords[] = {"kestrel", "river", "stone", "sky", "north", "blue"};
    document->text = *token + " " + kWords[below(6)] + " " + kWords[below(6)];
    document->metadata["owner"] = static_cast<int64_t>(index_);
    document->metadata["even"] = serial_ % 2 == 0;
    document->metadata["token"] = *token;
    std::string id_text = format_uuid(document->id);
    return {std::move(document), vector(), std::move(id_text)};
  }

  std::shared_ptr<Collection> find(const std::string& name) {
    auto found = engine_.find_collection(name);
    EXPECT_TRUE(found) << name;
    return found ? *found : nullptr;
  }

  void remember(const std::string& collection, const NewDocument& d, std::string token) {
    docs_[collection][format_uuid(d.document->id)] =
        Doc{d.document->id, d.document->text, std::move(token), true};
  }

  // A random document of this thread in `collection`, live or deleted.
  Doc* some_doc(const std::string& collection) {
    auto it = docs_.find(collection);
    if (it == docs_.end() || it->second.empty()) return nullptr;
    auto doc = it->second.begin();
    std::advance(doc, static_cast<ptrdiff_t>(below(it->second.size())));
    return &doc->second;
  }

  Filter owner_filter() const {
    Filter filter;
    filter.must.push_back({"owner", FilterOp::kEq, FilterNumber::from_int(index_), std::nullopt});
    return filter;
  }

  void own_changed() { own_saved_ = std::nullopt; }

  // A new document under the id of `doc` (a document of this thread, live or deleted) when it
  // is not null.
  NewDocument replacement(const Doc* doc, std::string* token) {
    NewDocument d = make_document(token);
    if (doc != nullptr) {
      auto document = std::make_shared<Document>(*d.document);
      document->id = doc->id;
      d.document = std::move(document);
      d.id_text = format_uuid(doc->id);
    }
    return d;
  }

  void step(Op op) {
    switch (op) {
      case Op::kInsert: {
        const std::string name = target();
        std::string token;
        NewDocument d = make_document(&token);
        NewDocument copy = d;
        auto inserted = engine_.insert(name, std::move(copy));
        ASSERT_TRUE(inserted) << inserted.error().message();
        EXPECT_EQ(*inserted, d.document->id);
        remember(name, d, std::move(token));
        if (name == own_) own_changed();
        return;
      }
      case Op::kBatchInsert: {
        const std::string name = target();
        std::vector<NewDocument> batch;
        std::vector<std::string> tokens;
        for (size_t i = 0, n = 1 + below(4); i < n; ++i) {
          tokens.emplace_back();
          batch.push_back(make_document(&tokens.back()));
        }
        const std::vector<NewDocument> copy = batch;
        // Every other batch links its documents into the graph from two threads of its own.
        auto ids = engine_.batch_insert(name, std::move(batch), nullptr, 1 + below(2));
        ASSERT_TRUE(ids) << ids.error().message();
        ASSERT_EQ(ids->size(), copy.size());
        for (size_t i = 0; i < copy.size(); ++i) remember(name, copy[i], tokens[i]);
        if (name == own_) own_changed();
        return;
      }
      case Op::kDelete: {
        const std::string name = target();
        Doc* doc = some_doc(name);
        if (doc == nullptr) return;
        auto deleted = engine_.delete_document(name, format_uuid(doc->id));
        ASSERT_TRUE(deleted) << deleted.error().message();
        EXPECT_EQ(*deleted, doc->live) << name << " " << format_uuid(doc->id);
        doc->live = false;
        if (name == own_) own_changed();
        return;
      }
      case Op::kGet: {
        const std::string name = target();
        Doc* doc = some_doc(name);
        if (doc == nullptr) return;
        auto collection = find(name);
        if (!collection) return;
        DocumentPtr found = collection->get_document(doc->id);
        if (doc->live) {
          ASSERT_NE(found, nullptr) << "live document missing from " << name;
          EXPECT_EQ(found->text, doc->text);
        } else {
          EXPECT_EQ(found, nullptr) << "deleted document found in " << name;
        }
        return;
      }
      case Op::kSearch: {
        const std::string name = target();
        SearchRequest request;
        const size_t mode = below(3);
        if (mode != 1) request.query_embedding = vector();
        if (mode != 0) request.query_text = "kestrel river sky";
        request.k = 1 + below(12);
        request.linear_fusion = coin();
        request.alpha = 0.3f;
        const bool filtered = coin();
        if (filtered) request.filter = owner_filter();
        if (below(4) == 0) request.min_similarity = 0.0f;
        auto hits = engine_.search(name, request);
        ASSERT_TRUE(hits) << hits.error().message();
        EXPECT_LE(hits->size(), request.k);
        for (const ScoredDocument& hit : *hits) {
          if (filtered) {
            EXPECT_EQ(std::get<int64_t>(hit.document->metadata.at("owner")), index_);
          }
          if (request.min_similarity) {
            EXPECT_GE(hit.score, 0.0f);
          }
        }
        return;
      }
      case Op::kTokenSearch: {
        // A document's token is in its text alone: a keyword search for it, restricted to
        // this thread's documents, finds exactly that document while it is live.
        const std::string name = target();
        Doc* doc = some_doc(name);
        if (doc == nullptr) return;
        SearchRequest request;
        request.query_text = doc->token;
        request.k = 3;
        request.filter = owner_filter();
        auto hits = engine_.search(name, request);
        ASSERT_TRUE(hits) << hits.error().message();
        if (doc->live) {
          ASSERT_EQ(hits->size(), 1u) << "token " << doc->token << " in " << name;
          EXPECT_EQ((*hits)[0].document->id, doc->id);
        } else {
          EXPECT_TRUE(hits->empty()) << "deleted token " << doc->token << " found in " << name;
        }
        return;
      }
      case Op::kRebuild: {
        // Any collection, the other threads' own ones included: a rebuild changes no document.
        std::vector<std::string> names = engine_.list_collections();
        const std::string name = names[below(names.size())];
        auto rebuilt = engine_.rebuild(name);
        // The collection may have been deleted by its owner meanwhile.
        if (!rebuilt) {
          EXPECT_EQ(rebuilt.error().kind(), ErrorKind::kNotFound);
        }
        return;
      }
      case Op::kSave: {
        // A shared collection to the data directory (a checkpoint when the rules allow), or
        // this thread's own to its scratch directory under any key, remembered for load.
        if (!own_exists_ || coin()) {
          if (!persistent_) return;
          auto saved = engine_.save(kShared[below(2)], std::nullopt, std::nullopt);
          ASSERT_TRUE(saved) << saved.error().message();
          return;
        }
        const char* keys[] = {nullptr, testing::kLogKeyHex, testing::kOtherLogKeyHex};
        const char* key = keys[below(3)];
        std::optional<std::string_view> key_text;
        if (key != nullptr) key_text = key;
        auto saved = engine_.save(own_, scratch_.string(), key_text);
        ASSERT_TRUE(saved) << saved.error().message();
        // Without a key of its own the save uses the database's key, if it has one.
        const char* used = key != nullptr ? key : database_keyed_ ? testing::kLogKeyHex : nullptr;
        own_saved_ = used == nullptr ? std::string() : std::string(used);
        return;
      }
      case Op::kLoad: {
        // Only a snapshot of the collection as it is now: loading is not logged, so a load
        // that changed documents would not survive a reopening (by design).
        if (!own_exists_ || !own_saved_) return;
        std::optional<std::string_view> key_text;
        if (!own_saved_->empty()) key_text = *own_saved_;
        auto loaded = engine_.load(own_, scratch_.string(), key_text);
        ASSERT_TRUE(loaded) << loaded.error().message();
        return;
      }
      case Op::kCompact: {
        auto compacted = engine_.compact();
        if (persistent_) {
          ASSERT_TRUE(compacted) << compacted.error().message();
        } else {
          ASSERT_FALSE(compacted);
          EXPECT_EQ(compacted.error().kind(), ErrorKind::kInvalidValue);
        }
        return;
      }
      case Op::kCreateOwn: {
        HnswConfig config;
        config.m = 2 + below(6);
        config.m_max0 = 2 * config.m;
        config.ef_construction = 16 + below(32);
        config.store_raw_vectors = coin();
        config.distance_metric = static_cast<DistanceMetric>(below(3));
        config.pq_subspaces = below(3) == 0 ? 2 : 0;
        auto created = engine_.create_collection(own_, kDimension, config);
        EXPECT_EQ(created.has_value(), !own_exists_);
        if (created) {
          own_exists_ = true;
          docs_.erase(own_);
          own_changed();
        }
        return;
      }
      case Op::kDeleteOwn: {
        auto deleted = engine_.delete_collection(own_);
        ASSERT_TRUE(deleted) << deleted.error().message();
        EXPECT_EQ(*deleted, own_exists_);
        own_exists_ = false;
        docs_.erase(own_);
        own_changed();
        return;
      }
      case Op::kMemory: {
        (void)engine_.total_memory_bytes();
        (void)engine_.list_collections();
        if (auto collection = engine_.find_collection(target())) {
          (void)(*collection)->estimate_memory();
          (void)document_count(**collection);
        }
        return;
      }
      case Op::kUpsert: {
        const std::string name = target();
        const Doc* doc = coin() ? some_doc(name) : nullptr;
        const bool live = doc != nullptr && doc->live;
        std::string token;
        NewDocument d = replacement(doc, &token);
        NewDocument copy = d;
        auto replaced = engine_.upsert(name, std::move(copy));
        ASSERT_TRUE(replaced) << replaced.error().message();
        EXPECT_EQ(*replaced, live) << name << " " << format_uuid(d.document->id);
        remember(name, d, std::move(token));
        if (name == own_) own_changed();
        return;
      }
      case Op::kBatchUpsert: {
        const std::string name = target();
        std::vector<NewDocument> batch;
        std::vector<std::string> tokens;
        std::set<std::string> ids;
        for (size_t i = 0, n = 1 + below(4); i < n; ++i) {
          const Doc* doc = coin() ? some_doc(name) : nullptr;
          if (doc != nullptr && !ids.insert(format_uuid(doc->id)).second) continue;
          tokens.emplace_back();
          batch.push_back(replacement(doc, &tokens.back()));
        }
        const std::vector<NewDocument> copy = batch;
        auto upserted = engine_.batch_upsert(name, std::move(batch));
        ASSERT_TRUE(upserted) << upserted.error().message();
        ASSERT_EQ(upserted->size(), copy.size());
        for (size_t i = 0; i < copy.size(); ++i) remember(name, copy[i], tokens[i]);
        if (name == own_) own_changed();
        return;
      }
      case Op::kDeleteMany: {
        // Some of this thread's documents by id, and some by a filter on their tokens (nested,
        // under the thread's owner condition); the count is exact, as no other thread touches
        // them.
        const std::string name = target();
        std::vector<Uuid> ids;
        std::set<Doc*> chosen;
        std::vector<FilterValue> tokens;
        for (size_t i = 0, n = below(4); i < n; ++i) {
          if (Doc* doc = some_doc(name)) {
            ids.push_back(doc->id);
            chosen.insert(doc);
          }
        }
        for (size_t i = 0, n = below(3); i < n; ++i) {
          if (Doc* doc = some_doc(name)) {
            tokens.emplace_back(doc->token);
            chosen.insert(doc);
          }
        }
        auto any_token = std::make_shared<Filter>();
        any_token->must.push_back({"token", FilterOp::kIn, std::nullopt, tokens});
        Filter filter = owner_filter();
        filter.should.push_back({"", FilterOp::kEq, std::nullopt, std::nullopt, any_token});
        auto deleted = engine_.delete_many(name, ids, &filter);
        ASSERT_TRUE(deleted) << deleted.error().message();
        uint64_t expected = 0;
        for (Doc* doc : chosen) {
          expected += doc->live;
          doc->live = false;
        }
        EXPECT_EQ(*deleted, expected) << name;
        if (name == own_) own_changed();
        return;
      }
      case Op::kCount:
        return;
    }
  }

  Engine& engine_;
  const int index_;
  std::mt19937_64 rng_;
  const fs::path scratch_;
  const bool persistent_;
  const bool database_keyed_;
  const std::string own_;
  bool own_exists_ = false;
  // The key text of the last save of the own collection to scratch_ ("" for none), kept only
  // while the collection has not changed since.
  std::optional<std::string> own_saved_;
  uint64_t serial_ = 0;
  std::map<std::string, std::map<std::string, Doc>> docs_;
  std::array<uint64_t, static_cast<size_t>(Op::kCount)> counts_{};
};

TEST_P(EngineConcurrencyTest, EveryOperationAtOnceKeepsEveryThreadsModel) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(stress_seconds()));
  std::vector<std::unique_ptr<Worker>> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.push_back(std::make_unique<Worker>(*engine_, t, seed_ + t, scratch_dir(t),
                                               GetParam().persistent, GetParam().keyed));
  }
  std::vector<std::thread> threads;
  for (auto& worker : workers) threads.emplace_back([&worker, deadline] { worker->run(deadline); });
  for (auto& thread : threads) thread.join();
  ASSERT_FALSE(HasFailure());

  State expected;
  std::array<uint64_t, static_cast<size_t>(Op::kCount)> totals{};
  for (const auto& worker : workers) {
    for (auto& [name, docs] : worker->model()) expected[name].insert(docs.begin(), docs.end());
    for (size_t op = 0; op < totals.size(); ++op) totals[op] += worker->counts()[op];
  }
  uint64_t all = 0;
  std::string summary;
  for (size_t op = 0; op < totals.size(); ++op) {
    all += totals[op];
    summary += std::string(" ") + kOpNames[op] + "=" + std::to_string(totals[op]);
  }
  std::printf("%llu operations:%s\n", static_cast<unsigned long long>(all), summary.c_str());
  RecordProperty("operations", std::to_string(all));

  EXPECT_EQ(state_of(*engine_), expected);
  expect_invariants(*engine_);
  const std::vector<std::string> checkpoint_failures = engine_->take_warnings();
  EXPECT_TRUE(checkpoint_failures.empty()) << checkpoint_failures.front();
  // Every logged change looks at the log after its own append, so the last to look saw every
  // append and left the log within the threshold.
  if (GetParam().checkpoint_bytes) {
    EXPECT_LE(engine_->store()->log_size(), *GetParam().checkpoint_bytes);
  }
  if (!GetParam().persistent) return;

  engine_.reset();
  warnings_.clear();
  auto reopened = Engine::open(data_dir(), key_, &warnings_);
  ASSERT_TRUE(reopened) << reopened.error().message();
  EXPECT_TRUE(warnings_.empty()) << warnings_.front();
  EXPECT_EQ(state_of(**reopened), expected);
  expect_invariants(**reopened);
}

// Two threads insert a document under the same new id at the same moment, alone or inside a
// batch: the id is free when each checks it, so only the collection itself can tell them
// apart. Exactly one call succeeds and its document is the one stored; the other reports the
// id as taken, also after reopening.
TEST_P(EngineConcurrencyTest, TwoInsertionsOfOneIdStoreExactlyOne) {
  constexpr int kRounds = 60;
  auto collection = *engine_->find_collection(kShared[0]);
  std::map<std::string, std::string> stored;  // id -> text of the winning insertion
  for (int round = 0; round < kRounds; ++round) {
    const Uuid id = new_uuid();
    const std::string id_text = format_uuid(id);
    const bool batched = round % 2 == 1;
    std::array<std::optional<Error>, 2> errors;
    std::atomic<int> ready = 0;
    auto insert = [&](int t) {
      NewDocument d{std::make_shared<Document>(Document{id, "writer" + std::to_string(t), {}}),
                    std::vector<float>(kDimension, 1.0f + static_cast<float>(t)), id_text};
      ready.fetch_add(1);
      while (ready.load() < 2) std::this_thread::yield();
      if (batched) {
        NewDocument other{std::make_shared<Document>(Document{new_uuid(), "other", {}}),
                          std::vector<float>(kDimension, 0.5f),
                          {}};
        std::vector<NewDocument> batch;
        batch.push_back(std::move(d));
        batch.push_back(std::move(other));
        if (auto ids = engine_->batch_insert(kShared[0], std::move(batch)); !ids) {
          errors[t] = ids.error();
        }
      } else if (auto inserted = engine_->insert(kShared[0], std::move(d)); !inserted) {
        errors[t] = inserted.error();
      }
    };
    std::thread first(insert, 0), second(insert, 1);
    first.join();
    second.join();
    ASSERT_NE(errors[0].has_value(), errors[1].has_value()) << "round " << round;
    const int loser = errors[0] ? 0 : 1;
    EXPECT_EQ(errors[loser]->kind(), ErrorKind::kInvalidValue);
    EXPECT_EQ(errors[loser]->message(), "document '" + id_text + "' already exists");
    DocumentPtr document = collection->get_document(id);
    ASSERT_NE(document, nullptr);
    EXPECT_EQ(document->text, "writer" + std::to_string(1 - loser));
    stored[id_text] = document->text;
  }
  expect_invariants(*engine_);
  if (!GetParam().persistent) return;
  engine_.reset();
  auto reopened = Engine::open(data_dir(), key_, &warnings_);
  ASSERT_TRUE(reopened) << reopened.error().message();
  const State state = state_of(**reopened);
  for (const auto& [id_text, text] : stored) {
    auto found = state.at(kShared[0]).find(id_text);
    ASSERT_NE(found, state.at(kShared[0]).end()) << id_text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Setups, EngineConcurrencyTest,
    ::testing::Values(Setup{"Ephemeral", false, false}, Setup{"EphemeralWithKey", false, true},
                      Setup{"Persistent", true, false}, Setup{"PersistentWithKey", true, true},
                      Setup{"PersistentCheckpointingByItself", true, false, 1024}),
    setup_name);

}  // namespace
}  // namespace kestrine
