// fuzz_check.h - how the differential fuzz targets report a broken property.
//
// A failed check prints the call that broke it and the records involved,
// then aborts: libFuzzer treats the abort as a crash and saves the input,
// so the report, the reproducer file and the sanitizers' own findings all
// reach the same place.  The message names the core call first
// ("tarn_bulk_sort: ..."), which is what a report of the finding quotes.
#ifndef TARN_FUZZ_CHECK_H
#define TARN_FUZZ_CHECK_H

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "pytarn.h"

[[noreturn]] __attribute__((format(printf, 1, 2))) inline void fuzz_fail(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  fputs("\n*** fuzz check failed: ", stderr);
  vfprintf(stderr, fmt, args);
  fputs("\n", stderr);
  va_end(args);
  abort();
}

// FUZZ_REQUIRE(condition, "tarn_call: what broke (%s)", details...)
#define FUZZ_REQUIRE(cond, ...) ((cond) ? (void)0 : fuzz_fail(__VA_ARGS__))

// Every byte of a record, family and padding included, in hex: the unused
// bytes of an IPv4 record and odd family values matter in these reports.
inline std::string fuzz_hex(const void* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; i++) {
    const uint8_t b = static_cast<const uint8_t*>(p)[i];
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

// "family 4 0a000000/8": the family field and the significant bytes, for
// messages about values rather than bytes.
inline std::string fuzz_text(const tarn_addr_t& a) {
  const size_t n = a.family == TARN_AF_INET ? 4 : 16;
  return "family " + std::to_string(a.family) + " " + fuzz_hex(a.addr.v6, n);
}
inline std::string fuzz_text(const tarn_prefix_t& p) {
  return fuzz_text(p.addr) + "/" + std::to_string(p.pfxlen);
}

#endif  // TARN_FUZZ_CHECK_H
