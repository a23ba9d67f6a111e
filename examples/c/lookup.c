/*
 * lookup.c - longest-prefix match from C with libpytarn.
 *
 *   lookup TABLE [ADDRESSES]
 *
 * TABLE holds one prefix per line ("10.0.0.0/8", or a bare address for its
 * host route), optionally followed by white space and a label; ADDRESSES
 * (standard input when absent) one address per line.  Blank lines and text
 * after '#' are ignored in both.  For every address the program prints the
 * address, its longest matching prefix and that prefix's label, or "-" when
 * none matches: the output of `pytarn lookup`.  A bad line stops it with
 * FILE:LINE and the reason on standard error, and exit status 2.
 *
 * The core indexes one family at a time, so the table is split into an IPv4
 * and an IPv6 index, and each address goes to the index of its family.
 * Plain C99: only the C library and pytarn.h.
 */
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "pytarn.h"

/* One family's part of the table: the prefixes in file order, their labels
 * (each a heap copy, maybe empty), and the index built over them. */
struct table {
  tarn_prefix_t *prefixes;
  char **labels;
  size_t count, capacity;
  tarn_index_t *index;
};

/* What the program needs to report a bad line, then stop. */
static void die(const char *file, unsigned long line, const char *why, const char *text) {
  fprintf(stderr, "lookup: %s:%lu: %s: '%s'\n", file, line, why, text);
  exit(2);
}

static void out_of_memory(void) {
  fprintf(stderr, "lookup: %s\n", tarn_strerror(TARN_ERR_NOMEM));
  exit(2);
}

static char *copy_text(const char *s) {
  size_t n = strlen(s) + 1;
  char *p = malloc(n);
  if (p == NULL) out_of_memory();
  return memcpy(p, s, n);
}

/* Cuts the comment and the line end off `line` and trims white space
 * around it; returns the first character (an empty string for a blank
 * line) and points *rest at the text after the first field. */
static char *clean(char *line, char **rest) {
  char *end, *p;
  line[strcspn(line, "#\r\n")] = '\0';
  while (isspace((unsigned char)*line)) line++;
  end = line + strlen(line);
  while (end > line && isspace((unsigned char)end[-1])) *--end = '\0';
  p = line;
  while (*p != '\0' && !isspace((unsigned char)*p)) p++;
  if (*p != '\0') {
    *p++ = '\0';
    while (isspace((unsigned char)*p)) p++;
  }
  *rest = p;
  return line;
}

/* "a.b.c.d/len" as a prefix; a bare address is its host route. */
static tarn_err_t parse_entry(const char *text, tarn_prefix_t *out) {
  tarn_addr_t addr;
  tarn_err_t err;
  if (strchr(text, '/') != NULL) return tarn_prefix_parse(text, out);
  err = tarn_addr_parse(text, &addr);
  if (err != TARN_OK) return err;
  return tarn_prefix_from_host(&addr, addr.family == TARN_AF_INET ? 32 : 128, out);
}

static void table_add(struct table *t, const tarn_prefix_t *p, const char *label) {
  if (t->count == t->capacity) {
    size_t cap = t->capacity ? 2 * t->capacity : 64;
    tarn_prefix_t *prefixes = realloc(t->prefixes, cap * sizeof *prefixes);
    char **labels;
    if (prefixes == NULL) out_of_memory();
    t->prefixes = prefixes;
    labels = realloc(t->labels, cap * sizeof *labels);
    if (labels == NULL) out_of_memory();
    t->labels = labels;
    t->capacity = cap;
  }
  t->prefixes[t->count] = *p;
  t->labels[t->count] = copy_text(label);
  t->count++;
}

static FILE *open_input(const char *path) {
  FILE *f = strcmp(path, "-") == 0 ? stdin : fopen(path, "r");
  if (f == NULL) {
    fprintf(stderr, "lookup: cannot read %s\n", path);
    exit(2);
  }
  return f;
}

/* Reads TABLE into the two families' tables and builds their indexes. */
static void load_table(const char *path, struct table *v4, struct table *v6) {
  char buf[1024];
  unsigned long lineno = 0;
  FILE *f = open_input(path);
  while (fgets(buf, sizeof buf, f) != NULL) {
    char *label, *item;
    tarn_prefix_t p;
    tarn_err_t err;
    lineno++;
    item = clean(buf, &label);
    if (*item == '\0') continue;
    err = parse_entry(item, &p);
    if (err != TARN_OK) die(path, lineno, tarn_strerror(err), item);
    table_add(p.addr.family == TARN_AF_INET ? v4 : v6, &p, label);
  }
  if (f != stdin) fclose(f);
  if (v4->count > 0) {
    tarn_err_t err = tarn_index_create(v4->prefixes, v4->count, &v4->index);
    if (err != TARN_OK) die(path, 0, tarn_strerror(err), "IPv4 index");
  }
  if (v6->count > 0) {
    tarn_err_t err = tarn_index_create(v6->prefixes, v6->count, &v6->index);
    if (err != TARN_OK) die(path, 0, tarn_strerror(err), "IPv6 index");
  }
}

/* One address per call keeps the example short; a program with many
 * addresses passes them to tarn_index_lookup in batches. */
static void answer(const char *text, const tarn_addr_t *addr, const struct table *t) {
  tarn_ssize_t match = -1;
  char prefix[TARN_PREFIX_STRLEN];
  if (t->index != NULL && tarn_index_lookup(t->index, addr, 1, &match, NULL) != TARN_OK) {
    match = -1;
  }
  if (match < 0) {
    printf("%s -\n", text);
    return;
  }
  tarn_prefix_format(&t->prefixes[match], prefix, sizeof prefix);
  if (t->labels[match][0] != '\0') {
    printf("%s %s %s\n", text, prefix, t->labels[match]);
  } else {
    printf("%s %s\n", text, prefix);
  }
}

static void table_free(struct table *t) {
  size_t i;
  for (i = 0; i < t->count; i++) free(t->labels[i]);
  free(t->labels);
  free(t->prefixes);
  tarn_index_destroy(t->index);
}

int main(int argc, char **argv) {
  struct table v4 = {0}, v6 = {0};
  const char *path = argc > 2 ? argv[2] : "-";
  char buf[1024];
  unsigned long lineno = 0;
  FILE *in;
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: lookup TABLE [ADDRESSES]  (pytarn %s)\n", tarn_version());
    return 2;
  }
  load_table(argv[1], &v4, &v6);
  in = open_input(path);
  while (fgets(buf, sizeof buf, in) != NULL) {
    char *rest, *item;
    tarn_addr_t addr;
    tarn_err_t err;
    lineno++;
    item = clean(buf, &rest);
    if (*item == '\0') continue;
    err = tarn_addr_parse(item, &addr);
    if (err != TARN_OK || *rest != '\0') {
      die(path, lineno, tarn_strerror(err != TARN_OK ? err : TARN_ERR_PARSE), item);
    }
    answer(item, &addr, addr.family == TARN_AF_INET ? &v4 : &v6);
  }
  if (in != stdin) fclose(in);
  table_free(&v4);
  table_free(&v6);
  return 0;
}
