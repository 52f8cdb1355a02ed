#include "account/sha256.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#define KORVANE_SHA256_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

const uint32_t SHA256::sha256_k[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

namespace {

// Initial hash value H0..H7.
constexpr uint32_t kInitialHash[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline uint32_t LoadBigEndian32(const unsigned char* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline void StoreBigEndian32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

#ifdef KORVANE_SHA256_X86

// Only the functions below are compiled for the SHA extensions, so the rest
// of the program needs no special flags and still runs on CPUs without them.
#define KORVANE_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// Four rounds t..t+3 with message words w. sha256rnds2 runs two rounds per
// call on the state split as ABEF/CDGH and swaps the roles of the two halves,
// so after the pair of calls abef and cdgh are again what their names say.
KORVANE_SHA_TARGET inline __attribute__((always_inline)) void QuadRound(__m128i& abef,
                                                                        __m128i& cdgh, __m128i w,
                                                                        int t) {
  const __m128i k = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&SHA256::sha256_k[t]));
  __m128i wk = _mm_add_epi32(w, k);
  cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
  wk = _mm_shuffle_epi32(wk, 0x0e);  // words t+2, t+3 into the low half
  abef = _mm_sha256rnds2_epu32(abef, cdgh, wk);
}

// Next four schedule words from the previous sixteen, oldest first:
// W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16].
KORVANE_SHA_TARGET inline __attribute__((always_inline)) __m128i NextWords(__m128i w0, __m128i w1,
                                                                           __m128i w2, __m128i w3) {
  __m128i x = _mm_sha256msg1_epu32(w0, w1);          // W[t-16] + s0(W[t-15])
  x = _mm_add_epi32(x, _mm_alignr_epi8(w3, w2, 4));  // + W[t-7]
  return _mm_sha256msg2_epu32(x, w3);                // + s1(W[t-2])
}

KORVANE_SHA_TARGET void CompressShaNi(uint32_t h[8], const unsigned char* data, uint32_t block_nb) {
  // Bytes of each 32-bit lane reversed: the message words are big-endian.
  const __m128i kByteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);

  // The instructions keep the state as {F,E,B,A} and {H,G,D,C} (lane 0 first).
  __m128i abcd = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&h[0]));
  __m128i efgh = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&h[4]));
  abcd = _mm_shuffle_epi32(abcd, 0xb1);              // B A D C
  efgh = _mm_shuffle_epi32(efgh, 0x1b);              // H G F E
  __m128i abef = _mm_alignr_epi8(abcd, efgh, 8);     // F E B A
  __m128i cdgh = _mm_blend_epi16(efgh, abcd, 0xf0);  // H G D C

  for (; block_nb > 0; --block_nb, data += SHA256::kBlockSize) {
    const __m128i abef_in = abef;
    const __m128i cdgh_in = cdgh;

    __m128i w0 =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data)), kByteSwap);
    __m128i w1 =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16)), kByteSwap);
    __m128i w2 =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 32)), kByteSwap);
    __m128i w3 =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 48)), kByteSwap);

    QuadRound(abef, cdgh, w0, 0);
    QuadRound(abef, cdgh, w1, 4);
    QuadRound(abef, cdgh, w2, 8);
    QuadRound(abef, cdgh, w3, 12);
    for (int t = 16; t < 64; t += 16) {
      w0 = NextWords(w0, w1, w2, w3);
      QuadRound(abef, cdgh, w0, t);
      w1 = NextWords(w1, w2, w3, w0);
      QuadRound(abef, cdgh, w1, t + 4);
      w2 = NextWords(w2, w3, w0, w1);
      QuadRound(abef, cdgh, w2, t + 8);
      w3 = NextWords(w3, w0, w1, w2);
      QuadRound(abef, cdgh, w3, t + 12);
    }

    abef = _mm_add_epi32(abef, abef_in);
    cdgh = _mm_add_epi32(cdgh, cdgh_in);
  }

  const __m128i ab_ef = _mm_shuffle_epi32(abef, 0x1b);  // A B E F
  const __m128i gh_cd = _mm_shuffle_epi32(cdgh, 0xb1);  // G H C D
  abcd = _mm_blend_epi16(ab_ef, gh_cd, 0xf0);           // A B C D
  efgh = _mm_alignr_epi8(gh_cd, ab_ef, 8);              // E F G H
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&h[0]), abcd);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&h[4]), efgh);
}

#endif  // KORVANE_SHA256_X86

using CompressFn = void (*)(uint32_t h[8], const unsigned char* data, uint32_t block_nb);

// Chosen on first use rather than during static initialisation, so digests
// computed from other translation units' static constructors are safe too.
CompressFn SelectedCompress() {
  static const CompressFn compress = sha256_internal::cpu_has_sha()
                                         ? sha256_internal::transform_shani
                                         : sha256_internal::transform_portable;
  return compress;
}

}  // namespace

