// TBtrieveFile against the embedded engine: partial records of a
// variable-length file and extended reads come back as they were written.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "engine/btrerrors.h"
#include "engine/btrfile.h"
#include "platform/endian.h"
#include "tests/support/tempdir.h"

namespace btr {
namespace {

constexpr uint16_t kFixed = 16; // 4-byte integer key, then 12 bytes of text

class RoundTrip : public ::testing::Test {
protected:
    void SetUp() override {
        FFile.SetFileName(FDir.File("VAR.DAT"));
        FFile.AddKeySegment(1, 4, 0, 1, 0);
        FFile.CreateFile(1, kFixed, 1024, 0, 0); // variable-length records
        FFile.SetDataBuffer(FRecord.data(), static_cast<uint16_t>(FRecord.size()));
        FFile.SetActive(true);
        for (int32_t id : {30, 10, 20, 40}) {
            std::fill(FRecord.begin(), FRecord.end(), 0);
            WriteLE<int32_t>(FRecord.data(), id);
            std::snprintf(reinterpret_cast<char*>(FRecord.data()) + 4, 12, "rec%d", id);
            FFile.Insert();
        }
    }

    // Reads the record with key `id` and returns its position.
    uint32_t Find(int32_t id) {
        FFile.MakeKey({&id});
        FFile.Get(5, 0);
        return FFile.GetPosition();
    }

    test::TempDir FDir;
    TBtrieveFile FFile;
    std::vector<uint8_t> FRecord = std::vector<uint8_t>(kFixed);
};

TEST_F(RoundTrip, ChunksGrowReadAndTruncateAVariableRecord) {
    const uint32_t pos = Find(20);
    std::vector<uint8_t> tail(40000);
    std::iota(tail.begin(), tail.end(), uint8_t{1});
    FFile.UpdateChunk(kFixed, static_cast<uint32_t>(tail.size()), tail.data()); // three requests of at most 16000

    std::vector<uint8_t> back(tail.size() + 100, 0xEE);
    EXPECT_EQ(FFile.GetChunk(pos, kFixed, static_cast<uint32_t>(tail.size()), back.data()), tail.size());
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), back.begin()));
    EXPECT_EQ(back[tail.size()], 0xEE); // nothing written past what was asked

    // The fixed part is untouched and the key still finds the record.
    uint8_t head[kFixed];
    EXPECT_EQ(FFile.GetChunk(pos, 0, kFixed, head), kFixed);
    EXPECT_EQ(ReadLE<int32_t>(head), 20);
    EXPECT_EQ(Find(20), pos);

    // Asking past the end is cut short; starting past it is answered with
    // 103, which the default error set leaves to the caller.
    EXPECT_EQ(FFile.GetChunk(pos, kFixed + 39990, 100, back.data()), 10u);
    EXPECT_EQ(FFile.GetChunk(pos, kFixed + 40000, 1, back.data()), 0u);
    EXPECT_EQ(FFile.Status(), 103);

    Find(20);
    FFile.TruncateRec(pos, 100);
    EXPECT_EQ(FFile.GetChunk(pos, 0, 1000, back.data()), 100u);
    Find(20);
    try {
        FFile.TruncateRec(pos, 8); // into the fixed part
        FAIL() << "cut into the fixed part";
    } catch (const EBtrieve& e) {
        EXPECT_EQ(e.Error(), 28);
    }
    EXPECT_EQ(FFile.GetChunk(pos, 0, 1000, back.data()), 100u);
}

TEST_F(RoundTrip, ExtendedReadsReturnTheMatchingRecordsAndFields) {
    std::vector<uint8_t> answer(1000);
    FFile.XInit(answer.data(), static_cast<uint16_t>(answer.size()));
    const int32_t from = 20;
    FFile.AddFilterCondition(1, 4, 0, 5, 0, &from, 0); // id >= 20
    FFile.AddFieldToExtract(8, 4);                     // the text's first 8 bytes
    FFile.Get(12, 0);                                  // first on the key: id 10
    FFile.XGet(36, false, 0, 10);
    auto records = ParseExtendedAnswer(FFile.XData(), static_cast<size_t>(FFile.BytesRead()));
    ASSERT_EQ(records.size(), 3u);
    const char* names[] = {"rec20", "rec30", "rec40"};
    for (size_t i = 0; i < records.size(); ++i) {
        ASSERT_EQ(records[i].Bytes.size(), 8u);
        EXPECT_STREQ(reinterpret_cast<const char*>(records[i].Bytes.data()), names[i]);
    }
    EXPECT_EQ(records[0].Position, Find(20));

    // "UC" looks at the current record first; max records stops early.
    Find(30);
    FFile.XGet(36, true, 0, 1);
    records = ParseExtendedAnswer(FFile.XData(), static_cast<size_t>(FFile.BytesRead()));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_STREQ(reinterpret_cast<const char*>(records[0].Bytes.data()), "rec30");
}

} // namespace
} // namespace btr
