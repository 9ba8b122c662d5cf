#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "dictionary/dictcache.h"
#include "engine/btrerrors.h"
#include "platform/exceptions.h"
#include "tests/dictionary/dict_support.h"

namespace btr {
namespace {

using test::DictBuilder;
using test::ScriptedBoxes;
using test::TempDir;

// Creates data files from a dictionary, in a directory of their own (the
// dictionary names files without a directory).
class DictCreate : public test::DictDirTest {
protected:
    DictBuilder& B() { return *FBuilder; }

    FileSpec StatOf(const std::string& name) {
        TBtrieveFile f(nullptr);
        f.SetFileName(name);
        f.SetActive(true);
        FileSpec spec{};
        f.Stat(spec);
        return spec;
    }
};

TEST_F(DictCreate, DictionaryFileHasItsThreeKeys) {
    const FileSpec spec = StatOf(FDir.File("DICT.DAT"));
    EXPECT_EQ(spec.RecordLen, 141);
    EXPECT_EQ(spec.Indexes, 3);
    EXPECT_EQ(spec.KeyBuff[4].KeyPos, 28);  // key 1, Name
    EXPECT_EQ(spec.KeyBuff[4].KeyFlags & 0x0400, 0x0400);
    EXPECT_EQ(spec.KeyBuff[7].KeyPos, 24);  // key 2, Number
    EXPECT_EQ(spec.KeyBuff[7].KeyType, 1);
}

TEST_F(DictCreate, ExistingDictionaryKeptWhenTheUserSaysNo) {
    B().AddFile("A.DAT");
    ScriptedBoxes boxes(IDNO);
    TDictFile again(FDir.File("DICT.DAT"));
    try {
        again.CreateFile();
        FAIL();
    } catch (const EBtrieve& e) {
        EXPECT_EQ(e.Error(), 59);
        EXPECT_EQ(e.OpCode(), 14);
    }
    ASSERT_EQ(boxes.Asked.size(), 1u);
    EXPECT_EQ(boxes.Asked[0], "Подтверждение: Файл уже существует. Перезаписывать ?");
    EXPECT_EQ(boxes.Flags[0], 0x24u);
    TFileData fd;
    BDictList->Clear();
    GetFileData("A.DAT", FDir.File("DICT.DAT"), fd); // the entry is still there
}

TEST_F(DictCreate, SegmentsArePlacedAtTheirFields) {
    B().AddFile("DATA.DAT", "", 0, 4096);
    B().AddFields("DATA.DAT", {{"Code", 3, 4}, {"Name", 9, 20}, {"Born", 5, 4}, {"Sum", 17, 6}});
    B().AddSegments("DATA.DAT", {{"Born", 0x0010 | 0x0001}, {"Sum", 0x0001}, {"Code", 0x8000 | 0x0002}});
    B().Dict().CreateFile("DATA.DAT");
    const FileSpec spec = StatOf("DATA.DAT");
    EXPECT_EQ(spec.RecordLen, 34);
    EXPECT_EQ(spec.PageSize, 4096);
    EXPECT_EQ(spec.Indexes, 2);
    EXPECT_EQ(spec.KeyBuff[0].KeyPos, 25); // 1 + 4 + 20
    EXPECT_EQ(spec.KeyBuff[0].KeyLen, 4);
    EXPECT_EQ(spec.KeyBuff[0].KeyType, 3); // Date
    EXPECT_EQ(spec.KeyBuff[1].KeyPos, 29);
    EXPECT_EQ(spec.KeyBuff[1].KeyType, 8); // Decimal
    EXPECT_EQ(spec.KeyBuff[2].KeyPos, 1);
    EXPECT_EQ(spec.KeyBuff[2].KeyType, 15); // autoincrement mark
    EXPECT_EQ(spec.KeyBuff[2].KeyFlags & 0x8000, 0);
    EXPECT_EQ(spec.KeyBuff[2].KeyFlags & 0x0002, 0x0002);
}

TEST_F(DictCreate, RecordLengthLimit) {
    B().AddFile("MAX.DAT");
    B().AddFields("MAX.DAT", {{"K", 3, 4}, {"A", 14, 65000}, {"B", 14, 531}});
    B().AddSegments("MAX.DAT", {{"K", 0}});
    B().AddFile("OVER.DAT");
    B().AddFields("OVER.DAT", {{"A", 14, 65000}, {"B", 14, 536}});
    B().AddSegments("OVER.DAT", {{"B", 0}});
    ScriptedBoxes boxes;
    B().Dict().CreateFile("MAX.DAT");
    EXPECT_TRUE(boxes.Asked.empty());
    EXPECT_EQ(StatOf("MAX.DAT").RecordLen, 65535);
    EXPECT_THROW(B().Dict().CreateFile("OVER.DAT"), EAbort);
    ASSERT_EQ(boxes.Asked.size(), 1u);
    EXPECT_EQ(boxes.Asked[0], "Ошибка: Записи длиннее 65535 байт не поддерживаются");
    EXPECT_EQ(boxes.Flags[0], 0x10u);
    EXPECT_FALSE(std::filesystem::exists("OVER.DAT"));
}

TEST_F(DictCreate, RefusedDescriptionsCreateNothing) {
    B().AddFile("NOKEYS.DAT");
    B().AddFields("NOKEYS.DAT", {{"A", 3, 4}});
    B().AddFile("NOKEYT.DAT"); // follows in key order, with keys of its own
    B().AddFields("NOKEYT.DAT", {{"A", 3, 4}});
    B().AddSegments("NOKEYT.DAT", {{"A", 0}});
    B().AddFile("BADSEG.DAT");
    B().AddFields("BADSEG.DAT", {{"Code", 3, 4}});
    B().AddSegments("BADSEG.DAT", {{"code", 0}});
    B().AddFields("NOENTRY.DAT", {{"A", 3, 4}});
    B().AddSegments("NOENTRY.DAT", {{"A", 0}});
    B().AddFile("BADTYPE.DAT");
    B().AddFields("BADTYPE.DAT", {{"A", 40, 4}});
    B().AddSegments("BADTYPE.DAT", {{"A", 0}});
    B().AddFile("BADLEN.DAT"); // a damaged length: it would place the key before the record
    B().AddFields("BADLEN.DAT", {{"A", 3, -4}, {"B", 3, 4}});
    B().AddSegments("BADLEN.DAT", {{"B", 0}});

    ScriptedBoxes boxes;
    EXPECT_THROW(B().Dict().CreateFile("NOKEYS.DAT"), EAbort);
    EXPECT_THROW(B().Dict().CreateFile("BADSEG.DAT"), EAbort);
    EXPECT_THROW(B().Dict().CreateFile("NOENTRY.DAT"), EAbort);
    EXPECT_THROW(B().Dict().CreateFile("BADTYPE.DAT"), EAbort);
    EXPECT_THROW(B().Dict().CreateFile("BADLEN.DAT"), EAbort);
    ASSERT_EQ(boxes.Asked.size(), 4u); // no file entry: no message
    EXPECT_EQ(boxes.Asked[0], "Ошибка: Файлы без индексов не поддерживаются");
    EXPECT_EQ(boxes.Asked[1], "Ошибка: Поле индекса \"code\" не найдено среди полей");
    EXPECT_NE(boxes.Asked[2].find("40"), std::string::npos);
    EXPECT_EQ(boxes.Asked[3], "Ошибка: Неверная длина -4 поля \"A\"");
    for (const char* f : {"NOKEYS.DAT", "BADSEG.DAT", "NOENTRY.DAT", "BADTYPE.DAT", "BADLEN.DAT"})
        EXPECT_FALSE(std::filesystem::exists(f)) << f;
}

TEST_F(DictCreate, ADictionaryNeverOpenedRaisesBeforeAsking) {
    B().AddFile("OLD.DAT");
    B().AddFields("OLD.DAT", {{"A", 3, 4}});
    B().AddSegments("OLD.DAT", {{"A", 0}});
    { std::ofstream("OLD.DAT") << "old"; }
    ScriptedBoxes boxes;
    TDictFile closed(FDir.File("DICT.DAT"));
    try {
        closed.CreateFile("OLD.DAT");
        FAIL();
    } catch (const EBtrieve& e) {
        EXPECT_EQ(e.Error(), 3); // file not open
        EXPECT_EQ(e.FileName(), FDir.File("DICT.DAT"));
    }
    EXPECT_EQ(closed.Status(), 3);
    EXPECT_TRUE(boxes.Asked.empty());
    EXPECT_EQ(std::filesystem::file_size("OLD.DAT"), 3u);
}

TEST_F(DictCreate, OverwriteQuestion) {
    B().AddFile("OLD.DAT");
    B().AddFields("OLD.DAT", {{"A", 3, 4}});
    B().AddSegments("OLD.DAT", {{"A", 0}});
    B().AddFile("KEEP.DAT");
    B().AddFields("KEEP.DAT", {{"A", 3, 4}});
    { std::ofstream("OLD.DAT") << "old"; }
    { std::ofstream("KEEP.DAT") << "keep"; }

    ScriptedBoxes boxes(IDNO);
    EXPECT_THROW(B().Dict().CreateFile("OLD.DAT"), EAbort);
    EXPECT_EQ(std::filesystem::file_size("OLD.DAT"), 3u);

    boxes.Answer(IDYES); // Yes, then a failed check: the old file stays
    EXPECT_THROW(B().Dict().CreateFile("KEEP.DAT"), EAbort);
    EXPECT_EQ(std::filesystem::file_size("KEEP.DAT"), 4u);

    B().Dict().CreateFile("OLD.DAT"); // Yes: replaced by a real, empty file
    EXPECT_EQ(StatOf("OLD.DAT").RecordLen, 4);
}

} // namespace
} // namespace btr
