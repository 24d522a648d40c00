#include "core/common/os_random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace kestrine {

void fill_os_random(std::span<uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n = getrandom(out.data() + done, out.size() - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "kestrine: the operating system's random source failed\n");
      std::abort();
    }
    done += static_cast<size_t>(n);
  }
}

uint64_t os_random_u64() {
  uint8_t bytes[8];
  fill_os_random(bytes);
  uint64_t value = 0;
  for (uint8_t b : bytes) value = (value << 8) | b;
  return value;
}

}  // namespace kestrine
