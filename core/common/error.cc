#include "core/common/error.h"

#include <cstring>

namespace kestrine {

Error Error::from_errno(int code) {
  char buffer[256];
  // The GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return io(std::string(text) + " (os error " + std::to_string(code) + ")");
}

}  // namespace kestrine
