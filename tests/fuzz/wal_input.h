// What the log fuzzers do with one input, shared with the regression test that replays their
// seed corpora and every input that once failed.
//   check_entry_input: bytes as the payload of one record (a single entry's decoding);
//   check_log_input:   bytes as a whole "wal.bin", opened as a database (framing, checks,
//                      decryption, decoding, applying, cutting back, setting a tail aside).
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/engine/engine.h"
#include "core/storage/checksum.h"
#include "core/storage/file_io.h"
#include "core/storage/wal_entry.h"
#include "core/storage/wal_format.h"
#include "core/storage/wal_reader.h"
#include "core/storage/wal_replay.h"
#include "core/storage/wal_writer.h"
#include "tests/core/engine_probes.h"
#include "tests/fuzz/snapshot_input.h"

namespace kestrine::fuzzing {

[[noreturn]] inline void log_broken(const char* what) {
  std::fprintf(stderr, "log fuzzing: %s\n", what);
  std::abort();
}

inline const KeyPtr& log_fuzz_key() {
  static const KeyPtr key = *parse_key(kFuzzKeyHex);
  return key;
}

// ---- single entries -------------------------------------------------------------------------

inline bool same_item(const wal::Item& a, const wal::Item& b) {
  return a.document->id == b.document->id && a.document->text == b.document->text &&
         a.document->metadata.size() == b.document->metadata.size() &&
         a.embedding.size() == b.embedding.size() &&
         std::equal(a.embedding.begin(), a.embedding.end(), b.embedding.begin(),
                    [](float x, float y) { return std::memcmp(&x, &y, sizeof x) == 0; });
}

inline bool same_entry(const WalEntry& a, const WalEntry& b) {
  if (a.index() != b.index() || entry_collection(a) != entry_collection(b)) return false;
  if (auto* x = std::get_if<wal::CreateCollection>(&a)) {
    const auto& y = std::get<wal::CreateCollection>(b);
    return x->dimension == y.dimension && x->config == y.config;
  }
  if (auto* x = std::get_if<wal::InsertDocument>(&a)) {
    return same_item(x->item, std::get<wal::InsertDocument>(b).item);
  }
  if (auto* x = std::get_if<wal::DeleteDocument>(&a)) {
    return x->id == std::get<wal::DeleteDocument>(b).id;
  }
  if (auto* x = std::get_if<wal::BatchInsert>(&a)) {
    const auto& y = std::get<wal::BatchInsert>(b);
    if (x->items.size() != y.items.size()) return false;
    for (size_t i = 0; i < x->items.size(); ++i) {
      if (!same_item(x->items[i], y.items[i])) return false;
    }
    return true;
  }
  if (auto* x = std::get_if<wal::UpdateDocument>(&a)) {
    const auto& y = std::get<wal::UpdateDocument>(b);
    return x->id == y.id && same_item(x->item, y.item);
  }
  return true;
}

// The embedding length of the documents an entry inserts, if it inserts any.
inline std::optional<size_t> inserted_dimension(const WalEntry& entry) {
  if (auto* x = std::get_if<wal::InsertDocument>(&entry)) return x->item.embedding.size();
  if (auto* x = std::get_if<wal::UpdateDocument>(&entry)) return x->item.embedding.size();
  if (auto* x = std::get_if<wal::BatchInsert>(&entry); x && !x->items.empty()) {
    return x->items[0].embedding.size();
  }
  return std::nullopt;
}

// Decodes `payload` as one entry. An accepted entry must encode, frame and decode back to the
// same entry, and apply to a database that has its collection. Returns whether it was accepted.
inline bool check_entry_input(std::span<const uint8_t> payload) {
  auto entry = decode_entry(payload);
  if (!entry) return false;
  auto record = frame_record(*entry, nullptr);
  if (!record) log_broken("an accepted entry could not be framed");
  RawRecord raw{0, 0, std::vector<uint8_t>(record->begin() + kWalHeaderSize, record->end())};
  raw.check = uint32_t{(*record)[4]} << 24 | uint32_t{(*record)[5]} << 16 |
              uint32_t{(*record)[6]} << 8 | uint32_t{(*record)[7]};
  if (check_record(raw, nullptr).verdict != RecordVerdict::kPlain) {
    log_broken("a framed entry failed its own check");
  }
  auto again = decode_entry(raw.payload);
  if (!again || !same_entry(*entry, *again)) log_broken("a re-encoded entry decoded differently");

  CollectionMap database;
  if (auto dimension = inserted_dimension(*entry)) {
    (void)database.create_collection(entry_collection(*entry), *dimension, HnswConfig{});
  }
  apply_entry(database, std::move(*entry));
  (void)database.total_memory_bytes();
  return true;
}

// ---- whole logs -----------------------------------------------------------------------------

// A private directory for the databases the fuzzer opens, on tmpfs when there is one (each
// opening forces files to the device), removed at exit.
inline const std::filesystem::path& scratch_dir() {
  static const std::filesystem::path dir = [] {
    const std::filesystem::path base = std::filesystem::is_directory("/dev/shm")
                                           ? std::filesystem::path("/dev/shm")
                                           : std::filesystem::temp_directory_path();
    std::string pattern = (base / "kestrine-log-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) log_broken("no scratch directory");
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(scratch_dir(), ec);
    });
    return std::filesystem::path(pattern);
  }();
  return dir;
}

