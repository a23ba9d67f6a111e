// bench_common.h - what every core benchmark prints about the machine and
// how it reads the clock.
#ifndef TARN_BENCH_COMMON_H
#define TARN_BENCH_COMMON_H

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

#endif  // TARN_BENCH_COMMON_H
