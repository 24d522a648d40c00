// libFuzzer target: arbitrary bytes as an encryption key (parse_key). Must never
// crash or read out of bounds, whatever the bytes. Run by `make test-fuzz`.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tests/fuzz/text_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kestrine::fuzzing::check_key_input({reinterpret_cast<const char*>(data), size});
  return 0;
}
