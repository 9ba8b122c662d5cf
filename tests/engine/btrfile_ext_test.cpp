#include <fstream>

#include "engine/btrfile.h"
#include "tests/engine/fake.h"
#include "tests/support/tempdir.h"

namespace btr {
namespace {

using Ext = test::FakeEngineTest;

void ThreeSegments(TBtrieveFile& f) {
    f.AddKeySegment(1, 4, 0x10, 0, 0);
    f.AddKeySegment(5, 6, 0, 0, 0);
    f.AddKeySegment(11, 8, 0, 1, 0);
}

TEST_F(Ext, KeySegmentsMakeKeys) {
    TBtrieveFile f;
    ThreeSegments(f);
    EXPECT_FALSE(f.ReadKeyDefs());
    EXPECT_EQ(f.IndexCnt(), 2);
    EXPECT_EQ(f.SegmentCnt(), 3);
    EXPECT_EQ(f.KeyStart(0), 1);
    EXPECT_EQ(f.KeyStart(1), 3);
    EXPECT_EQ(f.KeySize(), 10);
    for (int i = 3; i < kMaxSegments; ++i) f.AddKeySegment(1, 1, 0, 0, 0);
    EXPECT_EQ(f.SegmentCnt(), kMaxSegments);
    f.AddKeySegment(1, 1, 0, 0, 0); // the 120th is dropped
    EXPECT_EQ(f.SegmentCnt(), kMaxSegments);
    EXPECT_EQ(f.IndexCnt(), 118);
}

TEST_F(Ext, CreateSendsHeaderSegmentsAndCollatingSequence) {
    test::TempDir dir;
    TBtrieveFile f;
    f.SetFileName(dir.File("NEW.DAT"));
    ThreeSegments(f);
    f.CreateFile(1, 30, 1024, 7, -1);
    const FakeRequest& r = Last();
    EXPECT_EQ(r.op, 14);
    EXPECT_EQ(r.dataLenIn, 64);
    EXPECT_EQ(r.keyNum, 255);
    EXPECT_EQ(ReadLE<uint16_t>(r.data), 30);
    EXPECT_EQ(ReadLE<uint16_t>(r.data + 2), 1024);
    EXPECT_EQ(ReadLE<uint16_t>(r.data + 4), 2);
    EXPECT_EQ(ReadLE<uint16_t>(r.data + 10), 1);
    EXPECT_EQ(ReadLE<uint16_t>(r.data + 14), 7);
    EXPECT_EQ(ReadLE<uint16_t>(r.data + 16 + 32), 11); // third segment's position
    EXPECT_EQ(r.data[16 + 32 + 10], 1);                // and its type
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.key)), dir.File("NEW.DAT"));

    f.SetAltPath(dir.File("missing.alt"));
    const int before = fake_count();
    EXPECT_THROW(f.CreateFile(1, 30, 1024, 0, 0), EInOutError);
    EXPECT_EQ(fake_count(), before);
    EXPECT_EQ(f.AltPath(), dir.File("missing.alt"));

    std::string acs(265, 'x');
    acs[0] = static_cast<char>(0xAC);
    std::ofstream(dir.File("short.alt"), std::ios::binary) << acs.substr(0, 200);
    f.SetAltPath(dir.File("short.alt"));
    EXPECT_THROW(f.CreateFile(1, 30, 1024, 0, 0), EInOutError);

    std::ofstream(dir.File("good.alt"), std::ios::binary) << acs << "tail";
    f.SetAltPath(dir.File("good.alt"));
    f.CreateFile(1, 30, 1024, 0, 0);
    EXPECT_EQ(Last().dataLenIn, 329);
    EXPECT_EQ(Last().data[64], 0xAC);
    EXPECT_EQ(f.AltPath(), "");
}

TEST_F(Ext, ExtendedRequestIsAssembledByteForByte) {
    TBtrieveFile f;
    uint8_t answer[100];
    f.XInit(answer, sizeof answer);
    const uint32_t constant = 0x11223344;
    f.AddFilterCondition(0, 4, 10, 1, 0, &constant, 0);
    f.AddFieldToExtract(4, 10);
    const uint8_t reply[] = {1, 0, 4, 0, 9, 0, 0, 0, 1, 2, 3, 4};
    Answer(0, reply, sizeof reply);
    f.XGet(36, false, 0, 5);
    const FakeRequest& r = Last();
    EXPECT_EQ(r.op, 36);
    EXPECT_EQ(r.dataLenIn, 100);
    EXPECT_EQ(ReadLE<uint16_t>(r.data), 27);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.data) + 2, 2), "EG");
    EXPECT_EQ(ReadLE<uint16_t>(r.data + 6), 1);
    EXPECT_EQ(r.data[8], 0);
    EXPECT_EQ(ReadLE<uint16_t>(r.data + 9), 4);
    EXPECT_EQ(ReadLE<uint16_t>(r.data + 11), 10);
    EXPECT_EQ(r.data[13], 1);
    EXPECT_EQ(ReadLE<uint32_t>(r.data + 15), 0x11223344u);
    EXPECT_EQ(ReadLE<uint16_t>(r.data + 19), 5);
    EXPECT_EQ(ReadLE<uint16_t>(r.data + 21), 1);
    EXPECT_EQ(ReadLE<uint16_t>(r.data + 23), 4);
    EXPECT_EQ(ReadLE<uint16_t>(r.data + 25), 10);

    const auto records = ParseExtendedAnswer(f.XData(), static_cast<size_t>(f.BytesRead()));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Position, 9u);
    EXPECT_EQ(records[0].Bytes, (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_THROW(ParseExtendedAnswer(reply, 8), EBtrieve); // claims more than it holds

    f.AddFilterCondition(1, 2, 0, 64 + 2, 0, nullptr, 20); // field against field: 9 bytes
    f.XGet(36, true, 0, 5);
    EXPECT_EQ(ReadLE<uint16_t>(Last().data), 27 + 9);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(Last().data) + 2, 2), "UC");
    EXPECT_EQ(ReadLE<uint16_t>(Last().data + 27 - 8 + 7), 20);
}

