// libFuzzer entry over the engine's call interface.
#include <cstddef>
#include <cstdint>

#include "tests/btrengine/fuzz/driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    btr::test::RunEngineInput(data, size);
    return 0;
}
