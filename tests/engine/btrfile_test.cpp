#include <algorithm>
#include <functional>

#include "engine/btrfile.h"
#include "tests/engine/fake.h"

namespace btr {
namespace {

class FileTest : public test::FakeEngineTest {
protected:
    // Opens `f` on a file with three keys: (8), (4 + 6), (2).
    void OpenThreeKeys(TBtrieveFile& f) {
        Answer(0);
        AnswerStat(100, 3, 0, {{1, 8, 0}, {9, 4, 16}, {13, 6, 0}, {19, 2, 0}}, 42);
        f.SetFileName("/data/CLIENTS.DAT");
        f.SetDataBuffer(FData, sizeof FData);
        f.SetRetryDelay(1);
        f.SetActive(true);
    }
    uint8_t FData[100] = {};
};

TEST_F(FileTest, OpenSendsNameOwnerAndModeThenReadsTheLayout) {
    TBtrieveFile f;
    f.SetFileOwner("  pass\t");
    OpenThreeKeys(f);
    ASSERT_EQ(fake_count(), 2);
    const FakeRequest& open = Req(0);
    EXPECT_EQ(open.op, 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(open.key)), "/data/CLIENTS.DAT");
    EXPECT_EQ(open.keyLen, 18);
    EXPECT_EQ(open.dataLenIn, 5);
    EXPECT_STREQ(reinterpret_cast<const char*>(open.data), "pass");
    EXPECT_EQ(open.keyNum, 0);
    EXPECT_EQ(f.FileOwner(), "pass");
    const FakeRequest& stat = Req(1);
    EXPECT_EQ(stat.op, 15);
    EXPECT_EQ(stat.dataLenIn, 2185);
    EXPECT_EQ(stat.keyLen, 128);
    EXPECT_TRUE(std::all_of(stat.key, stat.key + 128, [](uint8_t b) { return b == 0; }));

    EXPECT_TRUE(f.Active());
    EXPECT_EQ(f.RecordLen(), 100);
    EXPECT_EQ(f.BytesToWrite(), 100);
    EXPECT_EQ(f.IndexCnt(), 3);
    EXPECT_EQ(f.SegmentCnt(), 4);
    EXPECT_EQ(f.KeyStart(0), 1);
    EXPECT_EQ(f.KeyStart(1), 2);
    EXPECT_EQ(f.KeyStart(2), 4);
    EXPECT_EQ(f.KeySize(), 10);
    EXPECT_EQ(f.KeyList(3).KeyPos, 13);
    EXPECT_EQ(f.KeyList(3).KeyLen, 6);

    f.SetKeyPath(5);
    EXPECT_EQ(f.KeyPath(), 0);
    f.SetKeyPath(255);
    EXPECT_EQ(f.KeyPath(), 255);
    f.SetKeyPath(125);
    EXPECT_EQ(f.KeyPath(), 125);
    f.SetKeyPath(2);
    EXPECT_EQ(f.KeyPath(), 2);

