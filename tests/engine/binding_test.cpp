// Binding the engine from the default search order: this executable finds
// libbtrkit (and so the engine) only in a directory of its own.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/btrfile.h"

namespace btr {
namespace {

namespace fs = std::filesystem;

const fs::path kEngine = fs::path(RUNDIR) / "libwbtrv32.so";

void Place(const char* library) {
    fs::remove(kEngine);
    if (library) fs::copy_file(library, kEngine);
}

int16_t Version() {
    TClient_ID id{};
    uint8_t buf[15];
    int32_t len = sizeof buf;
    return BTRV(26, nullptr, buf, len, nullptr, 0, 0, id);
}

TEST(Binding, NoEngineThenEngineAppears) {
    Place(nullptr);
    EXPECT_EQ(Version(), 10000);
    EXPECT_EQ(Version(), 10000);
    EXPECT_FALSE(EngineBound());
    Place(FAKE_ENGINE_PATH);
    EXPECT_EQ(Version(), 0); // bound on the next call
    EXPECT_TRUE(EngineBound());
    Place(nullptr);
}

TEST(Binding, LibraryWithoutTheEntryIsRefused) {
    Place(NO_ENTRY_PATH);
    EXPECT_EQ(Version(), 10000);
    EXPECT_FALSE(EngineBound());
    Place(FAKE_ENGINE_PATH);
    EXPECT_EQ(Version(), 0);
    Place(nullptr);
}

TEST(Binding, FileObjectsWaitOutAMissingEngineThenRaise) {
    Place(nullptr);
    TBtrieveFile f;
    f.SetFileName("X.DAT");
    f.SetMaxRetry(2);
    f.SetRetryDelay(1);
    try {
        f.SetActive(true);
        FAIL();
    } catch (const EBtrieve& e) {
        EXPECT_EQ(e.Error(), 10000);
    }
    EXPECT_FALSE(f.Active());
}

} // namespace
} // namespace btr
