// libFuzzer target: a control block and a snapshot file. A file that loads is used as a program
// would use it: look-ups, searches in every mode, inserts, deletes, a rebuild (with product
// quantization as stored or as the control block asks), memory estimates and saving again
// (snapshot_use_input.h). Must never crash, hang or allocate beyond what the input justifies.
// Run by `make test-fuzz`.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/snapshot_use_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kestrine::fuzzing::check_snapshot_use({data, size});
  return 0;
}
