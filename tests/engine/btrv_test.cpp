#include <algorithm>
#include <thread>

#include "platform/exceptions.h"
#include "platform/ui.h"

#include "tests/engine/fake.h"

namespace btr {
namespace {

using Clients = test::FakeEngineTest;

TEST_F(Clients, IdentifierLayoutReuseAndRelease) {
    TClient_ID* a = AddClientID();
    TClient_ID* b = AddClientID();
    EXPECT_EQ(a, b);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(a->networkandnode[i], 0);
    EXPECT_EQ(a->applicationID[0], 'K');
    EXPECT_EQ(a->applicationID[1], 'L');
    EXPECT_GE(a->threadID, 0);
    const int16_t id = a->threadID;
    uint8_t bytes[16];
    std::memcpy(bytes, a, 16);

    FreeClientID();
    EXPECT_EQ(fake_count(), 0); // still held once
    FreeClientID();
    ASSERT_EQ(fake_count(), 1);
    const FakeRequest& drop = Req(0);
    EXPECT_EQ(drop.op, 25);
    EXPECT_FALSE(drop.hasPosBlock);
    EXPECT_FALSE(drop.hasData);
    EXPECT_EQ(drop.dataLenIn, 0);
    EXPECT_EQ(drop.keyLen, 255);
    EXPECT_EQ(drop.keyNum, 0);
    EXPECT_EQ(std::memcmp(drop.client, bytes, 16), 0);
    EXPECT_EQ(ClientList->Count(), 0);

    AddClientID(); // a fresh entry
    EXPECT_EQ(ClientList->Count(), 1);
    (void)id;
    FreeClientID();
}

TEST_F(Clients, IndexesOutsideTheListRaiseRangeErrors) {
    AddClientID();
    ASSERT_EQ(ClientList->Count(), 1);
    EXPECT_NE(ClientList->GetItems(0), nullptr);
    for (int bad : {-1, 1, 1000}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(ClientList->GetItems(bad), ERangeError);
        EXPECT_THROW(ClientList->Delete(bad), ERangeError);
    }
    EXPECT_EQ(ClientList->Count(), 1);
    FreeClientID();
}

TEST_F(Clients, ThreadsGetDistinctIdentifiers) {
    TClient_ID mine = *AddClientID();
    TClient_ID theirs{};
    std::thread t([&] {
        theirs = *AddClientID();
        FreeClientID();
    });
    t.join();
    EXPECT_NE(mine.threadID, theirs.threadID);
    EXPECT_EQ(theirs.applicationID[0], 'K');
    FreeClientID();
}

TEST_F(Clients, ReleaseWithoutAcquisitionRaises) {
    try {
        FreeClientID();
        FAIL();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Error in BTrieve session manager. Unknown session could not be disposed.");
    }
    EXPECT_EQ(fake_count(), 0);
}

TEST_F(Clients, VersionAndEngineCheck) {
    const uint8_t version[15] = {6, 0, 15, 0, 'N', 7, 0, 0, 0, 'W', 0, 0, 0, 0, 0};
    Answer(0, version, 15);
    VersionData v{};
    GetBtrieveVersion(v);
    EXPECT_EQ(std::memcmp(&v, version, 15), 0);
    EXPECT_EQ(Req(0).op, 26);
    EXPECT_EQ(Req(0).dataLenIn, 15);

    Answer(20, version, 15);
    GetBtrieveVersion(v);
    EXPECT_TRUE(std::all_of(reinterpret_cast<uint8_t*>(&v), reinterpret_cast<uint8_t*>(&v) + 15,
                            [](uint8_t b) { return b == 0; }));

    ResetQuitRequest();
    Answer(0);
    CheckForBtrieve();
    EXPECT_FALSE(QuitRequested());
    const FakeRequest& check = Req(fake_count() - 2); // the last one drops the client
    EXPECT_EQ(check.op, 26);
    EXPECT_EQ(check.dataLenIn, 162);
    Answer(20);
    CheckForBtrieve();
    EXPECT_EQ(QuitRequested(), 999);
    EXPECT_EQ(ClientList->Count(), 0); // balanced
}

} // namespace
} // namespace btr