namespace sha256_internal {

bool cpu_has_sha() {
#ifdef KORVANE_SHA256_X86
  unsigned int eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  const bool ssse3 = (ecx & (1u << 9)) != 0;
  const bool sse41 = (ecx & (1u << 19)) != 0;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  const bool sha = (ebx & (1u << 29)) != 0;
  return ssse3 && sse41 && sha;
#else
  return false;
#endif
}

void transform_portable(uint32_t h[8], const unsigned char* data, uint32_t block_nb) {
  for (; block_nb > 0; --block_nb, data += SHA256::kBlockSize) {
    uint32_t w[64];
    for (int t = 0; t < 16; ++t) w[t] = LoadBigEndian32(data + 4 * t);
    for (int t = 16; t < 64; ++t) {
      const uint32_t s0 = Rotr(w[t - 15], 7) ^ Rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
      const uint32_t s1 = Rotr(w[t - 2], 17) ^ Rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
      w[t] = s1 + w[t - 7] + s0 + w[t - 16];
    }

    uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
    uint32_t e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int t = 0; t < 64; ++t) {
      const uint32_t sum1 = Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25);
      const uint32_t ch = (e & f) ^ (~e & g);
      const uint32_t t1 = hh + sum1 + ch + SHA256::sha256_k[t] + w[t];
      const uint32_t sum0 = Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22);
      const uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
      const uint32_t t2 = sum0 + maj;
      hh = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
    h[5] += f;
    h[6] += g;
    h[7] += hh;
  }
}

void transform_shani(uint32_t h[8], const unsigned char* data, uint32_t block_nb) {
#ifdef KORVANE_SHA256_X86
  CompressShaNi(h, data, block_nb);
#else
  transform_portable(h, data, block_nb);
#endif
}

}  // namespace sha256_internal

void SHA256::init() {
  std::memcpy(m_h, kInitialHash, sizeof(m_h));
  m_tot_len = 0;
  m_len = 0;
}

// Sizes are 32-bit and wrap like the lengths they feed; see the class comment.
void SHA256::update(const unsigned char* message, uint32_t len) {
  const uint32_t room = kBlockSize - m_len;
  const uint32_t taken = len < room ? len : room;
  // An empty input may come as a null pointer, which memcpy must not see even for 0 bytes.
  if (taken > 0) std::memcpy(&m_block[m_len], message, taken);
  if (m_len + len < kBlockSize) {
    m_len += len;
    return;
  }

  // The buffer is full: compress it, then the whole blocks of the remaining
  // input where they lie, and keep the tail for later.
  const uint32_t rest = len - taken;
  const uint32_t whole = rest / kBlockSize;
  const unsigned char* blocks = message + taken;
  transform(m_block, 1);
  transform(blocks, whole);
  const uint32_t tail = rest % kBlockSize;
  std::memcpy(m_block, blocks + whole * kBlockSize, tail);
  m_len = tail;
  m_tot_len += (whole + 1) * kBlockSize;
}

void SHA256::final(unsigned char* digest) {
  // 0x80 and the 8-byte length need 9 bytes after the pending ones: up to 55
  // pending bytes fit in one block, 56 or more push the length into a second.
  const uint32_t block_nb = (m_len % kBlockSize) > kBlockSize - 9 ? 2 : 1;
  const uint32_t bit_len = (m_tot_len + m_len) * 8;  // wraps at 2^32 bits by design
  const uint32_t padded_len = block_nb * kBlockSize;

  std::memset(&m_block[m_len], 0, padded_len - m_len);
  m_block[m_len] = 0x80;
  // The upper half of the standard 64-bit length, just before this, stays zero.
  StoreBigEndian32(&m_block[padded_len - 4], bit_len);
  transform(m_block, block_nb);

  for (int i = 0; i < 8; ++i) StoreBigEndian32(digest + 4 * i, m_h[i]);
}

void SHA256::transform(const unsigned char* message, uint32_t block_nb) {
  if (block_nb == 0) return;
  SelectedCompress()(m_h, message, block_nb);
}

std::string encryptSha256(std::string input) {
  unsigned char digest[SHA256::kDigestSize] = {};
  SHA256 ctx{};
  ctx.init();
  ctx.update(reinterpret_cast<const unsigned char*>(input.data()),
             static_cast<uint32_t>(input.size()));
  ctx.final(digest);

  // Same text as printing each byte with "%02x".
  static const char kHexDigits[] = "0123456789abcdef";
  char text[2 * SHA256::kDigestSize + 1];
  for (uint32_t i = 0; i < SHA256::kDigestSize; ++i) {
    text[2 * i] = kHexDigits[digest[i] >> 4];
    text[2 * i + 1] = kHexDigits[digest[i] & 0x0f];
  }
  text[2 * SHA256::kDigestSize] = '\0';
  return std::string(text, 2 * SHA256::kDigestSize);
}
