// tarn_error.cpp - the text of the result codes.
//
// Every string is a literal: static storage, safe to return to any thread,
// never freed.  The wording says what went wrong in the caller's terms, so a
// diagnostic can print it after the input that caused it.
#include "pytarn.h"

const char *tarn_strerror(tarn_err_t err) {
  switch (err) {
    case TARN_OK:
      return "success";
    case TARN_ERR_INVAL:
      return "invalid argument";
    case TARN_ERR_PARSE:
      return "not an address or prefix";
    case TARN_ERR_PFXLEN:
      return "prefix length out of range";
    case TARN_ERR_HOSTBITS:
      return "host bits set";
    case TARN_ERR_NOMEM:
      return "out of memory";
    case TARN_ERR_FAMILY:
      return "address family mismatch";
    case TARN_ERR_OVERFLOW:
      return "result outside the address space";
    case TARN_ERR_DONE:
      return "iteration finished";
    default:
      return "unknown error";
  }
}
