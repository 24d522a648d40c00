// libFuzzer target: arbitrary bytes as a snapshot file (form detection, CRC check or unsealing,
// decoding, validation, building the collection). Must never crash, hang or allocate beyond
// what the input's size justifies; run by `make test-fuzz`.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/snapshot_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kestrine::fuzzing::check_snapshot_input({data, size});
  return 0;
}
