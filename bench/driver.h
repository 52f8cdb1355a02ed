// How the benchmark driver reports progress and gives up: one line on standard error each.
#ifndef KORVANE_BENCH_DRIVER_H_
#define KORVANE_BENCH_DRIVER_H_

#include <cstdio>
#include <cstdlib>
#include <string>

namespace bench {

// Ends the run with a failure: the report is not written.
[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "korvane_bench: %s\n", what.c_str());
  std::exit(1);
}

inline void progress(const std::string& what) { std::fprintf(stderr, "  %s\n", what.c_str()); }

}  // namespace bench

#endif  // KORVANE_BENCH_DRIVER_H_
