#include "core/storage/crypto.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/core/storage_test_support.h"

namespace kestrine {
namespace {

using testing::from_hex;
using testing::to_bytes;

constexpr char kHexKey[] = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

KeyPtr key_of(std::string_view text) {
  auto key = parse_key(text);
  EXPECT_TRUE(key.has_value()) << (key ? "" : key.error().message());
  return key ? *key : nullptr;
}

KeyPtr key_from_hex(std::string_view hex) {
  std::vector<uint8_t> bytes = from_hex(hex);
  return EncryptionKey::from_bytes(std::span<const uint8_t, kKeySize>(bytes.data(), kKeySize));
}

std::string parse_error(std::string_view text) {
  auto key = parse_key(text);
  EXPECT_FALSE(key.has_value()) << text;
  if (key) return "";
  EXPECT_EQ(key.error().kind(), ErrorKind::kInvalidValue);
  return key.error().message();
}

// Whether two parsed keys are the same key, shown by sealing with one and opening with the other.
bool interoperate(const EncryptionKey& a, const EncryptionKey& b) {
  auto envelope = seal(a, to_bytes("probe"));
  return envelope && unseal(b, *envelope).has_value() && a.same_key(b);
}

// --- Known-answer tests: the AES-256 reference vectors of the GCM standard (NIST SP 800-38D),
// opened as envelopes nonce | ciphertext | tag.

struct KnownAnswer {
  const char* name;
  const char* key;
  const char* nonce;
  const char* plaintext;
  const char* ciphertext;
  const char* tag;
};

const KnownAnswer kKnownAnswers[] = {
    {"ZeroKeyEmptyText", "0000000000000000000000000000000000000000000000000000000000000000",
     "000000000000000000000000", "", "", "530f8afbc74536b9a963b4f1c4cb738b"},
    {"ZeroKeyOneBlock", "0000000000000000000000000000000000000000000000000000000000000000",
     "000000000000000000000000", "00000000000000000000000000000000",
     "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919"},
    {"FourBlocks", "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308",
     "cafebabefacedbaddecaf888",
     "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
     "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255",
     "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
     "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad",
     "b094dac5d93471bdec1a502270e3cc6c"},
};

class KnownAnswerTest : public ::testing::TestWithParam<KnownAnswer> {};

TEST_P(KnownAnswerTest, UnsealsTheReferenceEnvelope) {
  const KnownAnswer& v = GetParam();
  KeyPtr key = key_from_hex(v.key);
  std::vector<uint8_t> envelope = from_hex(std::string(v.nonce) + v.ciphertext + v.tag);
  auto plaintext = unseal(*key, envelope);
  ASSERT_TRUE(plaintext.has_value()) << plaintext.error().message();
  EXPECT_EQ(*plaintext, from_hex(v.plaintext));
}

INSTANTIATE_TEST_SUITE_P(GcmKnownAnswerVectors, KnownAnswerTest, ::testing::ValuesIn(kKnownAnswers),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CryptoTest, AnEnvelopeOfExactly28BytesWithACorrectTagIsTheEmptyPlaintext) {
  KeyPtr key = key_from_hex(std::string(64, '0'));
  auto plaintext =
      unseal(*key, from_hex("000000000000000000000000530f8afbc74536b9a963b4f1c4cb738b"));
  ASSERT_TRUE(plaintext.has_value());
  EXPECT_TRUE(plaintext->empty());
}

// --- parse_key

TEST(ParseKeyTest, AcceptsSurroundingWhiteSpaceAndEitherCase) {
  KeyPtr plain = key_of(kHexKey);
  std::string upper = kHexKey;
  for (char& c : upper) c = static_cast<char>(std::toupper(c));
  for (std::string text : {std::string(kHexKey) + "\n", "  " + std::string(kHexKey) + " ",
                           "\t\r\n" + std::string(kHexKey) + "\v\f", upper}) {
    KeyPtr key = key_of(text);
    ASSERT_TRUE(key);
    EXPECT_TRUE(interoperate(*plain, *key)) << text;
  }
}

TEST(ParseKeyTest, TrimsEveryUnicodeWhiteSpaceCharacter) {
  KeyPtr plain = key_of(kHexKey);
  const char* kSpaces[] = {"\t",           "\n",           "\v",
                           "\f",           "\r",           " ",
                           "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80",
                           "\xE2\x80\x80", "\xE2\x80\x85", "\xE2\x80\x8A",
                           "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF",
                           "\xE2\x81\x9F", "\xE3\x80\x80"};
  for (const char* ws : kSpaces) {
    KeyPtr key = key_of(std::string(ws) + ws + kHexKey + ws);
    ASSERT_TRUE(key) << ws;
    EXPECT_TRUE(interoperate(*plain, *key));
  }
}

TEST(ParseKeyTest, DoesNotTrimOtherFormatCharacters) {
  // U+200B ZERO WIDTH SPACE and U+FEFF are not White_Space: they count as bytes.
  EXPECT_EQ(parse_error("\xE2\x80\x8B" + std::string(kHexKey)),
            "encryption key must be 64 hex characters (32 bytes), got 67");
  EXPECT_EQ(parse_error(std::string(kHexKey) + "\xEF\xBB\xBF"),
            "encryption key must be 64 hex characters (32 bytes), got 67");
}

struct LengthCase {
  const char* name;
  std::string text;
  size_t reported;
};

class KeyLengthTest : public ::testing::TestWithParam<LengthCase> {};

TEST_P(KeyLengthTest, ReportsTheLengthInUtf8Bytes) {
  EXPECT_EQ(parse_error(GetParam().text),
            "encryption key must be 64 hex characters (32 bytes), got " +
                std::to_string(GetParam().reported));
}

INSTANTIATE_TEST_SUITE_P(
    ParseKey, KeyLengthTest,
    ::testing::Values(LengthCase{"SixtyThreeDigits", std::string(63, 'a'), 63},
                      LengthCase{"InnerSpace", std::string(32, 'a') + " " + std::string(32, 'a'),
                                 65},
                      LengthCase{"TwoByteCharacter", std::string(63, 'a') + "\xC3\xA9", 65},
                      LengthCase{"Empty", "", 0}, LengthCase{"OnlySpaces", "   \n", 0},
                      LengthCase{"SixtyFiveDigits", std::string(65, 'a'), 65}),
    [](const auto& info) { return std::string(info.param.name); });

// 64 bytes of "0" with `replacement` written at byte `at`, after `prefix` (trimmed away).
struct HexCase {
  const char* name;
  std::string prefix;
  size_t at;
  std::string replacement;
  size_t position;
};

class InvalidHexTest : public ::testing::TestWithParam<HexCase> {};

TEST_P(InvalidHexTest, ReportsTheFirstBadPairByItsOffsetInTheTrimmedText) {
  const HexCase& c = GetParam();
  std::string text = std::string(64, '0');
  text.replace(c.at, c.replacement.size(), c.replacement);
  EXPECT_EQ(parse_error(c.prefix + text), "invalid hex at position " + std::to_string(c.position) +
                                              ": invalid digit found in string");
}

INSTANTIATE_TEST_SUITE_P(
    ParseKey, InvalidHexTest,
    ::testing::Values(HexCase{"GAsTenthCharacter", "", 9, "g", 8},
                      HexCase{"LastPair", "", 62, "z", 62},
                      HexCase{"SecondByteOfFirstPair", "", 1, "-", 0},
                      HexCase{"EarlierPairWins", "", 10, "x0000000000x", 10},
                      HexCase{"AfterLeadingSpaces", "   ", 20, "x", 20},
                      HexCase{"TwoByteCharacterAsLastPair", "", 62, "\xC3\xA9", 62},
                      HexCase{"TwoByteCharacterAcrossPairs", "", 31, "\xC3\xA9", 30},
                      HexCase{"SignAsSecondByte", "", 3, "+", 2},
                      HexCase{"SignBeforeSign", "", 4, "++", 4},
                      HexCase{"MinusSign", "", 4, "-1", 4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ParseKeyTest, APlusSignReadsThePairFromItsSecondByte) {
  std::string with_sign = kHexKey;
  with_sign[0] = '+';
  with_sign[1] = '7';  // "+7" is 0x07
  std::string digits = kHexKey;
  digits[0] = '0';
  digits[1] = '7';
  KeyPtr a = key_of(with_sign);
  KeyPtr b = key_of(digits);
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(interoperate(*a, *b));
  EXPECT_FALSE(key_of(kHexKey)->same_key(*a));
}

// --- seal / unseal

TEST(SealTest, SealingTwiceGivesDifferentEnvelopesThatBothOpen) {
  KeyPtr key = key_of(kHexKey);
  const std::vector<uint8_t> plaintext = to_bytes("the same plaintext");
  auto a = seal(*key, plaintext);
  auto b = seal(*key, plaintext);
  ASSERT_TRUE(a && b);
  EXPECT_NE(std::vector<uint8_t>(a->begin(), a->begin() + 12),
            std::vector<uint8_t>(b->begin(), b->begin() + 12));
  EXPECT_EQ(*unseal(*key, *a), plaintext);
  EXPECT_EQ(*unseal(*key, *b), plaintext);
}

TEST(SealTest, EnvelopeIsNoncePlusCiphertextPlusTag) {
  KeyPtr key = key_of(kHexKey);
  for (size_t size : {0u, 1u, 15u, 16u, 17u, 1000u}) {
    std::vector<uint8_t> plaintext(size, 0x5A);
    auto envelope = seal(*key, plaintext);
    ASSERT_TRUE(envelope);
    EXPECT_EQ(envelope->size(), size + 28);
    EXPECT_EQ(*unseal(*key, *envelope), plaintext);
  }
}

TEST(SealTest, SealInPlaceEncryptsTheMiddleOfItsBuffer) {
  KeyPtr key = key_of(kHexKey);
  std::vector<uint8_t> envelope(12 + 5 + 16, 0);
  std::memcpy(envelope.data() + 12, "hello", 5);
  ASSERT_TRUE(seal_in_place(*key, envelope));
  EXPECT_NE(std::string(envelope.begin() + 12, envelope.begin() + 17), "hello");
  EXPECT_EQ(*unseal(*key, envelope), to_bytes("hello"));
}

TEST(SealTest, APlaintextAboveTheGcmLimitIsAnInternalError) {
  KeyPtr key = key_of(kHexKey);
  // An inaccessible reservation: any touch of these bytes would crash the test.
  const size_t size = kMaxSealedPlaintext + 1;
  void* region =
      ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  auto sealed = seal(*key, std::span<const uint8_t>(static_cast<const uint8_t*>(region), size));
  ASSERT_FALSE(sealed);
  EXPECT_EQ(sealed.error().kind(), ErrorKind::kInternal);
  EXPECT_EQ(sealed.error().message(), "AES-GCM encryption should not fail");
  ::munmap(region, size);
  EXPECT_EQ(kMaxSealedPlaintext, 68719476704u);
}

TEST(UnsealTest, AnEnvelopeOf27BytesIsTooShort) {
  KeyPtr key = key_of(kHexKey);
  for (size_t size : {0u, 1u, 27u}) {
    auto opened = unseal(*key, std::vector<uint8_t>(size));
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().kind(), ErrorKind::kInvalidData);
    EXPECT_EQ(opened.error().message(),
              "encrypted data too short: " + std::to_string(size) + " bytes (minimum 28)");
  }
}

TEST(UnsealTest, FlippingAnyBitOfNonceCiphertextOrTagFails) {
  KeyPtr key = key_of(kHexKey);
  auto envelope = seal(*key, to_bytes("sixteen byte msg!"));
  ASSERT_TRUE(envelope);
  for (size_t byte = 0; byte < envelope->size(); ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      std::vector<uint8_t> damaged = *envelope;
      damaged[byte] ^= static_cast<uint8_t>(1 << bit);
      auto opened = unseal(*key, damaged);
      ASSERT_FALSE(opened) << byte << ":" << bit;
      EXPECT_EQ(opened.error().kind(), ErrorKind::kInvalidData);
      EXPECT_EQ(opened.error().message(), "decryption failed: wrong key or corrupted data");
    }
  }
}

TEST(UnsealTest, AWrongKeyFails) {
  auto envelope = seal(*key_of(kHexKey), to_bytes("secret"));
  auto opened = unseal(*key_of(std::string(64, 'f')), *envelope);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().message(), "decryption failed: wrong key or corrupted data");
}

TEST(UnsealTest, ATruncatedEnvelopeOfAtLeast28BytesFailsAsDecryption) {
  KeyPtr key = key_of(kHexKey);
  auto envelope = seal(*key, to_bytes("a message of some length"));
  for (size_t cut = 1; envelope->size() - cut >= 28; ++cut) {
    std::vector<uint8_t> shorter(envelope->begin(), envelope->end() - cut);
    auto opened = unseal(*key, shorter);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().message(), "decryption failed: wrong key or corrupted data");
  }
}

TEST(UnsealTest, OneKeyServesManyThreadsAtOnce) {
  KeyPtr key = key_of(kHexKey);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&key, &failures, t] {
      for (int i = 0; i < 200; ++i) {
        std::vector<uint8_t> plaintext(static_cast<size_t>(i + t), static_cast<uint8_t>(t));
        auto envelope = seal(*key, plaintext);
        if (!envelope || unseal(*key, *envelope) != plaintext) failures++;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace kestrine
