#include "core/storage/crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/common/os_random.h"

namespace kestrine {
namespace {

// UTF-8 encodings of the characters with the Unicode White_Space property. UTF-8 is
// prefix-free, so matching these byte strings at either end of the text trims exactly those
// characters, and never splits another character.
constexpr std::array<std::string_view, 25> kWhiteSpace = {
    "\t",           "\n",           "\v",           "\f",           "\r",           " ",
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
    "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
    "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
    "\xE3\x80\x80",
};

std::string_view trim_white_space(std::string_view text) {
  for (bool trimmed = true; trimmed;) {
    trimmed = false;
    for (std::string_view ws : kWhiteSpace) {
      if (text.starts_with(ws)) {
        text.remove_prefix(ws.size());
        trimmed = true;
      }
      if (text.ends_with(ws)) {
        text.remove_suffix(ws.size());
        trimmed = true;
      }
    }
  }
  return text;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A two-byte pair read as one unsigned number in base 16. A leading "+" is a sign, as
// unsigned-integer parsers conventionally accept, leaving a single digit.
int parse_hex_pair(char first, char second) {
  const int low = hex_digit(second);
  if (first == '+') return low;
  const int high = hex_digit(first);
  return high < 0 || low < 0 ? -1 : high * 16 + low;
}

// The fatal case of the GCM limit, and of OpenSSL failing on valid input.
Error cipher_failure() { return Error::internal("AES-GCM encryption should not fail"); }

Error decryption_failure() {
  return Error::invalid_data("decryption failed: wrong key or corrupted data");
}

struct ContextDeleter {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using ContextPtr = std::unique_ptr<EVP_CIPHER_CTX, ContextDeleter>;

}  // namespace

EncryptionKey::EncryptionKey(std::span<const uint8_t, kKeySize> bytes) {
  std::memcpy(bytes_, bytes.data(), kKeySize);
  prepared_ = EVP_CIPHER_CTX_new();
  // Encryption and decryption share the GCM key schedule, so one prepared context serves both
  // directions: every operation re-initialises its copy with a direction and a nonce only.
  if (prepared_ == nullptr ||
      EVP_EncryptInit_ex(prepared_, EVP_aes_256_gcm(), nullptr, bytes_, nullptr) != 1) {
    std::fprintf(stderr, "kestrine: OpenSSL could not set up AES-256-GCM\n");
    std::abort();
  }
}

EncryptionKey::~EncryptionKey() {
  // Freeing the context wipes the key schedule it holds.
  EVP_CIPHER_CTX_free(prepared_);
  OPENSSL_cleanse(bytes_, sizeof bytes_);
}

std::shared_ptr<const EncryptionKey> EncryptionKey::from_bytes(
    std::span<const uint8_t, kKeySize> bytes) {
  return std::shared_ptr<const EncryptionKey>(new EncryptionKey(bytes));
}

bool EncryptionKey::same_key(const EncryptionKey& other) const {
  return CRYPTO_memcmp(bytes_, other.bytes_, kKeySize) == 0;
}

EVP_CIPHER_CTX* EncryptionKey::new_context() const {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (ctx != nullptr && EVP_CIPHER_CTX_copy(ctx, prepared_) != 1) {
    EVP_CIPHER_CTX_free(ctx);
    return nullptr;
  }
  return ctx;
}

Result<KeyPtr> parse_key(std::string_view text) {
  const std::string_view hex = trim_white_space(text);
  if (hex.size() != 2 * kKeySize) {
    return fail(Error::invalid_value("encryption key must be 64 hex characters (32 bytes), got " +
                                     std::to_string(hex.size())));
  }
  uint8_t bytes[kKeySize];
  for (size_t k = 0; k < kKeySize; ++k) {
    const int value = parse_hex_pair(hex[2 * k], hex[2 * k + 1]);
    if (value < 0) {
      OPENSSL_cleanse(bytes, sizeof bytes);
      return fail(Error::invalid_value("invalid hex at position " + std::to_string(2 * k) +
                                       ": invalid digit found in string"));
    }
    bytes[k] = static_cast<uint8_t>(value);
  }
  KeyPtr key = EncryptionKey::from_bytes(bytes);
  OPENSSL_cleanse(bytes, sizeof bytes);
  return key;
}

Status seal_in_place(const EncryptionKey& key, std::span<uint8_t> envelope) {
  if (envelope.size() < kEnvelopeOverhead ||
      envelope.size() - kEnvelopeOverhead > kMaxSealedPlaintext) {
    return fail(cipher_failure());
  }
  uint8_t* nonce = envelope.data();
  uint8_t* text = nonce + kNonceSize;
  const size_t text_size = envelope.size() - kEnvelopeOverhead;
  uint8_t* tag = text + text_size;
  fill_os_random({nonce, kNonceSize});

  ContextPtr ctx(key.new_context());
  if (!ctx || EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, nullptr, nonce) != 1) {
    return fail(cipher_failure());
  }
  // EVP_EncryptUpdate takes an int length; long messages go through in chunks.
  constexpr size_t kChunk = size_t{1} << 30;
  for (size_t done = 0; done < text_size;) {
    const size_t n = std::min(kChunk, text_size - done);
    int written = 0;
    if (EVP_EncryptUpdate(ctx.get(), text + done, &written, text + done, static_cast<int>(n)) !=
            1 ||
        static_cast<size_t>(written) != n) {
      return fail(cipher_failure());
    }
    done += n;
  }
  uint8_t no_output[16];  // GCM emits nothing at the end; the buffer only satisfies the API
  int final_size = 0;
  if (EVP_EncryptFinal_ex(ctx.get(), no_output, &final_size) != 1 || final_size != 0 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, tag) != 1) {
    return fail(cipher_failure());
  }
  return {};
}

Result<std::vector<uint8_t>> seal(const EncryptionKey& key, std::span<const uint8_t> plaintext) {
  if (plaintext.size() > kMaxSealedPlaintext) return fail(cipher_failure());
  std::vector<uint8_t> envelope(plaintext.size() + kEnvelopeOverhead);
  if (!plaintext.empty())
    std::memcpy(envelope.data() + kNonceSize, plaintext.data(), plaintext.size());
  if (auto ok = seal_in_place(key, envelope); !ok) return fail(ok.error());
  return envelope;
}

namespace {

// Opens `envelope` into `out`, which holds its plaintext size and may be the envelope's own text
// (the cipher works in place). On failure `out` is wiped: unauthenticated bytes are never left.
Status open_envelope(const EncryptionKey& key, std::span<const uint8_t> envelope, uint8_t* out) {
  const size_t text_size = envelope.size() - kEnvelopeOverhead;
  const uint8_t* nonce = envelope.data();
  const uint8_t* text = nonce + kNonceSize;
  const uint8_t* tag = text + text_size;

  ContextPtr ctx(key.new_context());
  if (!ctx || EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, nullptr, nonce) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, const_cast<uint8_t*>(tag)) !=
          1) {
    return fail(decryption_failure());
  }
  constexpr size_t kChunk = size_t{1} << 30;
  for (size_t done = 0; done < text_size;) {
    const size_t n = std::min(kChunk, text_size - done);
    int written = 0;
    if (EVP_DecryptUpdate(ctx.get(), out + done, &written, text + done, static_cast<int>(n)) != 1 ||
        static_cast<size_t>(written) != n) {
      OPENSSL_cleanse(out, text_size);
      return fail(decryption_failure());
    }
    done += n;
  }
  // The tag is checked (in constant time) only here; until it passes, the decrypted bytes are
  // unauthenticated and are wiped rather than released.
  uint8_t no_output[16];
  int final_size = 0;
  if (EVP_DecryptFinal_ex(ctx.get(), no_output, &final_size) != 1 || final_size != 0) {
    OPENSSL_cleanse(out, text_size);
    return fail(decryption_failure());
  }
  return {};
}

