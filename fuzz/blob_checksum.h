// blob_checksum.h - the index blob's checksum for the fuzz target and the
// blob tests: XXH64 with seed 0 over the payload, written out once more from
// xxHash as its reference defines it (independently of the core's), so that an edited
// or fuzzed blob can be given a matching checksum and reach the checks
// behind it.
#ifndef TARN_FUZZ_BLOB_CHECKSUM_H
#define TARN_FUZZ_BLOB_CHECKSUM_H

#include <stddef.h>
#include <stdint.h>

// The core blob header (versions 2 to 4): its length, where the version
// and the checksum sit in it; the version the serialiser writes, and the
// older one of the same layout that the loader still reads.
constexpr size_t kBlobHeaderLen = 108;
constexpr size_t kBlobVersionAt = 8;
constexpr size_t kBlobChecksumAt = 100;
constexpr uint32_t kBlobVersion = 4;
constexpr uint32_t kBlobSameLayoutVersion = 3;

inline uint64_t fuzz_xxh64(const uint8_t* data, size_t n) {
  constexpr uint64_t P1 = 0x9E3779B185EBCA87u, P2 = 0xC2B2AE3D27D4EB4Fu, P3 = 0x165667B19E3779F9u,
                     P4 = 0x85EBCA77C2B2AE63u, P5 = 0x27D4EB2F165667C5u;
  auto rotl = [](uint64_t x, int r) { return (x << r) | (x >> (64 - r)); };
  auto word = [&](size_t at, int width) {
    uint64_t v = 0;
    for (int i = width - 1; i >= 0; i--) v = (v << 8) | data[at + i];
    return v;
  };
  auto round = [&](uint64_t acc, uint64_t in) { return rotl(acc + in * P2, 31) * P1; };
  size_t at = 0;
  uint64_t h = P5;
  if (n >= 32) {
    uint64_t v[4] = {P1 + P2, P2, 0, 0 - P1};
    for (; at + 32 <= n; at += 32)
      for (int i = 0; i < 4; i++) v[i] = round(v[i], word(at + 8 * i, 8));
    h = rotl(v[0], 1) + rotl(v[1], 7) + rotl(v[2], 12) + rotl(v[3], 18);
    for (uint64_t lane : v) h = (h ^ round(0, lane)) * P1 + P4;
  }
  h += n;
  for (; at + 8 <= n; at += 8) h = rotl(h ^ round(0, word(at, 8)), 27) * P1 + P4;
  if (at + 4 <= n) {
    h = rotl(h ^ (word(at, 4) * P1), 23) * P2 + P3;
    at += 4;
  }
  for (; at < n; at++) h = rotl(h ^ (data[at] * P5), 11) * P1;
  h = (h ^ (h >> 33)) * P2;
  h = (h ^ (h >> 29)) * P3;
  return h ^ (h >> 32);
}

// Gives blob[0..len) the checksum of its payload; shorter blobs are left as
// they are.
inline void fuzz_fix_checksum(uint8_t* blob, size_t len) {
  if (len < kBlobHeaderLen) return;
  uint64_t sum = fuzz_xxh64(blob + kBlobHeaderLen, len - kBlobHeaderLen);
  for (int i = 0; i < 8; i++, sum >>= 8) blob[kBlobChecksumAt + i] = static_cast<uint8_t>(sum);
}

#endif  // TARN_FUZZ_BLOB_CHECKSUM_H
