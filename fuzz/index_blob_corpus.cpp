// index_blob_corpus.cpp - writes the seed corpus of index_load_fuzz: real
// blobs of small random tables of both families, with and without the
// lookup shortcut (which needs 4096 prefixes or more).
//
// Usage: index_blob_corpus DIR   (DIR must exist; one file per blob)
#include <stdio.h>

#include <random>
#include <string>
#include <vector>

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
      const std::string path = std::string(argv[1]) + "/v" + std::to_string(family) + "-" +
                               std::to_string(count) + ".blob";
      FILE* f = ok ? fopen(path.c_str(), "wb") : nullptr;
      if (f == nullptr || fwrite(blob.data(), 1, len, f) != len || fclose(f) != 0) {
        fprintf(stderr, "%s: cannot write %s\n", argv[0], path.c_str());
        return 1;
      }
      written++;
    }
  }
  printf("%d seed blobs written to %s\n", written, argv[1]);
  return 0;
}
