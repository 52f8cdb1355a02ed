// Fuzz target: the password digest against OpenSSL's SHA-256, for any message fed in any split.
//
// Input layout: byte 0 (mod 8) is the number k of cuts; the next k bytes are the sizes of the
// first k pieces fed to SHA256::update (0 to 255 bytes each); the rest of the input is the
// message, and whatever the cuts leave of it is fed last. The digest must equal OpenSSL's, and so
// must encryptSha256's text of the whole message; the portable and the SHA-extension compression
// functions must agree on every whole block of the message.
#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "account/sha256.h"
#include "fuzz_support.h"

namespace {

constexpr uint32_t kInitialHash[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

std::string hex(const unsigned char* bytes, size_t n) {
  std::string text;
  char two[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(two, sizeof(two), "%02x", bytes[i]);
    text += two;
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t cuts = std::min<size_t>(data[0] % 8, size - 1);
  const uint8_t* sizes = data + 1;
  // A copy of exactly the message's size, so that a read past its end is caught.
  const std::vector<unsigned char> message(data + 1 + cuts, data + size);

  unsigned char expected[SHA256::kDigestSize];
  unsigned int expected_size = 0;
  if (EVP_Digest(message.data(), message.size(), expected, &expected_size, EVP_sha256(), nullptr) !=
          1 ||
      expected_size != sizeof(expected)) {
    fuzz_failure("OpenSSL failed");
  }

  SHA256 ctx{};
  ctx.init();
  size_t fed = 0;
  for (size_t i = 0; i < cuts; ++i) {
    const size_t piece = std::min<size_t>(sizes[i], message.size() - fed);
    ctx.update(message.data() + fed, static_cast<uint32_t>(piece));
    fed += piece;
  }
  ctx.update(message.data() + fed, static_cast<uint32_t>(message.size() - fed));
  unsigned char digest[SHA256::kDigestSize];
  ctx.final(digest);
  if (std::memcmp(digest, expected, sizeof(digest)) != 0) {
    fuzz_failure("digest " + hex(digest, sizeof(digest)) + " differs from OpenSSL's " +
                 hex(expected, sizeof(expected)));
  }

  const std::string text(message.begin(), message.end());
  if (encryptSha256(text) != hex(expected, sizeof(expected))) {
    fuzz_failure("encryptSha256 differs from OpenSSL");
  }

  const uint32_t blocks = static_cast<uint32_t>(message.size() / SHA256::kBlockSize);
  if (blocks > 0 && sha256_internal::cpu_has_sha()) {
    uint32_t portable[8], shani[8];
    std::memcpy(portable, kInitialHash, sizeof(portable));
    std::memcpy(shani, kInitialHash, sizeof(shani));
    sha256_internal::transform_portable(portable, message.data(), blocks);
    sha256_internal::transform_shani(shani, message.data(), blocks);
    if (std::memcmp(portable, shani, sizeof(portable)) != 0) {
      fuzz_failure("the two compression functions disagree");
    }
  }
  return 0;
}