TEST_F(Ext, ExtendedRequestLimitRaisesBeforeSending) {
    TBtrieveFile f;
    uint8_t answer[10];
    f.XInit(answer, sizeof answer);
    const std::vector<uint8_t> big(60000, 7);
    f.AddFilterCondition(0, 60000, 0, 1, 1, big.data(), 0);
    f.AddFilterCondition(0, 5600, 0, 1, 0, big.data(), 0);
    try {
        f.XGet(36, false, 0, 1);
        FAIL();
    } catch (const EBtrieve& e) {
        EXPECT_EQ(e.Message(), "Слишком много условий фильтрации или определений полей при расширенной операции");
        EXPECT_EQ(e.Error(), 0);
        EXPECT_EQ(e.FileName(), "");
    }
    EXPECT_EQ(fake_count(), 0);
    EXPECT_EQ(f.FilterCount(), 2u); // the collection is unchanged
}

TEST_F(Ext, ChunksAreSplitAndStopAtAShortAnswer) {
    TBtrieveFile f;
    std::vector<uint8_t> dest(40000);
    Answer(0, nullptr, 0, 16000);
    Answer(0, nullptr, 0, 16000);
    Answer(0, nullptr, 0, 8000);
    EXPECT_EQ(f.GetChunk(77, 100, 40000, dest.data()), 40000u);
    ASSERT_EQ(fake_count(), 3);
    for (int i = 0; i < 3; ++i) {
        const FakeRequest& r = Req(i);
        EXPECT_EQ(r.op, 23);
        EXPECT_EQ(r.keyNum, 254);
        EXPECT_EQ(r.dataLenIn, 28);
        EXPECT_EQ(ReadLE<uint32_t>(r.data), 77u);
        EXPECT_EQ(ReadLE<uint32_t>(r.data + 4), 0x80000001u);
        EXPECT_EQ(ReadLE<uint32_t>(r.data + 8), 1u);
        EXPECT_EQ(ReadLE<uint32_t>(r.data + 12), 100u + 16000u * i);
        EXPECT_EQ(ReadLE<uint32_t>(r.data + 16), i < 2 ? 16000u : 8000u);
        EXPECT_EQ(ReadLE<uint64_t>(r.data + 20), reinterpret_cast<uintptr_t>(dest.data() + 16000 * i));
    }

    fake_reset();
    Answer(0, nullptr, 0, 16000);
    Answer(0, nullptr, 0, 5000);
    EXPECT_EQ(f.GetChunk(77, 0, 40000, dest.data()), 21000u);
    EXPECT_EQ(fake_count(), 2);

    fake_reset();
    Answer(0, nullptr, 0, 99999); // an answer claiming more than asked
    EXPECT_EQ(f.GetChunk(1, 0, 10, dest.data()), 10u);

    fake_reset();
    EXPECT_EQ(f.GetChunk(1, 0, 0, dest.data()), 0u);
    f.UpdateChunk(0, 0, dest.data());
    EXPECT_EQ(fake_count(), 0);

    f.UpdateChunk(5, 20000, dest.data());
    ASSERT_EQ(fake_count(), 2);
    EXPECT_EQ(Req(0).op, 53);
    EXPECT_EQ(Req(0).dataLenIn, 24);
    EXPECT_EQ(ReadLE<uint32_t>(Req(1).data + 8), 16005u);
    EXPECT_EQ(ReadLE<uint32_t>(Req(1).data + 12), 4000u);

    f.TruncateRec(0, 120);
    EXPECT_EQ(Last().op, 53);
    EXPECT_EQ(Last().dataLenIn, 8);
    EXPECT_EQ(ReadLE<uint32_t>(Last().data), 0x80000004u);
    EXPECT_EQ(ReadLE<int32_t>(Last().data + 4), 120);
}

TEST_F(Ext, Percentages) {
    TBtrieveFile f;
    uint8_t data[50];
    f.SetDataBuffer(data, sizeof data);
    f.GetByPercentage(5000);
    EXPECT_EQ(Last().op, 44);
    EXPECT_EQ(ReadLE<int32_t>(Last().data), 5000);
    EXPECT_EQ(Last().dataLenIn, 50);

    const int32_t pct = 2500;
    Answer(0, &pct, 4);
    EXPECT_EQ(f.GetPercentage(), 2500);
    EXPECT_EQ(Last().op, 45);
    EXPECT_EQ(Last().dataLenIn, 4);
}

} // namespace
} // namespace btr
