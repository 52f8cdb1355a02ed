// OpenSSL's SHA-256 is the oracle throughout.

#include "account/sha256.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

std::string Hex(const unsigned char* bytes, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0x0f];
  }
  return out;
}

std::string OpenSslHex(const std::string& message) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int md_len = 0;
  EXPECT_EQ(1, EVP_Digest(message.data(), message.size(), md, &md_len, EVP_sha256(), nullptr));
  return Hex(md, md_len);
}

std::string RandomBytes(size_t n, std::mt19937* rng) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>((*rng)() & 0xff);
  return s;
}

const unsigned char* Bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

using CompressFn = void (*)(uint32_t*, const unsigned char*, uint32_t);

// Pads message by hand and compresses all of its blocks with one call of
// compress, so each path is checked apart from update() and final().
std::string DigestWithPath(CompressFn compress, const std::string& message) {
  std::string padded = message + '\x80';
  padded.resize((padded.size() + 8 + 63) / 64 * 64, '\0');
  const uint64_t bits = static_cast<uint64_t>(message.size()) * 8;
  for (int i = 0; i < 8; ++i) padded[padded.size() - 1 - i] = static_cast<char>(bits >> (8 * i));

  uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  compress(h, Bytes(padded), static_cast<uint32_t>(padded.size() / 64));
  unsigned char digest[32];
  for (int i = 0; i < 32; ++i)
    digest[i] = static_cast<unsigned char>(h[i / 4] >> (24 - 8 * (i % 4)));
  return Hex(digest, 32);
}

void ExpectPathMatchesOpenSsl(CompressFn compress) {
  std::mt19937 rng(7);
  for (size_t len = 0; len <= 300; ++len) {
    const std::string message = RandomBytes(len, &rng);
    ASSERT_EQ(OpenSslHex(message), DigestWithPath(compress, message)) << "length " << len;
  }
  // No blocks: the state must come back exactly as it went in.
  uint32_t h[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  compress(h, nullptr, 0);
  EXPECT_EQ((std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8}), std::vector<uint32_t>(h, h + 8));
}

TEST(Sha256Test, EmptyTextGivesKnownDigest) {
  EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", encryptSha256(""));
}

TEST(Sha256Test, EveryLengthUpTo300MatchesOpenSsl) {
  std::mt19937 rng(1);
  for (size_t len = 0; len <= 300; ++len) {
    const std::string message = RandomBytes(len, &rng);
    ASSERT_EQ(OpenSslHex(message), encryptSha256(message)) << "length " << len;
  }
}

// 55/56 decide between one and two padding blocks, 63/64 fill the buffer
// exactly, 119/120 leave stale bytes of the first block behind the tail that
// the padding must clear. 0xff content makes any leftover byte show.
TEST(Sha256Test, PaddingBoundaryLengthsMatchOpenSsl) {
  for (size_t len : {55, 56, 63, 64, 119, 120}) {
    const std::string message(len, '\xff');
    EXPECT_EQ(OpenSslHex(message), encryptSha256(message)) << "length " << len;
  }
}

TEST(Sha256Test, EmbeddedNulBytesAreHashed) {
  const std::string message("pass\0word\0", 10);
  EXPECT_EQ(OpenSslHex(message), encryptSha256(message));
  EXPECT_NE(encryptSha256("pass"), encryptSha256(message));
}

TEST(Sha256Test, OutputIsLowercaseHexOnly) {
  std::mt19937 rng(3);
  for (int i = 0; i < 200; ++i) {
    const std::string text = encryptSha256(RandomBytes(rng() % 100, &rng));
    ASSERT_EQ(64u, text.size());
    EXPECT_EQ(std::string::npos, text.find_first_not_of("0123456789abcdef")) << text;
  }
}

TEST(Sha256Test, SplitUpdatesMatchOneUpdate) {
  std::mt19937 rng(5);
  for (int trial = 0; trial < 300; ++trial) {
    const std::string message = RandomBytes(rng() % 1200, &rng);
    SHA256 ctx{};
    ctx.init();
    size_t pos = 0;
    while (pos < message.size()) {
      // Mostly short pieces, sometimes several whole blocks, sometimes empty.
      const size_t want = (rng() % 4 == 0) ? rng() % 300 : rng() % 70;
      const size_t n = std::min(want, message.size() - pos);
      ctx.update(Bytes(message) + pos, static_cast<uint32_t>(n));
      pos += n;
    }
    unsigned char digest[SHA256::kDigestSize];
    ctx.final(digest);
    ASSERT_EQ(encryptSha256(message), Hex(digest, sizeof(digest))) << "trial " << trial;
    ASSERT_EQ(OpenSslHex(message), Hex(digest, sizeof(digest))) << "trial " << trial;
  }
}

// An empty input may come as a null pointer (the data of an empty vector); found by fuzzing,
// where the sanitizer reported the null pointer handed on to memcpy.
TEST(Sha256Test, EmptyUpdateMayPassANullPointer) {
  SHA256 ctx{};
  ctx.init();
  ctx.update(nullptr, 0);
  ctx.update(Bytes("abc"), 3);
  ctx.update(nullptr, 0);
  unsigned char digest[SHA256::kDigestSize];
  ctx.final(digest);
  EXPECT_EQ(Hex(digest, sizeof(digest)), OpenSslHex("abc"));
}

TEST(Sha256Test, PortablePathMatchesOpenSsl) {
  ExpectPathMatchesOpenSsl(sha256_internal::transform_portable);
}

TEST(Sha256Test, ShaExtensionsPathMatchesOpenSsl) {
  if (!sha256_internal::cpu_has_sha()) GTEST_SKIP() << "CPU lacks the SHA extensions";
  ExpectPathMatchesOpenSsl(sha256_internal::transform_shani);
}

}  // namespace