// Collection name -> live document count.
inline std::map<std::string, size_t> summary(const Engine& engine) {
  std::map<std::string, size_t> out;
  for (const std::string& name : engine.list_collections()) {
    out[name] = document_count(**engine.find_collection(name));
  }
  return out;
}

inline std::vector<uint8_t> file_or_empty(const std::filesystem::path& path) {
  auto bytes = read_file(path);
  return bytes ? std::move(*bytes) : std::vector<uint8_t>{};
}

// The log a fuzzer input stands for. Its first byte picks how the rest is used: odd, the rest
// with the check of every plain record recomputed, so that mutated payloads get past the CRC
// and reach decoding and replay; even, the rest unchanged (checks as they are).
inline std::vector<uint8_t> log_from_input(std::span<const uint8_t> input) {
  if (input.empty()) return {};
  std::vector<uint8_t> log(input.begin() + 1, input.end());
  if ((input[0] & 1) == 0) return log;
  for (size_t at = 0; at + kWalHeaderSize <= log.size();) {
    const size_t length = size_t{log[at]} << 24 | size_t{log[at + 1]} << 16 |
                          size_t{log[at + 2]} << 8 | size_t{log[at + 3]};
    if (length > log.size() - at - kWalHeaderSize) break;
    const bool encrypted =
        log[at + 4] == 0xFF && log[at + 5] == 0xFF && log[at + 6] == 0xFF && log[at + 7] == 0xFF;
    if (!encrypted) {
      const uint32_t crc =
          crc32(std::span<const uint8_t>(log).subspan(at + kWalHeaderSize, length));
      for (int i = 0; i < 4; ++i) log[at + 4 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    }
    at += kWalHeaderSize + length;
  }
  return log;
}

// Opens a data directory whose "wal.bin" is `log`, once without a key and once with the fuzz
// key. Whatever the bytes, opening must not crash, and:
//   - a failed opening leaves the log as it was;
//   - a successful one leaves a log that is a prefix of the input; the rest of the input, when
//     it went to a side file, is exactly that file's content;
//   - the log then ends cleanly and takes appends: reopening gives no warning, the same
//     collections and counts, and the collection created in between.
inline void check_log_input(std::span<const uint8_t> log) {
  namespace fs = std::filesystem;
  static const std::string kProbe = "fuzz probe";
  const fs::path dir = scratch_dir() / "db";
  for (const KeyPtr& key : {KeyPtr(), log_fuzz_key()}) {
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir);
    if (!write_file_synced(dir / "wal.bin", log)) log_broken("cannot write the input");

    std::vector<std::string> warnings;
    auto engine = Engine::open(dir, key, &warnings);
    const std::vector<uint8_t> kept = file_or_empty(dir / "wal.bin");
    if (!engine) {
      if (!std::ranges::equal(kept, log)) log_broken("a failed opening changed the log");
      continue;
    }
    if (kept.size() > log.size() || !std::equal(kept.begin(), kept.end(), log.begin())) {
      log_broken("the log kept is not a prefix of the input");
    }
    if (fs::exists(dir / "wal.bin.corrupt")) {
      const std::vector<uint8_t> aside = file_or_empty(dir / "wal.bin.corrupt");
      if (kept.size() + aside.size() != log.size() ||
          !std::equal(aside.begin(), aside.end(), log.begin() + kept.size())) {
        log_broken("the side file does not hold the rest of the log");
      }
      if (warnings.size() != 1) log_broken("a tail set aside without exactly one warning");
    } else if (!warnings.empty()) {
      log_broken("a warning without a side file");
    }

    std::map<std::string, size_t> expected = summary(**engine);
    Status created = (*engine)->create_collection(kProbe, 2, HnswConfig{});
    if (!created && created.error().kind() != ErrorKind::kInvalidValue) {
      log_broken("appending to the opened log failed");
    }
    expected.try_emplace(kProbe, 0);
    engine->reset();

    warnings.clear();
    auto reopened = Engine::open(dir, key, &warnings);
    if (!reopened) log_broken("a log that opened once failed to open again");
    if (!warnings.empty()) log_broken("reopening warned");
    if (summary(**reopened) != expected) log_broken("reopening gave another state");
  }
}

}  // namespace kestrine::fuzzing
