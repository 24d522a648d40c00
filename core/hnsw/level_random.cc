#include "core/hnsw/level_random.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/common/os_random.h"

namespace kestrine {

namespace {

[[noreturn]] void generator_failed() {
  std::fprintf(stderr, "kestrine: the level generator's cipher failed\n");
  std::abort();
}

// Keystream buffered a block at a time: encrypting zeros yields the raw keystream.
class ChaChaStream {
 public:
  ChaChaStream() : context_(EVP_CIPHER_CTX_new()) {
    if (context_ == nullptr) generator_failed();
    unsigned char key[32];
    fill_os_random(key);
    rekey(key);
    OPENSSL_cleanse(key, sizeof key);
  }
  ~ChaChaStream() { EVP_CIPHER_CTX_free(context_); }
  ChaChaStream(const ChaChaStream&) = delete;
  ChaChaStream& operator=(const ChaChaStream&) = delete;

  // Restarts the keystream under `key`; block counter 0, nonce 0: the key alone varies.
  void rekey(const unsigned char (&key)[32]) {
    const unsigned char iv[16] = {};
    if (EVP_EncryptInit_ex(context_, EVP_chacha20(), nullptr, key, iv) != 1) generator_failed();
    position_ = sizeof buffer_;
  }

  uint64_t next() {
    if (position_ == sizeof buffer_) refill();
    uint64_t value;
    std::memcpy(&value, buffer_ + position_, sizeof value);
    position_ += sizeof value;
    return value;
  }

 private:
  void refill() {
    std::memset(buffer_, 0, sizeof buffer_);
    int written = 0;
    if (EVP_EncryptUpdate(context_, buffer_, &written, buffer_, sizeof buffer_) != 1 ||
        written != static_cast<int>(sizeof buffer_)) {
      generator_failed();
    }
    position_ = 0;
  }

  EVP_CIPHER_CTX* context_;
  unsigned char buffer_[512];
  size_t position_ = sizeof buffer_;
};

ChaChaStream& thread_stream() {
  thread_local ChaChaStream stream;
  return stream;
}

}  // namespace

uint64_t level_random_u64() { return thread_stream().next(); }

void seed_level_random(uint64_t seed) {
  unsigned char key[32] = {};
  std::memcpy(key, &seed, sizeof seed);
  thread_stream().rekey(key);
}

}  // namespace kestrine
