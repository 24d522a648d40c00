// libFuzzer target: arbitrary bytes as a whole "wal.bin", opened as a database with and without
// a key (framing, checks, decryption, decoding, replay, cutting back, setting a tail aside).
// The input's first byte says whether plain records get their CRC mended (log_from_input).
// Must never crash, hang or allocate beyond what the input justifies. Run by `make test-fuzz`.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/wal_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kestrine::fuzzing::check_log_input(kestrine::fuzzing::log_from_input({data, size}));
  return 0;
}
