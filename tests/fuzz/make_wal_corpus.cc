// Writes the seed corpora of the log fuzzers: valid entries of every variant, and logs built
// from them (plain, encrypted, mixed, and with the endings replay must handle).
//   make_wal_corpus <entry directory> <log directory>
// A log seed is one byte telling the fuzzer whether to mend checks, then the log itself.
#include <cstdio>
#include <string>
#include <vector>

#include "core/storage/checksum.h"
#include "core/storage/file_io.h"
#include "core/storage/wal_writer.h"
#include "tests/fuzz/wal_input.h"

using namespace kestrine;

namespace {

wal::Item item(uint8_t n, std::string text, std::vector<float> embedding, Metadata metadata = {}) {
  Uuid id;
  id.bytes.fill(n);
  return {std::make_shared<const Document>(Document{id, std::move(text), std::move(metadata)}),
          std::move(embedding)};
}

std::vector<uint8_t> framed(const WalEntry& entry, const EncryptionKey* key) {
  return *frame_record(entry, key);
}

std::vector<uint8_t> plain_record(const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> record(8 + payload.size());
  const uint32_t length = static_cast<uint32_t>(payload.size());
  const uint32_t check = crc32(payload);
  for (int i = 0; i < 4; ++i) {
    record[i] = static_cast<uint8_t>(length >> (24 - 8 * i));
    record[4 + i] = static_cast<uint8_t>(check >> (24 - 8 * i));
  }
  std::copy(payload.begin(), payload.end(), record.begin() + 8);
  return record;
}

std::vector<uint8_t> join(const std::vector<std::vector<uint8_t>>& parts) {
  std::vector<uint8_t> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <entry directory> <log directory>\n", argv[0]);
    return 2;
  }
  const std::filesystem::path entry_dir = argv[1], log_dir = argv[2];
  HnswConfig config;
  config.m = 4;
  config.m_max0 = 8;
  config.ef_construction = 16;
  config.store_raw_vectors = true;
  Metadata metadata{{"b", true}, {"i", int64_t{-7}}, {"f", 2.5}, {"s", std::string("caffè")}};
  Uuid first;
  first.bytes.fill(1);
  const std::vector<std::pair<const char*, WalEntry>> entries = {
      {"create", wal::CreateCollection{"c", 3, config}},
      {"insert", wal::InsertDocument{"c", item(1, "alpha beta", {1, 2, 3}, metadata)}},
      {"batch",
       wal::BatchInsert{"c", {item(2, "gamma", {0, 1, 0}), item(3, "delta 日本", {-1, 0, 2})}}},
      {"delete", wal::DeleteDocument{"c", first}},
      {"update", wal::UpdateDocument{"c", first, item(1, "alpha again", {3, 2, 1})}},
      {"drop", wal::DeleteCollection{"c"}},
  };
  std::vector<std::vector<uint8_t>> plain, sealed;
  for (const auto& [name, entry] : entries) {
    const std::vector<uint8_t> payload = encode_entry(entry);
    if (!fuzzing::check_entry_input(payload)) {
      std::fprintf(stderr, "entry seed %s is not accepted\n", name);
      return 1;
    }
    if (!write_file_synced(entry_dir / name, payload)) return 1;
    plain.push_back(framed(entry, nullptr));
    sealed.push_back(framed(entry, fuzzing::log_fuzz_key().get()));
  }
  // Everything but the final drop, so that the collection is there at the end.
  std::vector<std::vector<uint8_t>> plain_kept(plain.begin(), plain.end() - 1);
  std::vector<std::vector<uint8_t>> sealed_kept(sealed.begin(), sealed.end() - 1);
  std::vector<uint8_t> flipped = plain[1];
  flipped[20] ^= 0x01;
  // What upserts write: an update entry replacing a live document, then two more in one write
  // (as a batch of upserts appends them), one of them for an id that was never inserted.
  Uuid fourth;
  fourth.bytes.fill(4);
  const std::vector<uint8_t> upserted =
      join({framed(wal::UpdateDocument{"c", first, item(1, "alpha once more", {0, 0, 1})}, nullptr),
            framed(wal::UpdateDocument{"c", fourth, item(4, "epsilon", {1, 1, 1})}, nullptr)});
  std::vector<uint8_t> unknown = encode_entry(wal::DeleteCollection{"c"});
  unknown[0] = 6;
  const std::vector<std::pair<const char*, std::vector<uint8_t>>> logs = {
      {"plain", join(plain_kept)},
      {"plain_dropped", join(plain)},
      {"encrypted", join(sealed_kept)},
      {"mixed", join({plain[0], sealed[1], plain[2], sealed[3]})},
      {"torn_tail",
       join({plain[0], plain[1], std::vector<uint8_t>(plain[2].begin(), plain[2].end() - 5)})},
      {"corrupt_middle", join({plain[0], flipped, plain[2]})},
      {"unknown_tag", join({plain[0], plain_record(unknown), plain[1]})},
      {"upserts", join({plain[0], plain[1], plain[4], upserted})},
  };
  for (const auto& [name, log] : logs) {
    // Mended checks (a first byte of 1), except where a bad check is the point of the seed.
    std::vector<uint8_t> input{static_cast<uint8_t>(std::string(name) == "corrupt_middle" ? 0 : 1)};
    input.insert(input.end(), log.begin(), log.end());
    if (fuzzing::log_from_input(input) != log) {
      std::fprintf(stderr, "log seed %s does not stand for itself\n", name);
      return 1;
    }
    if (!write_file_synced(log_dir / name, input)) return 1;
    fuzzing::check_log_input(log);
  }
  return 0;
}
