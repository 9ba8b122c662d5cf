// Replays the checked-in bad inputs; the engine answers each without
// crashing and the file stays whole.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/btrengine/fuzz/driver.h"
#include "tests/btrengine/harness.h"

namespace btr::test {
namespace {

TEST(EngineCorpus, EveryBadInputIsAnsweredAndTheFileStaysWhole) {
    size_t replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(CORPUS_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        RunEngineInput(bytes.data(), bytes.size());
        ++replayed;
    }
    EXPECT_GE(replayed, 20u);
    Handle h(Client(50));
    ASSERT_EQ(h.Open(FuzzFilePath()), 0);
    int records = 0;
    for (int16_t st = h.Get(12); st == 0; st = h.Get(6)) ++records;
    EXPECT_GT(records, 0);
    uint8_t stat[4096];
    int32_t len = sizeof stat;
    uint8_t key[64];
    EXPECT_EQ(h.Call(15, stat, len, key, sizeof key, 0), 0);
    EXPECT_EQ(static_cast<int>(Get32(stat + 6)), records);
}

} // namespace
} // namespace btr::test
