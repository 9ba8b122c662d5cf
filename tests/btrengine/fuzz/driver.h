// Runs one arbitrary input against the engine: a sequence of calls with
// operation codes, key numbers, buffers and lengths taken from the bytes,
// over a real file and over zeroed and forged position blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace btr::test {

void RunEngineInput(const uint8_t* data, size_t size);
// The real file the calls work on; it must still open and read afterwards.
std::string FuzzFilePath();

} // namespace btr::test
