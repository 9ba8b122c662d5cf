// Runs one arbitrary input against the engine's entry point: a sequence of
// calls whose operation codes, key numbers, buffers, lengths, position blocks
// and clients come from the bytes, over small real files in a directory of
// the driver's own. Shared by the libFuzzer target and the corpus replay.
//
// An input is a sequence of commands, each starting with a tag byte:
//   0xFF  id(16)                 the forged client id becomes `id`
//   0xFE  from(1) at(1) xor(1)   block 5 := block `from` with byte `at` xored
//   0xFD  from(1) to(1)          block `to` := block `from` (two blocks, one handle)
//   else  a call:
//         op(2) sel(1) keyNum(1) keyLen(1) lenFlags(1) cap(2) n(2) data(n) m(1) key(m)
//         sel: bits 0-2 block, 0x08 no block, bits 4-5 client (A, B, default,
//              forged), 0x40 no key buffer, 0x80 no data buffer
//         lenFlags: 0x01 no length, 0x02 the length passed is -cap
//         cap: the data buffer's size and the length passed; n bytes of it
//              come from the input, the rest is zero
//         Open (0) and create (14) name one of the driver's paths by the first
//         key byte instead: see kPathNames in driver.cpp (from 8 on, damaged
//         copies of fixed.btr).
// Blocks at the start of every input: 0 fixed.btr (client A), 1 fixed.btr
// (client B), 2 var.btr (A), 3 fixed.btr read-only (default client), 4 and 7
// zeroed, 5 forged from block 0, 6 stale (opened on var.btr and closed).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace btr::test {

// Restores the driver's files, opens the blocks, runs the input and stops
// every client it used. The statuses of its calls go to `statuses` when given.
// Returns what went wrong that the engine answered instead of refusing (a
// length back beyond the buffer, a real file no longer readable), or "".
std::string RunEngineInput(const uint8_t* data, size_t size, std::vector<int>* statuses = nullptr);

} // namespace btr::test
