/* Compiled as C: the public header must not need a C++ compiler. */
#include "pytarn.h"

#include <stdio.h>
#include <string.h>

int main(void) {
  tarn_addr_t addr;
  char buf[TARN_ADDR_STRLEN];
  if (tarn_addr_parse("2001:db8::1", &addr) != TARN_OK) return 1;
  if (tarn_addr_format(&addr, buf, sizeof buf) != TARN_OK) return 1;
  if (strcmp(buf, "2001:db8::1") != 0) return 1;
  puts(buf);
  return 0;
}
