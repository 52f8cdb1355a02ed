// SHA-256 (FIPS 180-4) digest engine. Passwords are never stored or compared
// in clear: sign-up and sign-in turn them into encryptSha256() text, which is
// what kv_account.password holds and what sign-in compares against.

#ifndef KORVANE_ACCOUNT_SHA256_H_
#define KORVANE_ACCOUNT_SHA256_H_

#include <cstdint>
#include <string>

// Incremental SHA-256. An object hashes exactly one message:
//
//   SHA256 ctx{};       // zeroed
//   ctx.init();
//   ctx.update(p, n);   // any number of times, any sizes
//   ctx.final(digest);  // once; the object is discarded afterwards
//
// The message bit length is kept in 32 bits, so the digest is the standard
// SHA-256 digest only for messages shorter than 2^29 bytes (512 MiB); longer
// messages record only the low 32 bits of their bit length.
//
// The engine never allocates. Whole 64-byte blocks of the input are compressed
// where they lie; only a partial head and tail pass through the block buffer.
// Objects share nothing but the read-only round constants, so any number of
// digests may run concurrently.
class SHA256 {
 public:
  static constexpr uint32_t kBlockSize = 64;
  static constexpr uint32_t kDigestSize = 32;

  // The round constants K0..K63.
  static const uint32_t sha256_k[64];

  // Sets the hash state to the initial hash value, with nothing hashed yet.
  // REQUIRES: the object was zeroed first.
  void init();

  // Feeds len bytes starting at message.
  // REQUIRES: init() was called and final() was not; message points to len
  // readable bytes.
  void update(const unsigned char* message, uint32_t len);

  // Pads the message, compresses the last one or two blocks and writes the
  // digest: H0..H7, each word big-endian.
  // REQUIRES: digest points to kDigestSize writable bytes; called once.
  void final(unsigned char* digest);

  // Compresses block_nb consecutive 64-byte blocks at message into the hash
  // state, in order and in place. block_nb == 0 does nothing. Leaves the
  // lengths and the block buffer alone.
  void transform(const unsigned char* message, uint32_t block_nb);

 private:
  uint32_t m_tot_len;                     // bytes compressed; a multiple of 64
  uint32_t m_len;                         // bytes pending in m_block; 0..63 between calls
  unsigned char m_block[2 * kBlockSize];  // pending bytes first; padding may spill into block 2
  uint32_t m_h[8];                        // running hash value H0..H7
};

// Returns the SHA-256 digest of all of input's bytes, NULs included, as 64
// lowercase hex characters. Never fails; the empty text yields the digest of
// the empty message.
std::string encryptSha256(std::string input);

// The two compression functions behind SHA256::transform. It picks one once
// per process from CPUID; tests and benchmarks call them directly to exercise
// each regardless of the CPU.
namespace sha256_internal {

// Whether the CPU offers the x86 SHA extensions together with the SSSE3 and
// SSE4.1 instructions the accelerated path also uses. Always false off x86.
bool cpu_has_sha();

// Compresses block_nb 64-byte blocks at data into h, in order. Plain C++.
void transform_portable(uint32_t h[8], const unsigned char* data, uint32_t block_nb);

// Same result as transform_portable, computed with the SHA extensions.
// REQUIRES: cpu_has_sha(). Builds for other architectures run the portable
// code here.
void transform_shani(uint32_t h[8], const unsigned char* data, uint32_t block_nb);

}  // namespace sha256_internal

#endif  // KORVANE_ACCOUNT_SHA256_H_
