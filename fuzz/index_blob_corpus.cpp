// index_blob_corpus.cpp - writes the seed corpus of index_load_fuzz: real
// blobs of small random tables of both families, whose lookup structures
// have direct tables of 0, 6 and 12 bits, and per family one blob without
// the lookup structure (as the serialiser writes an index too large for
// it), whose lookups walk the LC-trie: a shape the fuzzer would hardly reach
// by mutation, since it takes five header fields and a cut in agreement.
//
// Usage: index_blob_corpus DIR   (DIR must exist; one file per blob)
#include <stdint.h>
#include <stdio.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "blob_checksum.h"
#include "pytarn.h"

namespace {

// `count` canonical prefixes clustered around a few random networks, with
// duplicates, /0 and host routes among them.
std::vector<tarn_prefix_t> random_table(std::mt19937_64& rng, tarn_family_t family, size_t count) {
  const unsigned bits = family == TARN_AF_INET ? 32 : 128;
  const size_t len = bits / 8;
  std::vector<tarn_prefix_t> bases(4);
  for (tarn_prefix_t& b : bases) {
    b = {};
    b.addr.family = family;
    for (size_t i = 0; i < len; i++) b.addr.addr.v6[i] = static_cast<uint8_t>(rng());
  }
  std::vector<tarn_prefix_t> out;
  while (out.size() < count) {
    if (!out.empty() && rng() % 10 == 0) {
      out.push_back(out[rng() % out.size()]);
      continue;
    }
    tarn_prefix_t p = bases[rng() % bases.size()];
    const unsigned shared = static_cast<unsigned>(rng() % (bits + 1));
    for (unsigned b = shared; b < bits; b++)  // random bits after the shared ones
      if (rng() % 2) p.addr.addr.v6[b / 8] ^= static_cast<uint8_t>(0x80u >> (b % 8));
    p.pfxlen = static_cast<uint8_t>(rng() % 8 == 0 ? (rng() % 2) * bits : rng() % (bits + 1));
    for (unsigned b = p.pfxlen; b < bits; b++)  // clear the host bits
      p.addr.addr.v6[b / 8] &= static_cast<uint8_t>(~(0x80u >> (b % 8)));
    out.push_back(p);
  }
  return out;
}

// The header fields (versions 2 and 3) that describe the lookup structure, and the
// five section lengths (its two sections last).
constexpr size_t kLookupAt = 20, kWordCountAt = 48, kDirectBitsAt = 56, kSectionLenAt = 60;
constexpr size_t kDirectSection = 3, kWordsSection = 4;

uint64_t get_le64(const std::vector<unsigned char>& b, size_t at) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; i--) v = (v << 8) | b[at + static_cast<size_t>(i)];
  return v;
}
void put_le(std::vector<unsigned char>& b, size_t at, int width, uint64_t v) {
  for (int i = 0; i < width; i++)
    b[at + static_cast<size_t>(i)] = static_cast<unsigned char>(v >> (8 * i));
}

// The blob with its lookup structure dropped: the flag, its word count,
// direct bits and section lengths zero, the two sections cut off, the
// checksum recomputed.
std::vector<unsigned char> without_lookup(std::vector<unsigned char> b) {
  const uint64_t cut = get_le64(b, kSectionLenAt + 8 * kDirectSection) +
                       get_le64(b, kSectionLenAt + 8 * kWordsSection);
  b.resize(b.size() - static_cast<size_t>(cut));
  put_le(b, kLookupAt, 4, 0);
  put_le(b, kWordCountAt, 8, 0);
  put_le(b, kDirectBitsAt, 4, 0);
  put_le(b, kSectionLenAt + 8 * kDirectSection, 8, 0);
  put_le(b, kSectionLenAt + 8 * kWordsSection, 8, 0);
  fuzz_fix_checksum(b.data(), b.size());
  return b;
}

bool write_file(const std::string& path, const std::vector<unsigned char>& blob) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = fwrite(blob.data(), 1, blob.size(), f) == blob.size();
  return fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  std::mt19937_64 rng(1);
  int written = 0;
  for (tarn_family_t family : {TARN_AF_INET, TARN_AF_INET6}) {
    for (size_t count : {1, 2, 3, 8, 40, 300, 5000}) {
      const std::vector<tarn_prefix_t> table = random_table(rng, family, count);
      tarn_index_t* index = nullptr;
      if (tarn_index_create(table.data(), table.size(), &index) != TARN_OK) return 1;
      size_t need = 0, len = 0;
      tarn_index_serialize(index, nullptr, 0, &need);
      std::vector<unsigned char> blob(need);
      const bool ok = tarn_index_serialize(index, blob.data(), need, &len) == TARN_OK;
      tarn_index_destroy(index);
      if (!ok) {
        fprintf(stderr, "%s: cannot serialise a table of %zu\n", argv[0], count);
        return 1;
      }
      const std::string path =
          std::string(argv[1]) + "/v" + std::to_string(family) + "-" + std::to_string(count);
      std::vector<std::pair<std::string, std::vector<unsigned char>>> files = {
          {path + ".blob", blob}};
      if (count == 300) files.push_back({path + "-trie-only.blob", without_lookup(blob)});
      for (const auto& [name, bytes] : files) {
        if (!write_file(name, bytes)) {
          fprintf(stderr, "%s: cannot write %s\n", argv[0], name.c_str());
          return 1;
        }
        written++;
      }
    }
  }
  printf("%d seed blobs written to %s\n", written, argv[1]);
  return 0;
}
