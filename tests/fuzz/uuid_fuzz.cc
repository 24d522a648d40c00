// libFuzzer target: arbitrary bytes as a document id (parse_uuid). Must never
// crash or read out of bounds, whatever the bytes. Run by `make test-fuzz`.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tests/fuzz/text_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kestrine::fuzzing::check_uuid_input({reinterpret_cast<const char*>(data), size});
  return 0;
}
