// libFuzzer target: arbitrary bytes as the payload of one log record (a single entry's
// decoding, re-encoding and application). Run by `make test-fuzz`.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/wal_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kestrine::fuzzing::check_entry_input({data, size});
  return 0;
}
