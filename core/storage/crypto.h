// AES-256-GCM sealing of snapshots and log records under a user-supplied 256-bit key.
//
// Envelope layout, the only thing ever stored (no version, no key id, no length field):
//
//   nonce (12 bytes, fresh from the OS per message) | ciphertext (= plaintext length) | tag (16)
//
// No associated data is authenticated. An envelope is therefore 28 bytes longer than its
// plaintext, and 28 bytes is the smallest valid one (an empty plaintext).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "core/common/error.h"

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

namespace kestrine {

inline constexpr size_t kNonceSize = 12;
inline constexpr size_t kTagSize = 16;
inline constexpr size_t kEnvelopeOverhead = kNonceSize + kTagSize;
inline constexpr size_t kKeySize = 32;
// GCM's limit for one message (NIST SP 800-38D): 2^39 - 256 bits.
inline constexpr uint64_t kMaxSealedPlaintext = (uint64_t{1} << 36) - 32;

// A parsed key, ready to use: the AES key schedule and the GHASH subkey are computed once, at
// construction, inside a prepared cipher context. Immutable afterwards, so one instance is
// shared read-only by every thread that seals or unseals with it (each operation works on its
// own copy of the prepared context). The key bytes and the schedule are wiped when it is dropped.
class EncryptionKey {
 public:
  static std::shared_ptr<const EncryptionKey> from_bytes(std::span<const uint8_t, kKeySize> bytes);
  ~EncryptionKey();

  EncryptionKey(const EncryptionKey&) = delete;
  EncryptionKey& operator=(const EncryptionKey&) = delete;

  // Whether both hold the same 32 bytes (compared in constant time).
  bool same_key(const EncryptionKey& other) const;

  // A fresh cipher context holding this key's schedule, or null when OpenSSL fails.
  EVP_CIPHER_CTX* new_context() const;

 private:
  explicit EncryptionKey(std::span<const uint8_t, kKeySize> bytes);

  uint8_t bytes_[kKeySize];
  EVP_CIPHER_CTX* prepared_ = nullptr;  // key set, no nonce yet; only ever copied from
};

using KeyPtr = std::shared_ptr<const EncryptionKey>;

// Key text to key. Unicode white space is trimmed at both ends; the rest must be exactly 64
// bytes of hexadecimal pairs. Errors are kInvalidValue:
//   "encryption key must be 64 hex characters (32 bytes), got <bytes>"
//   "invalid hex at position <2k>: invalid digit found in string"
// A pair may be written "+d": the sign is accepted and the pair is the single digit d.
Result<KeyPtr> parse_key(std::string_view text);

// Seals `plaintext` into a new envelope. A plaintext above kMaxSealedPlaintext bytes is
// Error::internal("AES-GCM encryption should not fail").
Result<std::vector<uint8_t>> seal(const EncryptionKey& key, std::span<const uint8_t> plaintext);

// Seals in place: `envelope` is laid out as above with the plaintext already in the middle
// (bytes [12, size - 16)); the nonce and tag are filled in and the plaintext is encrypted where
// it lies. Lets a writer encode straight into its output buffer.
Status seal_in_place(const EncryptionKey& key, std::span<uint8_t> envelope);

// Opens an envelope. kInvalidData errors:
//   "encrypted data too short: <n> bytes (minimum 28)"
//   "decryption failed: wrong key or corrupted data" (any tag mismatch; nothing is released)
Result<std::vector<uint8_t>> unseal(const EncryptionKey& key, std::span<const uint8_t> envelope);

// Opens an envelope into `out`, which holds exactly its plaintext size (envelope size - 28). Same
// errors as unseal; on failure `out` is wiped. Lets a reader decrypt straight from a file's
// mapping into a buffer it never had to clear.
Status unseal_into(const EncryptionKey& key, std::span<const uint8_t> envelope,
                   std::span<uint8_t> out);

// Opens an envelope where it lies: the plaintext replaces the ciphertext in the middle of
// `envelope`, and the result is that part of it. Same errors as unseal; on failure the middle is
// wiped. Spares a reader that owns the envelope a second buffer of its size.
Result<std::span<const uint8_t>> unseal_in_place(const EncryptionKey& key,
                                                 std::span<uint8_t> envelope);

}  // namespace kestrine
