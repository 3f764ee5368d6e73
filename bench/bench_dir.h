// The scratch folder a benchmark works in: under `base` when given, else $TMPDIR or /tmp, so
// that a benchmark can be pointed at the disk it is meant to measure.
#ifndef VANTREL_BENCH_BENCH_DIR_H
#define VANTREL_BENCH_BENCH_DIR_H

#include <stdlib.h>

#include <string>

// A new private folder `name`_XXXXXX; empty when none can be made.
inline std::string MakeBenchDir(const char* base, const char* name) {
  if (!base || !*base) base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + name + "_XXXXXX";
  return mkdtemp(&pattern[0]) ? pattern : std::string();
}

#endif  // VANTREL_BENCH_BENCH_DIR_H