    AnswerStat(0, 0, 0, {}, 42);
    EXPECT_EQ(f.NumberOfRecords(), 42);
    EXPECT_EQ(Last().keyLen, 64);
    EXPECT_TRUE(std::all_of(Last().key, Last().key + 64, [](uint8_t b) { return b == 0; }));
}

TEST_F(FileTest, EmptyOwnerSendsOneByte) {
    TBtrieveFile f;
    OpenThreeKeys(f);
    EXPECT_EQ(Req(0).dataLenIn, 1);
    EXPECT_EQ(Req(0).data[0], 0);
}

TEST_F(FileTest, RequestsCarryOperationLockAndKeyPath) {
    TBtrieveFile f;
    OpenThreeKeys(f);
    f.SetKeyPath(1);
    Answer(4);
    f.Get(5, 0);
    EXPECT_EQ(f.Status(), 4);
    EXPECT_EQ(Last().op, 5);
    EXPECT_EQ(Last().keyNum, 1);
    EXPECT_EQ(Last().keyLen, 10);
    EXPECT_EQ(Last().dataLenIn, 100);
    Answer(9);
    f.Get(6, 0);
    EXPECT_EQ(f.Status(), 9);

    f.SetMaxRetry(2);
    Answer(84);
    Answer(84);
    Answer(84);
    try {
        f.Get(5, 100);
        FAIL();
    } catch (const EBtrieve& e) {
        EXPECT_EQ(e.OpCode(), 5);
        EXPECT_NE(e.Message().find("Чтение записи равной ключу(5)"), std::string::npos);
        EXPECT_NE(e.Message().find("Запись блокирована(84)"), std::string::npos);
    }
    EXPECT_EQ(Last().op, 105);

    Answer(0);
    f.GetDirect(0, 0x01020304);
    EXPECT_EQ(Last().op, 23);
    EXPECT_EQ(ReadLE<uint32_t>(Last().data), 0x01020304u);

    const uint32_t pos = 777;
    fake_push(0, &pos, 4, 4, nullptr, 0);
    EXPECT_EQ(f.GetPosition(), 777u);
    EXPECT_EQ(Last().op, 22);
    EXPECT_EQ(Last().dataLenIn, 4);
    EXPECT_EQ(Last().keyLen, 0);

    const int before = fake_count();
    f.Insert();
    f.Update();
    f.Delete();
    f.Unlock();
    EXPECT_EQ(Req(before).op, 2);
    EXPECT_EQ(Req(before + 1).op, 3);
    EXPECT_EQ(Req(before + 2).op, 4);
    EXPECT_EQ(Req(before + 3).op, 27);
    EXPECT_EQ(Req(before + 3).dataLenIn, 100);
}

TEST_F(FileTest, StatusCheckRetriesAndResets) {
    TBtrieveFile f;
    OpenThreeKeys(f);
    f.SetMaxRetry(2);
    Answer(84);
    Answer(84);
    Answer(84);
    std::vector<std::string> told;
    const TRetryWaitHandler before0 = SetRetryWaitHandler([&](const TBtrieveFile& file, int32_t status, int retry, int max) {
        told.push_back(file.FileName() + " " + std::to_string(status) + " " + std::to_string(retry) + "/" + std::to_string(max));
    });
    const int before = fake_count();
    EXPECT_THROW(f.Get(5, 0), EBtrieve);
    SetRetryWaitHandler(before0);
    EXPECT_EQ(fake_count() - before, 3); // two waits, then raised
    EXPECT_EQ(told, (std::vector<std::string>{f.FileName() + " 84 1/2", f.FileName() + " 84 2/2"})); // each pause told
    EXPECT_EQ(f.RetryCount(), 0);
    Answer(84);
    Answer(0);
    f.Get(5, 0); // counting starts again from 0
    EXPECT_EQ(f.Status(), 0);
    EXPECT_EQ(f.RetryCount(), 0);

    // An error after a wait ends the conflict too: the next one is waited
    // out in full again.
    Answer(84);
    Answer(2);
    EXPECT_THROW(f.Get(5, 0), EBtrieve);
    EXPECT_EQ(f.RetryCount(), 0);
    Answer(84);
    Answer(84);
    Answer(0);
    const int waited = fake_count();
    f.Get(5, 0);
    EXPECT_EQ(fake_count() - waited, 3);
    EXPECT_EQ(f.Status(), 0);

    Answer(-7);
    f.Get(5, 0);
    EXPECT_EQ(f.Status(), -7);

    f.SetMaxRetry(0);
    Answer(10000);
    try {
        f.Get(6, 0);
        FAIL();
    } catch (const EBtrieve& e) {
        EXPECT_EQ(e.Error(), 10000);
        EXPECT_NE(e.Message().find("Ошибка при загрузке библиотеки WBTRV32.DLL(10000)"), std::string::npos);
    }

    f.TrappedErrors().Include(4);
    Answer(4);
    EXPECT_THROW(f.Get(5, 0), EBtrieve);
}

TEST_F(FileTest, Status22IsSuccessOnlyForAFullRead) {
    TBtrieveFile f;
    OpenThreeKeys(f);
    Answer(22, nullptr, 0, 100); // the variable part was cut: the buffer is full
    f.Get(6, 0);
    EXPECT_EQ(f.Status(), 0);
    Answer(22, nullptr, 0, 0); // nothing returned: the fixed part did not fit
    try {
        f.Get(6, 0);
        FAIL();
    } catch (const EBtrieve& e) {
        EXPECT_EQ(e.Error(), 22);
    }
    Answer(22, nullptr, 0, 100); // an insert answered 22 wrote nothing
    EXPECT_THROW(f.Insert(), EBtrieve);
    Answer(22, nullptr, 0, 100);
    EXPECT_THROW(f.Update(), EBtrieve);
}

TEST_F(FileTest, ReadOnlyReopensAndCloseAlwaysCloses) {
    TBtrieveFile f;
    OpenThreeKeys(f);
    Answer(0);
    Answer(0);
    AnswerStat(100, 3, 0, {{1, 8, 0}, {9, 4, 16}, {13, 6, 0}, {19, 2, 0}});
    f.SetReadOnly(true);
    EXPECT_EQ(Req(2).op, 1);
    EXPECT_EQ(Req(3).op, 0);
    EXPECT_EQ(Req(3).keyNum, 254);
    EXPECT_TRUE(f.Active());

    f.SetAllocateData(true);
    EXPECT_EQ(f.DataSize(), 100);
    Answer(3);
    EXPECT_THROW(f.Close(), EBtrieve);
    EXPECT_FALSE(f.Active());
    EXPECT_EQ(f.RecordLen(), 0);
    EXPECT_EQ(f.Data(), nullptr);
    EXPECT_EQ(f.DataSize(), 0);
}

TEST_F(FileTest, BuffersAndKeys) {
    TBtrieveFile f;
    f.ClearBuffer(); // no data buffer: only the length
    EXPECT_EQ(f.BytesRead(), 0);
    OpenThreeKeys(f);
    f.SetKeyPath(1);
    const uint32_t a = 0xAAAAAAAA;
    const uint8_t b[6] = {1, 2, 3, 4, 5, 6};
    f.MakeKey({&a, b});
    EXPECT_EQ(ReadLE<uint32_t>(f.KeyBuffer()), 0xAAAAAAAAu);
    EXPECT_EQ(f.KeyBuffer()[9], 6);
    f.SetKeyPath(0);
    EXPECT_THROW(f.MakeKey(std::initializer_list<const void*>{}), ERangeError);

    // Values that say how much they hold: nothing is read past them, the
    // rest of the segment is zero. (The sanitizer run catches a read past.)
    f.SetKeyPath(1);
    const auto shortA = std::make_unique<uint8_t[]>(2);
    shortA[0] = 0x11;
    shortA[1] = 0x22;
    f.MakeKey({TKeyValue{shortA.get(), 2}, TKeyValue{b, sizeof b}});
    EXPECT_EQ(std::vector<uint8_t>(f.KeyBuffer(), f.KeyBuffer() + 10),
              (std::vector<uint8_t>{0x11, 0x22, 0, 0, 1, 2, 3, 4, 5, 6}));
    f.MakeKey({TKeyValue{&a, sizeof a}, TKeyValue{b, 0}});
    EXPECT_EQ(ReadLE<uint32_t>(f.KeyBuffer()), 0xAAAAAAAAu);
    EXPECT_EQ(f.KeyBuffer()[9], 0);
    EXPECT_THROW(f.MakeKey({TKeyValue{&a, sizeof a}}), ERangeError);

    // Key paths that name no key: refused, the key buffer untouched.
    f.SetKeyPath(1);
    f.MakeKey({&a, b});
    for (uint16_t path : {uint16_t(125), uint16_t(255)}) {
        f.SetKeyPath(path);
        EXPECT_THROW(f.MakeKey({&a, b}), ERangeError);
        EXPECT_EQ(f.KeyBuffer()[9], 6);
    }
}

TEST_F(FileTest, UnsafeInputIsRefusedBeforeAnyRequest) {
    TBtrieveFile f;
    f.SetFileName(std::string(251, 'n'));
    try {
        f.SetActive(true);
        FAIL();
    } catch (const EBtrieve& e) {
        EXPECT_EQ(e.Error(), 11);
    }
    EXPECT_EQ(f.Status(), 11);
    f.AddKeySegment(1, 4, 0, 0, 0);
    EXPECT_THROW(f.CreateFile(0, 10, 1024, 0, 0), EBtrieve);
    EXPECT_EQ(f.Status(), 11);
    f.SetFileName("F.DAT");
    f.SetFileOwner("ninechars");
    try {
        f.SetActive(true);
        FAIL();
    } catch (const EBtrieve& e) {
        EXPECT_EQ(e.Error(), 51);
    }
    EXPECT_EQ(f.Status(), 51);
    EXPECT_FALSE(f.Active());
    EXPECT_EQ(fake_count(), 0);

    f.SetFileOwner("");
    OpenThreeKeys(f);
    f.SetDataBuffer(nullptr, 0);
    const int before = fake_count();
    EXPECT_THROW(f.GetDirect(0, 5), EBtrieve);
    EXPECT_THROW(f.Get(6, 0), EBtrieve);
    EXPECT_THROW(f.GetByPercentage(5000), EBtrieve);
    EXPECT_EQ(fake_count(), before);
    f.Delete(); // needs no record buffer
    EXPECT_EQ(Last().op, 4);
}

TEST_F(FileTest, MissingBufferAfterOpeningRaisesAtOnce) {
    TBtrieveFile f;
    f.SetMaxRetry(10);
    f.SetRetryDelay(60000); // a pause would hang the test
    f.SetDataBuffer(nullptr, 10);
    Answer(0);
    AnswerStat(100, 0, 0, {});
    f.SetFileName("F.DAT");
    try {
        f.SetActive(true);
        FAIL();
    } catch (const EBtrieve& e) {
        EXPECT_EQ(e.Error(), 5000);
    }
    EXPECT_EQ(f.Status(), 5000);
    // Closed, the engine's handle too: the next activation opens again.
    EXPECT_FALSE(f.Active());
    EXPECT_EQ(f.RecordLen(), 0);
    ASSERT_EQ(fake_count(), 3);
    EXPECT_EQ(Last().op, 1);
    uint8_t data[100];
    f.SetDataBuffer(data, sizeof data);
    Answer(0);
    AnswerStat(100, 0, 0, {});
    f.SetActive(true);
    EXPECT_EQ(Req(3).op, 0);
    EXPECT_TRUE(f.Active());
    EXPECT_EQ(f.Status(), 0);
}

TEST_F(FileTest, OversizedLayoutsStayInsideTheirBuffers) {
    TBtrieveFile f;
    // One key of segments 200 + 100 bytes: past the 255-byte key limit.
    Answer(0);
    AnswerStat(400, 1, 0, {{1, 200, 16}, {201, 100, 0}});
    f.SetFileName("BIG.DAT");
    uint8_t data[400];
    f.SetDataBuffer(data, sizeof data);
    f.SetActive(true);
    EXPECT_EQ(f.KeySize(), 255);
    const std::vector<uint8_t> v1(200, 1), v2(100, 2);
    f.MakeKey({v1.data(), v2.data()});
    EXPECT_EQ(f.KeyBuffer()[254], 2);

    // Every segment claims another follows: the layout ends at 119.
    TBtrieveFile g;
    std::vector<Seg> segs(kMaxSegments, Seg{1, 1, 16});
    Answer(0);
    AnswerStat(10, 5, 0, segs);
    g.SetFileName("ODD.DAT");
    g.SetDataBuffer(data, 10);
    g.SetActive(true);
    EXPECT_EQ(g.SegmentCnt(), kMaxSegments);
}

TEST_F(FileTest, EveryRequestNamesNoMoreKeyThanTheBufferHolds) {
    TBtrieveFile f;
    OpenThreeKeys(f);
    f.SetKeyPath(1);
    const uint32_t a = 0xAAAAAAAA;
    const uint8_t b[6] = {1, 2, 3, 4, 5, 6};
    f.MakeKey({&a, b});
    // A longer key added to the open object: the buffer grows with KeySize
    // and keeps the key it held. (The fake engine copies KeyLen bytes, so the
    // sanitizer run catches a request that names more than the buffer has.)
    f.AddKeySegment(1, 40, 0, 0, 0);
    ASSERT_EQ(f.KeySize(), 40);
    EXPECT_EQ(f.KeyBuffer()[9], 6);
    f.SetKeyPath(3);
    const std::vector<uint8_t> v(40, 9);
    f.MakeKey({v.data()});
    EXPECT_EQ(f.KeyBuffer()[39], 9);

    uint8_t scratch[64] = {};
    f.XInit(scratch, sizeof scratch);
    const std::pair<const char*, std::function<void()>> requests[] = {
        {"Get", [&] { f.Get(5, 0); }},
        {"GetDirect", [&] { f.GetDirect(0, 1); }},
        {"XGet", [&] { f.XGet(36, false, 0, 1); }},
        {"GetChunk", [&] { f.GetChunk(1, 0, 4, scratch); }},
        {"UpdateChunk", [&] { f.UpdateChunk(0, 4, scratch); }},
        {"TruncateRec", [&] { f.TruncateRec(1, 4); }},
        {"GetPercentage", [&] { f.GetPercentage(); }},
        {"GetByPercentage", [&] { f.GetByPercentage(50); }},
    };
    for (const auto& [name, request] : requests) {
        SCOPED_TRACE(name);
        request();
        EXPECT_EQ(Last().keyLen, 40);
        EXPECT_EQ(Last().key[39], 9);
    }

    // An object that has no key buffer yet names no key bytes.
    TBtrieveFile g;
    g.AddKeySegment(1, 8, 0, 0, 0);
    uint8_t data[10];
    g.SetDataBuffer(data, sizeof data);
    g.Get(12, 0);
    EXPECT_EQ(Last().keyLen, 0);
}

TEST_F(FileTest, DestructionClosesAndDropsTheClient) {
    {
        TBtrieveFile f;
        OpenThreeKeys(f);
    }
    ASSERT_GE(fake_count(), 4);
    EXPECT_EQ(Req(fake_count() - 2).op, 1);
    EXPECT_EQ(Last().op, 25);
    EXPECT_EQ(ClientList->Count(), 0);
}

} // namespace
} // namespace btr
