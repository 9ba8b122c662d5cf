// Replays every checked-in bad input through the fuzzer's driver: the engine
// answers each without crashing, leaves nothing open or locked behind the
// reset of the input's clients, and the real files read back whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/btrengine/entry.h"
#include "tests/btrengine/fuzz/driver.h"

namespace btr::test {
namespace {

std::vector<std::string> CorpusFiles() {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(BTRKIT_ENGINE_CORPUS, ec))
        if (e.is_regular_file()) files.push_back(e.path().filename().string());
    std::sort(files.begin(), files.end());
    return files;
}

class EngineCorpus : public testing::TestWithParam<std::string> {};

// Every input starts from the same files and blocks and its clients are
// stopped at its end, so nothing of one run may leak into the next: the same
// input gets the same answers the second time.
TEST_P(EngineCorpus, IsAnsweredTheSameTwiceAndLeavesTheFilesWhole) {
    std::ifstream in(std::filesystem::path(BTRKIT_ENGINE_CORPUS) / GetParam(), std::ios::binary);
    const std::vector<uint8_t> input{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::vector<int> first, second;
    EXPECT_EQ(RunEngineInput(input.data(), input.size(), &first), "");
    EXPECT_FALSE(first.empty()) << "the input makes no call";
    EXPECT_EQ(RunEngineInput(input.data(), input.size(), &second), "");
    EXPECT_EQ(first, second);
    // The engine still answers, and the reset left no transaction behind.
    uint8_t version[15];
    int32_t len = sizeof version;
    EXPECT_EQ(BTRCALL(26, nullptr, version, &len, nullptr, 0, 0), 0);
    len = 0;
    EXPECT_EQ(BTRCALL(19, nullptr, nullptr, &len, nullptr, 0, 0), 0);
    EXPECT_EQ(BTRCALL(21, nullptr, nullptr, &len, nullptr, 0, 0), 0);
}

INSTANTIATE_TEST_SUITE_P(Inputs, EngineCorpus, testing::ValuesIn(CorpusFiles()),
                         [](const testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param;
                             for (char& ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return name;
                         });

TEST(EngineCorpusFiles, AreThere) { EXPECT_GE(CorpusFiles().size(), 20u); }

} // namespace
} // namespace btr::test
