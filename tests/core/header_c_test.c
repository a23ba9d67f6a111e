/*
 * Compiled as ISO C99 with -pedantic and no feature macros: the public
 * header must need neither a C++ compiler nor POSIX.  Also checks the parts
 * of the interface that only make sense from C: the version macros against
 * tarn_version(), and tarn_strerror's table.
 */
#include <stdio.h>
#include <string.h>

#include "pytarn.h"

static int failures = 0;

static void check(int ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "FAILED: %s\n", what);
    failures++;
  }
}

/* The address round trip: parse and print through the C declarations. */
static void test_round_trip(void) {
  tarn_addr_t addr;
  char buf[TARN_ADDR_STRLEN];
  check(tarn_addr_parse("2001:DB8::1", &addr) == TARN_OK, "parse");
  check(tarn_addr_format(&addr, buf, sizeof buf) == TARN_OK, "format");
  check(strcmp(buf, "2001:db8::1") == 0, "canonical text");
}

/* The macros and the linked library agree, and the string is the three
 * numbers (a pre-release suffix may follow them). */
static void test_version(void) {
  char want[64];
  char next;
  sprintf(want, "%d.%d.%d", TARN_VERSION_MAJOR, TARN_VERSION_MINOR, TARN_VERSION_PATCH);
  check(strcmp(tarn_version(), TARN_VERSION_STRING) == 0, "tarn_version() == TARN_VERSION_STRING");
  check(strncmp(TARN_VERSION_STRING, want, strlen(want)) == 0, "version string starts M.m.p");
  next = TARN_VERSION_STRING[strlen(want)];
  check(next < '0' || next > '9', "no digit runs on after PATCH");
}

/* Every code has its own text; anything else is "unknown error". */
static void test_strerror(void) {
  static const tarn_err_t known[] = {TARN_OK,         TARN_ERR_INVAL,    TARN_ERR_PARSE,
                                     TARN_ERR_PFXLEN, TARN_ERR_HOSTBITS, TARN_ERR_NOMEM,
                                     TARN_ERR_FAMILY, TARN_ERR_OVERFLOW, TARN_ERR_DONE};
  static const tarn_err_t unknown[] = {-1, 9, 100, INT32_MAX, INT32_MIN};
  const size_t n = sizeof known / sizeof known[0];
  size_t i, j;
  for (i = 0; i < n; i++) {
    const char *text = tarn_strerror(known[i]);
    check(text != NULL && text[0] != '\0', "known code has a text");
    check(text != NULL && strcmp(text, "unknown error") != 0, "known code is not unknown");
    check(text == tarn_strerror(known[i]), "the same static string every call");
    for (j = 0; j < i; j++) {
      check(strcmp(text, tarn_strerror(known[j])) != 0, "texts differ between codes");
    }
  }
  for (i = 0; i < sizeof unknown / sizeof unknown[0]; i++) {
    check(strcmp(tarn_strerror(unknown[i]), "unknown error") == 0, "unknown code");
  }
}

/* tarn_ssize_t holds every position and -1. */
static void test_ssize(void) {
  tarn_ssize_t none = -1;
  check(none < 0, "tarn_ssize_t is signed");
  check(sizeof(tarn_ssize_t) == sizeof(size_t), "tarn_ssize_t as wide as size_t");
}

int main(void) {
  test_round_trip();
  test_version();
  test_strerror();
  test_ssize();
  if (failures == 0) printf("header_c_test: all checks passed (version %s)\n", tarn_version());
  return failures == 0 ? 0 : 1;
}