Status check_envelope_size(size_t size) {
  if (size < kEnvelopeOverhead) {
    return fail(Error::invalid_data("encrypted data too short: " + std::to_string(size) +
                                    " bytes (minimum " + std::to_string(kEnvelopeOverhead) + ")"));
  }
  if (size - kEnvelopeOverhead > kMaxSealedPlaintext) return fail(decryption_failure());
  return {};
}

}  // namespace

Result<std::vector<uint8_t>> unseal(const EncryptionKey& key, std::span<const uint8_t> envelope) {
  if (auto ok = check_envelope_size(envelope.size()); !ok) return fail(ok.error());
  std::vector<uint8_t> plaintext(envelope.size() - kEnvelopeOverhead);
  if (auto ok = open_envelope(key, envelope, plaintext.data()); !ok) return fail(ok.error());
  return plaintext;
}

Status unseal_into(const EncryptionKey& key, std::span<const uint8_t> envelope,
                   std::span<uint8_t> out) {
  if (auto ok = check_envelope_size(envelope.size()); !ok) return ok;
  if (out.size() != envelope.size() - kEnvelopeOverhead) return fail(decryption_failure());
  return open_envelope(key, envelope, out.data());
}

Result<std::span<const uint8_t>> unseal_in_place(const EncryptionKey& key,
                                                 std::span<uint8_t> envelope) {
  if (auto ok = check_envelope_size(envelope.size()); !ok) return fail(ok.error());
  uint8_t* text = envelope.data() + kNonceSize;
  if (auto ok = open_envelope(key, envelope, text); !ok) return fail(ok.error());
  return std::span<const uint8_t>(text, envelope.size() - kEnvelopeOverhead);
}

}  // namespace kestrine
