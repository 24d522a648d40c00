// What the loaded-snapshot fuzzer does with one input, shared with the regression test that
// replays its seed corpus and every input that once failed.
//
// An input is a control block followed by a snapshot file. A file that loads is put into an
// ephemeral database and used the way a program would use it: memory estimates, look-ups,
// searches in every mode with and without a filter, inserts (one and a batch, new ids and the
// ids of deleted documents), deletes, a rebuild (with the stored product-quantization setting or
// one taken from the control block) and writing it out again. The loader checks the graph's
// tables and shape but accepts many states that no sequence of operations produces (posting ids
// beyond the tables, counters that disagree with the lists, documents missing from the id maps,
// absurd configurations); none of them may crash, hang, fail an assertion or make an operation
// allocate beyond what the input justifies. Besides,
// whatever the database holds after any of these operations must save to a file that loads.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/collection/collection.h"
#include "core/engine/engine.h"
#include "core/hnsw/hnsw_index.h"
#include "core/hnsw/level_random.h"
#include "core/storage/checksum.h"
#include "core/storage/snapshot.h"
#include "tests/core/engine_probes.h"
#include "tests/fuzz/snapshot_input.h"

namespace kestrine::fuzzing {

// Layout of the control block in front of the file.
//   0      flags: bit 0 recomputes the CRC of a checksummed file (so that mutated files get
//          past it and reach decoding), bit 1 adds a NaN to the query, bit 2 asks for the
//          filters' must_not side, bit 3 uses linear fusion for the first hybrid search
//   1      rebuild's product quantization: 0 keeps the stored pq_subspaces, 255 asks for as
//          many subspaces as dimensions, anything else is that many subspaces
//   2..3   k, little-endian
//   4..7   seed of the query values, texts and ids
//   8      filter operator (modulo 7)
//   9      alpha, as byte / 255 * 2 - 0.5 (so also below 0 and above 1)
//   10     min_similarity: 0 none, else byte / 64 - 2
//   11     the node whose stored vector the query starts from
//   12..15 seed of the HNSW level draws
inline constexpr size_t kUseControlSize = 16;

// A vector longer than this is not built for a query or an insert: only a collection without
// nodes can declare such a dimension (its tables would need more bytes than any input has).
inline constexpr uint64_t kMaxUsedDimension = 1 << 16;

[[noreturn]] inline void use_broken(const char* what) {
  std::fprintf(stderr, "snapshot use fuzzing: %s\n", what);
  std::abort();
}

// Small deterministic generator for the values an input asks for.
class InputRandom {
 public:
  explicit InputRandom(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  float unit() { return static_cast<float>(next() >> 40) * 0x1p-24f * 2.0f - 1.0f; }

 private:
  uint64_t state_;
};

// The file part of an input, with its CRC recomputed when the control block asks for it and the
// file has the checksummed form.
inline std::vector<uint8_t> use_file(std::span<const uint8_t> control,
                                     std::span<const uint8_t> file) {
  std::vector<uint8_t> bytes(file.begin(), file.end());
  const bool mend = (control[0] & 1) != 0;
  if (mend && bytes.size() >= 8 && std::memcmp(bytes.data() + bytes.size() - 8, "KCR1", 4) == 0) {
    const uint32_t crc = crc32(std::span<const uint8_t>(bytes).first(bytes.size() - 8));
    for (int i = 0; i < 4; ++i) {
      bytes[bytes.size() - 4 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    }
  }
  return bytes;
}

// The stored state must always make a snapshot that loads again, with the same documents.
inline void expect_reloads(const Collection& collection) {
  collection.read([](const CollectionData& data) {
    auto file = encode_snapshot(data, nullptr);
    if (!file) use_broken("a collection in use could not be encoded");
    auto again = parse_snapshot(*file, "again.kestrine", nullptr);
    if (!again) {
      std::fprintf(stderr, "%s\n", again.error().message().c_str());
      use_broken("a collection in use saved a snapshot that does not load");
    }
    if (again->documents.size() != data.documents.size() ||
        again->hnsw.node_count != data.hnsw.node_count) {
      use_broken("a saved snapshot loaded with other content");
    }
  });
}

struct UsePlan {
  uint8_t flags = 0;
  uint8_t pq_choice = 0;
  size_t k = 10;
  uint64_t seed = 0;
  uint8_t filter_op = 0;
  float alpha = 0.7f;
  std::optional<float> min_similarity;
  uint8_t query_node = 0;
  uint64_t level_seed = 0;
};

inline UsePlan read_plan(std::span<const uint8_t> c) {
  UsePlan plan;
  plan.flags = c[0];
  plan.pq_choice = c[1];
  plan.k = size_t{c[2]} | size_t{c[3]} << 8;
  plan.seed = uint64_t{c[4]} | uint64_t{c[5]} << 8 | uint64_t{c[6]} << 16 | uint64_t{c[7]} << 24;
  plan.filter_op = static_cast<uint8_t>(c[8] % 7);
  plan.alpha = static_cast<float>(c[9]) / 255.0f * 2.0f - 0.5f;
  if (c[10] != 0) plan.min_similarity = static_cast<float>(c[10]) / 64.0f - 2.0f;
  plan.query_node = c[11];
  plan.level_seed =
      uint64_t{c[12]} | uint64_t{c[13]} << 8 | uint64_t{c[14]} << 16 | uint64_t{c[15]} << 24;
  return plan;
}

// What an input's operations draw on: the state's ids, a term and a metadata entry.
struct Probes {
  std::vector<Uuid> live;     // keys of `documents`, at most 8
  std::vector<Uuid> slots;    // entries of `internal_to_uuid`, at most 8, live or not
  std::vector<Uuid> deleted;  // slots without a live document, at most 4
  std::string term;           // a term of the keyword index, if any
  std::optional<std::pair<std::string, MetadataValue>> field;
  std::vector<float> stored;  // a node's stored vector (empty when the dimension is too big)
};

inline Probes take_probes(const Collection& collection, const UsePlan& plan) {
  return collection.read([&plan](const CollectionData& data) {
    Probes p;
    for (const DocumentView document : data.all_documents()) {
      if (p.live.size() == 8) break;
      p.live.push_back(document.key);
      if (!p.field && !document.metadata.empty()) {
        p.field.emplace(*document.metadata.begin());
      }
    }
    for (const Uuid& id : data.internal_to_uuid) {
      if (p.slots.size() < 8) p.slots.push_back(id);
      if (p.deleted.size() < 4 && !data.has_document(id)) p.deleted.push_back(id);
      if (p.slots.size() == 8 && p.deleted.size() == 4) break;
    }
    if (!data.bm25.postings.empty()) p.term = data.bm25.postings.begin()->first;
    if (data.dimension <= kMaxUsedDimension) {
      p.stored = stored_vector(data.hnsw, plan.query_node);
    }
    return p;
  });
}

inline Filter make_filter(const Probes& probes, const UsePlan& plan) {
  FilterCondition condition;
  condition.op = static_cast<FilterOp>(plan.filter_op);
  condition.field = probes.field ? probes.field->first : "missing";
  FilterValue value = std::monostate{};
  if (probes.field) {
    std::visit(
        [&value](const auto& v) {
          using V = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<V, bool>) {
            value = v;
          } else if constexpr (std::is_same_v<V, int64_t>) {
            value = FilterNumber::from_int(v);
          } else if constexpr (std::is_same_v<V, double>) {
            value = FilterNumber::from_double(v);
          } else {
            value = v;
          }
        },
        probes.field->second);
  }
  condition.value = value;
  condition.values = std::vector<FilterValue>{value, FilterNumber::from_int(1), std::string("x")};
  Filter filter;
  if ((plan.flags & 4) != 0) {
    filter.must_not.push_back(std::move(condition));
  } else {
    filter.must.push_back(std::move(condition));
  }
  return filter;
}

// Runs every search mode, with and without `filter`; each result list is at most k long.
inline void search_every_way(const Engine& engine, const Collection& collection,
                             const std::optional<std::vector<float>>& query,
                             const std::string& text, const Filter& filter, const UsePlan& plan) {
  for (int mode = 0; mode < 3; ++mode) {
    if (mode != 1 && !query) continue;
    for (bool filtered : {false, true}) {
      SearchRequest request;
      if (mode != 1) request.query_embedding = query;
      if (mode != 0) request.query_text = text;
      request.k = plan.k;
      request.min_similarity = plan.min_similarity;
      request.alpha = plan.alpha;
      request.linear_fusion = filtered == ((plan.flags & 8) != 0);
      if (filtered) request.filter = filter;
      auto hits = engine.search(collection.name(), request);
      if (!hits) use_broken("a search with a query of the right size failed");
      if (hits->size() > plan.k) use_broken("a search returned more than k hits");
    }
  }
}

inline NewDocument new_document(InputRandom& random, const Probes& probes, uint64_t dimension,
                                std::optional<Uuid> id = std::nullopt) {
  auto document = std::make_shared<Document>();
  document->id = id ? *id : new_uuid();
  document->text = probes.term + " fuzz inserted " + std::to_string(random.next() % 1000);
  if (probes.field) document->metadata.insert(*probes.field);
  document->metadata["n"] = static_cast<int64_t>(random.next() % 7);
  std::vector<float> embedding(static_cast<size_t>(dimension));
  for (float& x : embedding) x = random.unit();
  std::string id_text = format_uuid(document->id);
  return {std::move(document), std::move(embedding), std::move(id_text)};
}

// Uses the snapshot that the input holds, if it loads. Returns whether it loaded.
inline bool check_snapshot_use(std::span<const uint8_t> input) {
  if (input.size() < kUseControlSize) return false;
  const std::span<const uint8_t> control = input.first(kUseControlSize);
  const std::vector<uint8_t> file = use_file(control, input.subspan(kUseControlSize));
  auto parsed = parse_snapshot(file, "fuzz.kestrine", &fuzz_key());
  if (!parsed) return false;

  const UsePlan plan = read_plan(control);
  seed_level_random(plan.level_seed);
  InputRandom random(plan.seed);
  // Loaded under a fixed valid name, as `load` does whatever name the file stores.
  parsed->name = "fuzzed";
  if (plan.pq_choice != 0) {
    parsed->hnsw.config.pq_subspaces =
        plan.pq_choice == 255 ? parsed->dimension : uint64_t{plan.pq_choice};
  }
  const uint64_t dimension = parsed->dimension;
  auto shared = std::make_shared<Collection>(std::move(*parsed));
  Engine engine;
  engine.database().put_collection(shared);
  Collection& collection = *shared;

  (void)engine.total_memory_bytes();
  (void)collection.estimate_memory();
  expect_reloads(collection);

  Probes probes = take_probes(collection, plan);
  for (const Uuid& id : probes.live) (void)collection.get_document(id);
  for (const Uuid& id : probes.slots) (void)collection.get_document(id);

  const bool vectors = dimension <= kMaxUsedDimension;
  std::optional<std::vector<float>> query;
  if (vectors) {
    query = probes.stored;
    for (float& x : *query) x += random.unit() * 0.01f;
    if ((plan.flags & 2) != 0 && !query->empty()) (*query)[0] = __builtin_nanf("");
  }
  const std::string text = probes.term + " fuzz";
  const Filter filter = make_filter(probes, plan);
  search_every_way(engine, collection, query, text, filter, plan);

  if (vectors) {
    // One new document, one taking the id of a deleted one, then a batch of both kinds.
    (void)engine.insert(collection.name(), new_document(random, probes, dimension));
    if (!probes.deleted.empty()) {
      (void)engine.insert(collection.name(),
                          new_document(random, probes, dimension, probes.deleted[0]));
    }
    std::vector<NewDocument> batch;
    batch.push_back(new_document(random, probes, dimension));
    if (probes.deleted.size() > 1) {
      batch.push_back(new_document(random, probes, dimension, probes.deleted[1]));
    }
    (void)engine.batch_insert(collection.name(), std::move(batch));
    expect_reloads(collection);
  }
  // Deletes: a live document, the same again, and a slot that may or may not be live.
  if (!probes.live.empty()) {
    (void)engine.delete_document(collection.name(), format_uuid(probes.live[0]));
    (void)engine.delete_document(collection.name(), format_uuid(probes.live[0]));
  }
  if (probes.slots.size() > 1)
    (void)engine.delete_document(collection.name(), format_uuid(probes.slots[1]));
  search_every_way(engine, collection, query, text, filter, plan);
  expect_reloads(collection);

  const size_t before = document_count(collection);
  const std::vector<Uuid> live = take_probes(collection, plan).live;
  auto rebuilt = engine.rebuild("fuzzed");
  if (rebuilt) {
    if (document_count(collection) != before) use_broken("a rebuild changed the documents");
    collection.read([](const CollectionData& data) {
      if (data.hnsw.node_count != data.documents.size()) {
        use_broken("a rebuild kept nodes without documents");
      }
    });
    for (const Uuid& id : live) {
      if (collection.get_document(id) == nullptr) use_broken("a rebuild lost a document");
    }
    search_every_way(engine, collection, query, text, filter, plan);
    if (vectors) (void)engine.insert(collection.name(), new_document(random, probes, dimension));
    expect_reloads(collection);
  } else if (rebuilt.error().kind() != ErrorKind::kInternal) {
    use_broken("a rebuild failed other than by its training preconditions");
  }
  (void)engine.total_memory_bytes();
  return true;
}

}  // namespace kestrine::fuzzing
