// libFuzzer entry over the engine's call interface. Anything the engine
// answered that it should have refused, or a real file it left unreadable,
// is a finding: abort so libFuzzer keeps the input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tests/btrengine/fuzz/driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string faults = btr::test::RunEngineInput(data, size);
    if (!faults.empty()) {
        std::fprintf(stderr, "engine fault:\n%s", faults.c_str());
        std::abort();
    }
    return 0;
}
