// A second engine library bound beside the process-wide one: a renamed copy
// of the embedded engine is, to the process-wide engine, another process.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/btrerrors.h"
#include "engine/btrfile.h"
#include "platform/endian.h"
#include "tests/support/tempdir.h"

namespace btr {
namespace {

class SecondEngine : public ::testing::Test {
protected:
    void SetUp() override {
        FCopy = FDir.File("libother.so");
        std::filesystem::copy_file(WBTRV32_PATH, FCopy);
        TBtrieveFile maker;
        maker.SetFileName(FDir.File("A.DAT"));
        maker.AddKeySegment(1, 4, 0, 1, 0);
        maker.CreateFile(0, 8, 1024, 0, 0);
    }

    static void Open(TBtrieveFile& f, const std::string& path, std::vector<uint8_t>& rec) {
        f.SetDataBuffer(rec.data(), static_cast<uint16_t>(rec.size()));
        f.SetFileName(path);
        f.SetActive(true);
    }

    test::TempDir FDir;
    std::string FCopy;
};

TEST_F(SecondEngine, FilesOpenedThroughItAreItsOwn) {
    TEngineLibrary other(FCopy);
    std::vector<uint8_t> rec(8), rec2(8);
    TBtrieveFile a;
    a.SetEngine(&other);
    Open(a, FDir.File("A.DAT"), rec);
    WriteLE<int32_t>(rec.data(), 7);
    a.Insert();

    // The process-wide engine meets the file as one another process holds.
    TBtrieveFile b;
    b.SetMaxRetry(0);
    try {
        Open(b, FDir.File("A.DAT"), rec2);
        FAIL() << "opened while the other engine holds it";
    } catch (const EBtrieve& e) {
        EXPECT_EQ(e.Error(), bsFileLocked);
    }
    // And a position block of the other engine means nothing to it.
    int32_t len = static_cast<int32_t>(rec2.size());
    EXPECT_EQ(BTRV(bGetFirst, const_cast<uint8_t*>(a.PosBlock()), rec2.data(), len, rec2.data(), 4, 0, *a.GetClientID()),
              bsNotOpen);

    EXPECT_THROW(a.SetEngine(nullptr), Exception); // not under an open file
    a.Get(bGetFirst, 0);
    EXPECT_EQ(ReadLE<int32_t>(rec.data()), 7);
    a.SetActive(false);
    Open(b, FDir.File("A.DAT"), rec2); // released at close
    b.Get(bGetFirst, 0);
    EXPECT_EQ(ReadLE<int32_t>(rec2.data()), 7);
}

TEST_F(SecondEngine, GoingAwayEndsWhatItsClientsLeftOpen) {
    std::vector<uint8_t> rec(8);
    {
        TEngineLibrary other(FCopy);
        TBtrieveFile a;
        a.SetEngine(&other);
        Open(a, FDir.File("A.DAT"), rec);
        a.SetEngine(&other); // the same engine: allowed while open
        int32_t len = 0;
        ASSERT_EQ(other.Call(bBeginTransaction, nullptr, nullptr, len, nullptr, 0, 0, *a.GetClientID()), bsOk);
        WriteLE<int32_t>(rec.data(), 9);
        a.Insert();
        // The file closes inside the transaction, which keeps it; the engine
        // going away ends the transaction.
    }
    TBtrieveFile b;
    b.SetMaxRetry(0);
    Open(b, FDir.File("A.DAT"), rec);
    b.Get(bGetFirst, 0);
    EXPECT_EQ(b.Status(), bsEndOfFile);
}

TEST_F(SecondEngine, LibrariesThatAreNoEngineAreRefused) {
    EXPECT_THROW(TEngineLibrary(FDir.File("missing.so")), Exception);
    try {
        TEngineLibrary none(NO_ENTRY_PATH);
        FAIL() << "bound a library without BTRCALLID";
    } catch (const Exception& e) {
        EXPECT_NE(std::string(e.what()).find("BTRCALLID"), std::string::npos);
    }
}

TEST_F(SecondEngine, AnOwnerNameGuardsTheFileFromThenOn) {
    std::vector<uint8_t> rec(8);
    TBtrieveFile a;
    Open(a, FDir.File("A.DAT"), rec);
    EXPECT_THROW(a.AssignOwner("", 0), EBtrieve);
    EXPECT_THROW(a.AssignOwner("ninechars", 0), EBtrieve); // refused before the engine sees it
    a.AssignOwner("secret", 0);
    a.SetActive(false);
    TBtrieveFile b;
    b.SetMaxRetry(0);
    try {
        Open(b, FDir.File("A.DAT"), rec);
        FAIL() << "opened without the owner name";
    } catch (const EBtrieve& e) {
        EXPECT_EQ(e.Error(), 51);
    }
    b.SetFileOwner("secret");
    b.SetActive(true);
    EXPECT_TRUE(b.Active());
}

} // namespace
} // namespace btr
