// Builds dictionaries on the embedded engine for the tests.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/dictfile.h"
#include "engine/btrfile.h"
#include "platform/ui.h"
#include "tests/support/tempdir.h"

namespace btr::test {

struct FieldSpec {
    std::string name;
    int32_t type;
    int32_t length;
};

struct SegmentSpec {
    std::string field;
    uint16_t flags;
};

// Answers every message box with `answer` and records what was asked.
class ScriptedBoxes {
public:
    explicit ScriptedBoxes(int answer = IDYES) : FAnswer(answer) {
        FOld = SetMessageBoxHandler([this](const std::string& text, const std::string& caption, uint32_t flags) {
            Asked.push_back(caption + ": " + text);
            Flags.push_back(flags);
            return FAnswer;
        });
    }
    ~ScriptedBoxes() { SetMessageBoxHandler(FOld); }
    void Answer(int answer) { FAnswer = answer; }

    std::vector<std::string> Asked;
    std::vector<uint32_t> Flags;

private:
    int FAnswer;
    TMessageBoxHandler FOld;
};

// A dictionary file, created empty (or one that exists) and held open for
// adding entries.
class DictBuilder {
public:
    explicit DictBuilder(const std::string& path, bool create = true) : FDict(path) {
        if (create) FDict.CreateFile();
        FDict.SetActive(true);
    }

    TDictFile& Dict() { return FDict; }

    void AddFile(const std::string& name, const std::string& owner = "", uint16_t flags = 0,
                 int32_t pageSize = 1024) {
        Entry(etFile, owner, 0, name, flags, 0, pageSize);
    }
    void AddFields(const std::string& file, const std::vector<FieldSpec>& fields) {
        for (const auto& f : fields) Entry(etField, file, FNumber++, f.name, static_cast<uint16_t>(f.type), 0, f.length);
    }
    void AddSegments(const std::string& file, const std::vector<SegmentSpec>& segments) {
        for (const auto& s : segments) Entry(etKeySegment, file, FNumber++, s.field, 0, s.flags, 0);
    }

private:
    void Entry(int16_t etype, const std::string& owner, int32_t number, const std::string& name, uint16_t itype,
               uint16_t keyFlags, int32_t length) {
        FDict.Buff.Clear();
        FDict.Buff.EType = etype;
        FDict.Buff.SetOwner(owner);
        FDict.Buff.Number = number;
        FDict.Buff.SetName(name);
        FDict.Buff.IType = itype;
        FDict.Buff.KeyFlags = keyFlags;
        FDict.Buff.Length = length;
        FDict.Insert();
    }

    TDictFile FDict;
    int32_t FNumber = 1;
};

// A test inside a directory of its own with an empty dictionary DICT.DAT:
// the dictionary names data files without a directory, so they are made here.
class DictDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        FOldDir = std::filesystem::current_path();
        std::filesystem::current_path(FDir.Path());
        FBuilder = std::make_unique<DictBuilder>(FDir.File("DICT.DAT"));
    }
    void TearDown() override {
        FBuilder.reset();
        std::filesystem::current_path(FOldDir);
    }

    TempDir FDir;
    std::filesystem::path FOldDir;
    std::unique_ptr<DictBuilder> FBuilder;
};

// Inserts `rec` byte for byte into `file`, bypassing any dataset.
inline void InsertRaw(const std::string& file, std::vector<uint8_t> rec) {
    TBtrieveFile f;
    f.SetFileName(file);
    f.SetDataBuffer(rec.data(), static_cast<uint16_t>(rec.size()));
    f.SetActive(true);
    f.Insert();
}

// The first `len` stored bytes of the record of `file` whose key 0, a Longint,
// is `code`.
inline std::vector<uint8_t> ReadRaw(const std::string& file, size_t len, int32_t code) {
    std::vector<uint8_t> rec(len, 0);
    TBtrieveFile f;
    f.SetFileName(file);
    f.SetDataBuffer(rec.data(), static_cast<uint16_t>(len));
    f.SetActive(true);
    f.MakeKey({&code});
    f.Get(5, 0);
    EXPECT_EQ(f.Status(), 0) << "record " << code;
    return rec;
}

} // namespace btr::test
