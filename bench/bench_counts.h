// What a piece of work costs the system besides its time, for the benchmarks to print beside
// it: minor page faults (getrusage) and system calls (strace -c -f, where strace is installed).
// Both show the mechanism, so a ratio can be read on a machine where faults or calls cost more.
#ifndef VANTREL_BENCH_BENCH_COUNTS_H
#define VANTREL_BENCH_BENCH_COUNTS_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>

// Minor page faults so far of this process (RUSAGE_SELF) or of its waited-for children
// (RUSAGE_CHILDREN).
inline long MinorFaults(int who) {
  struct rusage usage;
  return getrusage(who, &usage) == 0 ? usage.ru_minflt : 0;
}

// This program's own file, for counting the calls of a piece of it run in a process of its own.
inline std::string SelfPath() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return std::string();
  path[n] = 0;
  return path;
}

// The system calls that `command` (a shell command line) makes, its child processes included,
// as `strace -f -c` counts them; -1 when strace is missing or the command fails. The command is
// not timed: strace slows every call.
inline long CountSystemCalls(const std::string& command, const std::string& scratch) {
  const std::string report = scratch + "/strace.txt";
  const std::string line =
      "strace -f -c -o '" + report + "' " + command + " >/dev/null 2>&1";
  if (system(line.c_str()) != 0) return -1;
  FILE* f = fopen(report.c_str(), "r");
  if (!f) return -1;
  long calls = -1;
  char text[512];
  // The summary's last line: "100.00  seconds  usecs/call  calls  [errors]  total".
  while (fgets(text, sizeof text, f)) {
    if (!strstr(text, " total")) continue;
    double percent, seconds;
    long perCall, count;
    if (sscanf(text, "%lf %lf %ld %ld", &percent, &seconds, &perCall, &count) == 4) calls = count;
  }
  fclose(f);
  unlink(report.c_str());
  return calls;
}

// "12.3 faults  45.6 calls" per unit (a MiB, a file), or "n/a" for calls not counted.
inline std::string PerUnit(long faults, long calls, double units) {
  char text[96];
  if (calls < 0)
    snprintf(text, sizeof text, "%8.1f faults      n/a calls", faults / units);
  else
    snprintf(text, sizeof text, "%8.1f faults %8.1f calls", faults / units, calls / units);
  return text;
}

#endif  // VANTREL_BENCH_BENCH_COUNTS_H
