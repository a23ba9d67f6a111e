// Tests of the index's set queries (count, listing, exact, covering,
// covered) against brute force over the input records, on random sets with
// duplicates, /0, host routes and the top of the space.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "pytarn.h"
#include "support/ref_bulk.h"
#include "support/ref_index.h"
#include "tarn_internal.h"

namespace {

using ref_bulk::Rng;
using ref_index::u128;

std::string str(const tarn_prefix_t& p) { return ref_bulk::to_string(p); }

bool same(const tarn_prefix_t& a, const tarn_prefix_t& b) { return str(a) == str(b); }

// p inside q: p no shorter and q contains p's address.
bool inside(const tarn_prefix_t& p, const tarn_prefix_t& q) {
  return p.pfxlen >= q.pfxlen && ref_index::contains(q, p.addr);
}

bool network_less(const tarn_prefix_t& a, const tarn_prefix_t& b) {
  const u128 x = ref_index::to_int(a.addr), y = ref_index::to_int(b.addr);
  return x != y ? x < y : a.pfxlen < b.pfxlen;
}

// A set clustered near `base` so that nesting and duplicates are common.
std::vector<tarn_prefix_t> random_set(Rng& rng, tarn_family_t family, size_t n) {
  const unsigned bits = ref_index::bits(family);
  const u128 top = bits == 32 ? u128{0xFFFFFFFFu} : ~u128{0};
  const u128 base = rng.chance(50) ? 0 : top - 1023;  // the bottom or the top of the space
  std::vector<tarn_prefix_t> v;
  for (size_t i = 0; i < n; i++) {
    const unsigned len = rng.chance(5) ? 0 : bits - static_cast<unsigned>(rng.below(11));
    v.push_back(ref_index::make_prefix(family, base + rng.below(1024), len));
    if (rng.chance(15)) v.push_back(v[rng.below(v.size())]);
  }
  return v;
}

std::vector<tarn_prefix_t> distinct_sorted(std::vector<tarn_prefix_t> v) {
  std::sort(v.begin(), v.end(), network_less);
  v.erase(std::unique(v.begin(), v.end(), same), v.end());
  return v;
}

TEST(IndexQuery, AgainstBruteForce) {
  const uint64_t seed = ref_bulk::test_seed();
  std::printf("seed %llu (set TARN_TEST_SEED to replay)\n", static_cast<unsigned long long>(seed));
  Rng rng(seed);
  for (tarn_family_t family : {TARN_AF_INET, TARN_AF_INET6}) {
    for (int round = 0; round < 64 && !::testing::Test::HasFailure(); round++) {
      SCOPED_TRACE("family " + std::to_string(family) + " round " + std::to_string(round));
      // Every 16th table is large enough for the lookup shortcut and for the
      // wide nodes packing chooses in a dense trie; the last one for covering
      // links that take huge pages.
      const size_t size = round == 63        ? 300000
                          : round % 16 == 15 ? 5000 + rng.below(15000)
                                             : 1 + rng.below(300);
      const std::vector<tarn_prefix_t> in = random_set(rng, family, size);
      const std::vector<tarn_prefix_t> want = distinct_sorted(in);
      tarn_index_t* index = nullptr;
      ASSERT_EQ(tarn_index_create(in.data(), in.size(), &index), TARN_OK);

      size_t distinct = 0, records = 0;
      ASSERT_EQ(tarn_index_count(index, &distinct, &records), TARN_OK);
      EXPECT_EQ(distinct, want.size());
      EXPECT_EQ(records, in.size());
      std::vector<tarn_prefix_t> held(distinct);
      std::vector<ssize_t> pos(distinct);
      ASSERT_EQ(tarn_index_prefixes(index, held.data(), pos.data(), distinct), TARN_OK);
      for (size_t i = 0; i < distinct; i++) {
        EXPECT_EQ(str(held[i]), str(want[i]));
        EXPECT_TRUE(same(in[static_cast<size_t>(pos[i])], held[i]));  // a record equal to it
      }
      // Exact match reports the same position as the listing; -1 for absent.
      std::vector<tarn_prefix_t> queries = want;
      queries.push_back(ref_index::make_prefix(family, 12345, ref_index::bits(family) - 3));
      std::vector<ssize_t> exact(queries.size());
      ASSERT_EQ(tarn_index_exact(index, queries.data(), queries.size(), exact.data()), TARN_OK);
      for (size_t i = 0; i < distinct; i++) EXPECT_EQ(exact[i], pos[i]);
      const bool extra_held = std::any_of(
          in.begin(), in.end(), [&](const tarn_prefix_t& p) { return same(p, queries.back()); });
      EXPECT_EQ(exact.back() == -1, !extra_held);

      for (int q = 0; q < 40; q++) {
        const tarn_prefix_t query = q % 2
                                        ? want[rng.below(want.size())]
                                        : random_set(rng, family, 1)[0];  // held and random queries
        SCOPED_TRACE(str(query));
        // Covering: the distinct inputs containing the query, longest first.
        std::vector<tarn_prefix_t> cov;
        for (const tarn_prefix_t& p : want)
          if (inside(query, p)) cov.push_back(p);
        std::sort(cov.begin(), cov.end(),
                  [](const auto& a, const auto& b) { return a.pfxlen > b.pfxlen; });
        tarn_prefix_t got[129];
        ssize_t got_pos[129];
        size_t n = 0;
        ASSERT_EQ(tarn_index_covering(index, &query, got, got_pos, 129, &n), TARN_OK);
        ASSERT_EQ(n, cov.size());
        for (size_t i = 0; i < n; i++) {
          EXPECT_EQ(str(got[i]), str(cov[i]));
          EXPECT_TRUE(same(in[static_cast<size_t>(got_pos[i])], got[i]));
          ssize_t listed = -2;  // the position every query reports for this run
          ASSERT_EQ(tarn_index_exact(index, &got[i], 1, &listed), TARN_OK);
          EXPECT_EQ(got_pos[i], listed);
        }
        if (query.pfxlen == ref_index::bits(family)) {  // agrees with the lookup
          ssize_t lpm = -2;
          ASSERT_EQ(tarn_index_lookup(index, &query.addr, 1, &lpm, nullptr), TARN_OK);
          EXPECT_EQ(lpm, n > 0 ? got_pos[0] : -1);
        }
        // Covered: the distinct inputs inside the query, in network order.
        std::vector<tarn_prefix_t> sub;
        for (const tarn_prefix_t& p : want)
          if (inside(p, query)) sub.push_back(p);
        size_t need = 0;
        EXPECT_EQ(tarn_index_covered(index, &query, nullptr, nullptr, 0, &need),
                  sub.empty() ? TARN_OK : TARN_ERR_INVAL);
        ASSERT_EQ(need, sub.size());
        std::vector<tarn_prefix_t> sp(need + 1);
        std::vector<ssize_t> spos(need + 1);
        ASSERT_EQ(tarn_index_covered(index, &query, sp.data(), spos.data(), need, &n), TARN_OK);
        ASSERT_EQ(n, sub.size());
        for (size_t i = 0; i < n; i++) EXPECT_EQ(str(sp[i]), str(sub[i]));
      }
      tarn_index_destroy(index);
    }
  }
}

// The batched covering query answers what one call per query does, through
// the links and, with the lookup structure dropped, through the trie walk;
// short room writes nothing and reports the room needed.
TEST(IndexQuery, CoveringManyAgreesWithOneByOne) {
  Rng rng(ref_bulk::test_seed());
  for (tarn_family_t family : {TARN_AF_INET, TARN_AF_INET6}) {
    for (bool walk : {false, true}) {
      SCOPED_TRACE("family " + std::to_string(family) + (walk ? " walk" : " links"));
      const std::vector<tarn_prefix_t> in = random_set(rng, family, 3000);
      tarn_index_t* index = nullptr;
      ASSERT_EQ(tarn_index_create(in.data(), in.size(), &index), TARN_OK);
      if (walk) tarn_lookup_release(index);
      // Held prefixes (with their chains) and random ones, across groups.
      std::vector<tarn_prefix_t> queries = random_set(rng, family, 400);
      queries.insert(queries.end(), in.begin(), in.begin() + 400);
      std::vector<std::string> want;
      size_t total = 0;
      for (const tarn_prefix_t& q : queries) {
        tarn_prefix_t got[129];
        ssize_t pos[129];
        size_t n = 0;
        ASSERT_EQ(tarn_index_covering(index, &q, got, pos, 129, &n), TARN_OK);
        for (size_t i = 0; i < n; i++) want.push_back(str(got[i]) + "@" + std::to_string(pos[i]));
        total += n;
      }
      const size_t most = ref_index::bits(family) + 1;
      for (size_t room : {queries.size() * most, total, total - 1}) {
        SCOPED_TRACE("room " + std::to_string(room));
        std::vector<tarn_prefix_t> got(room + 1);
        std::vector<ssize_t> pos(room + 1, -7);
        std::vector<size_t> counts(queries.size(), 99);
        size_t out_total = 0;
        const tarn_err_t rc =
            tarn_index_covering_many(index, queries.data(), queries.size(), got.data(), pos.data(),
                                     room, counts.data(), &out_total);
        EXPECT_EQ(out_total, total);
        if (room < total) {
          EXPECT_EQ(rc, TARN_ERR_INVAL);
          EXPECT_TRUE(std::all_of(pos.begin(), pos.end(), [](ssize_t p) { return p == -7; }));
          EXPECT_TRUE(std::all_of(counts.begin(), counts.end(), [](size_t c) { return c == 99; }));
          continue;
        }
        ASSERT_EQ(rc, TARN_OK);
        std::vector<std::string> have;
        size_t summed = 0;
        for (size_t c : counts) summed += c;
        ASSERT_EQ(summed, total);
        for (size_t i = 0; i < total; i++)
          have.push_back(str(got[i]) + "@" + std::to_string(pos[i]));
        EXPECT_EQ(have, want);
      }
      tarn_index_destroy(index);
    }
  }
  tarn_prefix_t bad = ref_index::make_prefix(TARN_AF_INET6, 1, 64);
  tarn_index_t* v4 = nullptr;
  const std::vector<tarn_prefix_t> one = {ref_index::make_prefix(TARN_AF_INET, 5, 8)};
  ASSERT_EQ(tarn_index_create(one.data(), one.size(), &v4), TARN_OK);
  size_t counts[1], total = 0;
  ssize_t pos[33];
  EXPECT_EQ(tarn_index_covering_many(v4, &bad, 1, nullptr, pos, 33, counts, &total),
            TARN_ERR_FAMILY);
  EXPECT_EQ(tarn_index_covering_many(v4, nullptr, 0, nullptr, nullptr, 0, nullptr, &total),
            TARN_OK);
  EXPECT_EQ(total, 0u);
  tarn_index_destroy(v4);
}

// The first covering queries build the index's links; threads that race to
// build them must all get the answers one thread gets.
TEST(IndexQuery, ConcurrentFirstCoveringQueries) {
  Rng rng(ref_bulk::test_seed());
  for (tarn_family_t family : {TARN_AF_INET, TARN_AF_INET6}) {
    const std::vector<tarn_prefix_t> in = random_set(rng, family, 20000);
    std::vector<tarn_prefix_t> queries = random_set(rng, family, 200);
    queries.insert(queries.end(), in.begin(), in.begin() + 200);
    auto answers = [&](tarn_index_t* index) {
      std::vector<std::string> out;
      for (const tarn_prefix_t& q : queries) {
        tarn_prefix_t got[129];
        ssize_t pos[129];
        size_t n = 0;
        if (tarn_index_covering(index, &q, got, pos, 129, &n) != TARN_OK) return out;
        std::string line;
        for (size_t i = 0; i < n; i++) line += str(got[i]) + "@" + std::to_string(pos[i]) + " ";
        out.push_back(line);
      }
      return out;
    };
    tarn_index_t* alone = nullptr;
    ASSERT_EQ(tarn_index_create(in.data(), in.size(), &alone), TARN_OK);
    const std::vector<std::string> want = answers(alone);
    ASSERT_EQ(want.size(), queries.size());
    tarn_index_destroy(alone);
    for (int round = 0; round < 8; round++) {
      tarn_index_t* index = nullptr;
      ASSERT_EQ(tarn_index_create(in.data(), in.size(), &index), TARN_OK);
      std::vector<std::vector<std::string>> got(4);
      std::vector<std::thread> threads;
      for (auto& g : got) threads.emplace_back([&, out = &g] { *out = answers(index); });
      for (auto& t : threads) t.join();
      for (const auto& g : got) EXPECT_EQ(g, want);
      tarn_index_destroy(index);
    }
  }
}

TEST(IndexQuery, ArgumentChecks) {
  const tarn_prefix_t p = ref_bulk::pfx("10.0.0.0/8");
  tarn_index_t* index = nullptr;
  ASSERT_EQ(tarn_index_create(&p, 1, &index), TARN_OK);
  struct Case {
    const char* name;
    tarn_prefix_t query;
    tarn_err_t want;
  };
  tarn_prefix_t unspec = p;
  unspec.addr.family = TARN_AF_UNSPEC;
  const Case cases[] = {
      {"family 0", unspec, TARN_ERR_INVAL},
      {"other family", ref_bulk::pfx("::/0"), TARN_ERR_FAMILY},
      {"length 33", ref_bulk::pfx("10.0.0.0/33"), TARN_ERR_PFXLEN},
      {"host bits", ref_bulk::pfx("10.0.0.1/8"), TARN_ERR_HOSTBITS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ssize_t pos[2] = {7, 7};
    tarn_prefix_t out[2];
    size_t n = 99;
    const tarn_prefix_t qs[2] = {p, c.query};
    EXPECT_EQ(tarn_index_exact(index, qs, 2, pos), c.want);  // the second query decides
    EXPECT_EQ(pos[0], 7);
    EXPECT_EQ(tarn_index_covering(index, &c.query, out, pos, 2, &n), c.want);
    EXPECT_EQ(tarn_index_covered(index, &c.query, out, pos, 2, &n), c.want);
    EXPECT_EQ(n, 99u);
  }
  size_t n = 99;
  ssize_t pos[1];
  tarn_prefix_t out[1];
  const tarn_prefix_t host = ref_bulk::pfx("10.1.2.3/32");
  EXPECT_EQ(tarn_index_covering(index, &host, out, pos, 0, &n), TARN_ERR_INVAL);  // too small
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(tarn_index_prefixes(index, out, pos, 0), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_index_exact(index, nullptr, 0, nullptr), TARN_OK);
  EXPECT_EQ(tarn_index_count(nullptr, &n, nullptr), TARN_ERR_INVAL);
  tarn_index_destroy(index);
}

}  // namespace
