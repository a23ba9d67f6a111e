// addr_parse_fuzz.cpp - libFuzzer target for address text: tarn_addr_parse
// against the slow reference parser, and tarn_addr_format against the
// reference printer.
//
// Input: any bytes.  Two things are made of them:
//   1. the text: the bytes up to the first NUL, copied to the very end of a
//      heap block with its NUL, so a read past the terminator is an
//      AddressSanitizer report;
//   2. a record: bit 0 of the first byte picks the family (0 IPv4, 1 IPv6),
//      the next 16 bytes (zero-padded) are the address bytes, so every
//      address value reaches the printer, not only those that parse.
//
// Properties:
//   - the parser accepts exactly the texts the reference accepts, with the
//     same family and bytes; it returns nothing but TARN_OK or
//     TARN_ERR_PARSE, marks a failure TARN_AF_UNSPEC, and leaves the 12
//     unused bytes of an IPv4 result as they were;
//   - the text of any address is the reference's (RFC 5952 for IPv6), fits
//     in TARN_ADDR_STRLEN, and parses back to the same address: formatting
//     a parsed address gives the canonical form of the input;
//   - the classification of any address is the reference's, and only an
//     IPv4-mapped address unwraps to IPv4, to its last four bytes.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <optional>
#include <string>

#include "fuzz_check.h"
#include "pytarn.h"
#include "support/ref_addr.h"

namespace {

constexpr uint8_t kFill = 0xA5;  // what an out-parameter holds before a call

size_t sig_len(tarn_family_t family) { return family == TARN_AF_INET ? 4 : 16; }

ref::Addr to_ref(const tarn_addr_t& a) {
  ref::Addr r;
  r.family = a.family;
  memcpy(r.bytes, a.addr.v6, sig_len(a.family));
  return r;
}

bool same_value(const tarn_addr_t& a, const ref::Addr& r) {
  return a.family == r.family && memcmp(a.addr.v6, r.bytes, sig_len(a.family)) == 0;
}

// Formats `a`, which must succeed, and checks the text against the
// reference printer and the parser.
std::string format_checked(const tarn_addr_t& a) {
  char buf[TARN_ADDR_STRLEN];
  memset(buf, kFill, sizeof buf);
  const tarn_err_t rc = tarn_addr_format(&a, buf, sizeof buf);
  FUZZ_REQUIRE(rc == TARN_OK, "tarn_addr_format(%s): %s", fuzz_text(a).c_str(), tarn_strerror(rc));
  FUZZ_REQUIRE(memchr(buf, '\0', sizeof buf) != nullptr, "tarn_addr_format(%s): no NUL in %d bytes",
               fuzz_text(a).c_str(), TARN_ADDR_STRLEN);
  const std::string text = buf;
  const std::string want = ref::addr_format(to_ref(a));
  FUZZ_REQUIRE(text == want, "tarn_addr_format(%s): \"%s\", reference \"%s\"", fuzz_text(a).c_str(),
               text.c_str(), want.c_str());

  tarn_addr_t back;
  memset(&back, kFill, sizeof back);
  FUZZ_REQUIRE(tarn_addr_parse(buf, &back) == TARN_OK && same_value(back, to_ref(a)),
               "tarn_addr_parse(\"%s\"): does not give back %s", buf, fuzz_text(a).c_str());
  return text;
}

void check_parse(const uint8_t* data, size_t size) {
  const size_t n = strnlen(reinterpret_cast<const char*>(data), size);
  char* text = static_cast<char*>(malloc(n + 1));
  if (text == nullptr) return;
  memcpy(text, data, n);
  text[n] = '\0';
  const std::string hex = fuzz_hex(text, n);

  tarn_addr_t got;
  memset(&got, kFill, sizeof got);
  const tarn_err_t rc = tarn_addr_parse(text, &got);
  const std::optional<ref::Addr> want = ref::addr_parse(std::string(text, n));
  free(text);

  FUZZ_REQUIRE(rc == TARN_OK || rc == TARN_ERR_PARSE, "tarn_addr_parse(hex %s): code %d",
               hex.c_str(), rc);
  FUZZ_REQUIRE((rc == TARN_OK) == want.has_value(), "tarn_addr_parse(hex %s): %s, reference %s",
               hex.c_str(), tarn_strerror(rc), want ? "accepts" : "refuses");
  if (rc != TARN_OK) {
    FUZZ_REQUIRE(got.family == TARN_AF_UNSPEC, "tarn_addr_parse(hex %s): failure left family %u",
                 hex.c_str(), got.family);
    return;
  }
  FUZZ_REQUIRE(same_value(got, *want), "tarn_addr_parse(hex %s): %s, reference %s", hex.c_str(),
               fuzz_text(got).c_str(), fuzz_hex(want->bytes, sig_len(want->family)).c_str());
  if (got.family == TARN_AF_INET) {
    for (size_t i = 4; i < 16; i++)
      FUZZ_REQUIRE(got.addr.v6[i] == kFill, "tarn_addr_parse(hex %s): wrote unused byte %zu",
                   hex.c_str(), i);
  }
  format_checked(got);
}

void check_value(const uint8_t* data, size_t size) {
  tarn_addr_t a;
  memset(&a, 0, sizeof a);
  a.family = size > 0 && (data[0] & 1) ? TARN_AF_INET6 : TARN_AF_INET;
  if (size > 1) memcpy(a.addr.v6, data + 1, size - 1 < 16 ? size - 1 : 16);
  format_checked(a);

  tarn_class_t cls = 0;
  FUZZ_REQUIRE(tarn_addr_classify(&a, &cls) == TARN_OK, "tarn_addr_classify(%s): failed",
               fuzz_text(a).c_str());
  const tarn_class_t want_cls = ref::addr_classify(to_ref(a));
  FUZZ_REQUIRE(cls == want_cls, "tarn_addr_classify(%s): 0x%x, reference 0x%x",
               fuzz_text(a).c_str(), cls, want_cls);

  static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  const bool mapped = a.family == TARN_AF_INET6 && memcmp(a.addr.v6, kMapped, 12) == 0;
  tarn_addr_t v4;
  memset(&v4, kFill, sizeof v4);
  const tarn_err_t rc = tarn_addr_to_v4(&a, &v4);
  FUZZ_REQUIRE(rc == (mapped ? TARN_OK : TARN_ERR_FAMILY), "tarn_addr_to_v4(%s): %s",
               fuzz_text(a).c_str(), tarn_strerror(rc));
  // Only the family and 4 bytes are written, and only on success.
  tarn_addr_t want_v4;
  memset(&want_v4, kFill, sizeof want_v4);
  if (mapped) {
    want_v4.family = TARN_AF_INET;
    memcpy(want_v4.addr.v4, a.addr.v6 + 12, 4);
  }
  FUZZ_REQUIRE(memcmp(&v4, &want_v4, sizeof v4) == 0, "tarn_addr_to_v4(%s): wrote %s, want %s",
               fuzz_text(a).c_str(), fuzz_hex(&v4, sizeof v4).c_str(),
               fuzz_hex(&want_v4, sizeof want_v4).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_parse(data, size);
  check_value(data, size);
  return 0;
}
