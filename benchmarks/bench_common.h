// bench_common.h - what every core benchmark prints about the machine, how
// it reads the clock, and the generator its synthetic inputs come from.
#ifndef TARN_BENCH_COMMON_H
#define TARN_BENCH_COMMON_H

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <string>

// The processor model from /proc/cpuinfo, so a figure can be told apart from
// one taken elsewhere.
inline std::string cpu_model() {
  FILE* f = fopen("/proc/cpuinfo", "r");
  if (f == nullptr) return "unknown";
  char line[512];
  std::string model = "unknown";
  while (fgets(line, sizeof line, f) != nullptr) {
    if (strncmp(line, "model name", 10) == 0) {
      const char* colon = strchr(line, ':');
      if (colon != nullptr) {
        model = colon + 2;
        while (!model.empty() && (model.back() == '\n' || model.back() == ' ')) model.pop_back();
      }
      break;
    }
  }
  fclose(f);
  return model;
}

// CPU time of the calling thread: on a shared machine, time spent waiting
// for a core does not count against either side of a comparison.
inline double thread_cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// xorshift64*: the input only has to look like a routing table (or whatever the
// benchmark shapes from it), the same on every run.
struct Rng {
  uint64_t s;
  uint64_t next() {
    s ^= s >> 12;
    s ^= s << 25;
    s ^= s >> 27;
    return s * 0x2545F4914F6CDD1Dull;
  }
};

#endif  // TARN_BENCH_COMMON_H
