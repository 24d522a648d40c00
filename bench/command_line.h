// The command line shared by the graph benchmarks: "--name value" options read one at a time,
// and the quick mode that KESTRINE_BENCH_QUICK=1 (or --quick) selects.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kestrine::bench {

// True when KESTRINE_BENCH_QUICK is set to anything but "0".
inline bool quick_from_environment() {
  const char* quick = std::getenv("KESTRINE_BENCH_QUICK");
  return quick != nullptr && std::strcmp(quick, "0") != 0;
}

// The value after option argv[i], moving i onto it; exits with status 2 when it is missing.
inline std::string option_value(int argc, char** argv, int& i) {
  if (i + 1 >= argc) {
    std::fprintf(stderr, "%s needs a value\n", argv[i]);
    std::exit(2);
  }
  return argv[++i];
}

}  // namespace kestrine::bench
