// Replays every checked-in bad input through the fuzzer's driver: the engine
// answers each without crashing, leaves nothing open or locked behind the
// reset of the input's clients, and the real files read back whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

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

std::vector<uint8_t> Input(const std::string& name) {
    std::ifstream in(std::filesystem::path(BTRKIT_ENGINE_CORPUS) / name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class EngineCorpus : public testing::TestWithParam<std::string> {};

TEST_P(EngineCorpus, IsAnsweredAndLeavesTheFilesWhole) {
    const std::vector<uint8_t> input = Input(GetParam());
    ASSERT_FALSE(input.empty());
    std::vector<int> statuses;
    EXPECT_EQ(RunEngineInput(input.data(), input.size(), &statuses), "");
    EXPECT_FALSE(statuses.empty()) << "the input makes no call";

    // The engine still answers, and the reset left no transaction behind.
    uint8_t version[15];
    int32_t len = sizeof version;
    EXPECT_EQ(BTRCALL(26, nullptr, version, &len, nullptr, 0, 0), 0);
    EXPECT_EQ(len, 15);
    len = 0;
    EXPECT_EQ(BTRCALL(19, nullptr, nullptr, &len, nullptr, 0, 0), 0);
    EXPECT_EQ(BTRCALL(21, nullptr, nullptr, &len, nullptr, 0, 0), 0);
}

// Every input starts from the same files and blocks and its clients are
// stopped at its end, so nothing of one run may leak into the next: the same
// input gets the same answers.
TEST_P(EngineCorpus, AnswersTheSameWhenReplayed) {
    const std::vector<uint8_t> input = Input(GetParam());
    std::vector<int> first, second;
    RunEngineInput(input.data(), input.size(), &first);
    RunEngineInput(input.data(), input.size(), &second);
    EXPECT_EQ(first, second);
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
