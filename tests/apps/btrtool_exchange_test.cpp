// The vendor's exchange formats through btrtool: sequential record files
// saved and loaded, description files, the statistics report, the SQL
// catalog, and copies through a second engine.
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "apps/common/dictionary.h"
#include "platform/endian.h"
#include "tests/apps/tool_runner.h"

namespace btr::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

namespace fs = std::filesystem;

// A sequential file of these records, as the vendor's utility writes it.
std::string Seq(const std::vector<std::string>& records, const std::string& sep = ",", const std::string& eol = "\r\n",
                const std::string& end = "\x1A") {
    std::string out;
    for (const std::string& r : records) out += std::to_string(r.size()) + sep + r + eol;
    return out + end;
}

std::string Int32(int32_t v) {
    std::string s(4, '\0');
    WriteLE<int32_t>(s.data(), v);
    return s;
}

std::string Int16(int16_t v) {
    std::string s(2, '\0');
    WriteLE<int16_t>(s.data(), v);
    return s;
}

// Text padded with `pad` (or cut) to `n` bytes.
std::string Fit(std::string s, size_t n, char pad = ' ') {
    s.resize(n, pad);
    return s;
}

// A 10-byte record: a 4-byte id, then 6 bytes of text.
std::string Rec(int32_t id, const std::string& text) { return Int32(id) + Fit(text, 6); }

// Key 0 the id, key 1 the text (duplicates, no case).
const char* kFixed = "record=10 variable=n key=2 page=1024\n"
                     "position=1 length=4 duplicates=n modifiable=n type=integer segment=n\n"
                     "position=5 length=6 duplicates=y modifiable=y type=string caseinsensitive=y segment=n\n";

// An 8-byte fixed part (the id twice over) and a variable part.
const char* kVariable = "record=8 variable=y key=1 page=4096\n"
                        "position=1 length=4 duplicates=n modifiable=n type=integer segment=n\n";

// Runs a shell script in the directory; "BT" stands for btrtool.
ToolResult Shell(const ToolRunner& t, std::string script) {
    for (size_t at; (at = script.find("BT")) != std::string::npos;) script.replace(at, 2, "'" BTRTOOL "'");
    const std::string cmd = "cd '" + t.Dir().Path().string() + "' && (" + script + ") 2>'" + t.File(".stderr") + "'";
    ToolResult r;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
    const int raw = pclose(p);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.err = t.Read(".stderr");
    return r;
}

class Exchange : public ::testing::Test {
protected:
    // Creates FILE from a description; fails the test when it cannot.
    void Create(const std::string& file, const std::string& description) {
        T.Write(file + ".desc", description);
        const ToolResult r = T.Run("create " + file + " --description " + file + ".desc");
        ASSERT_EQ(r.status, 0) << r.err;
    }
    void Load(const std::string& file, const std::string& seq) {
        T.Write("load.seq", seq);
        const ToolResult r = T.Run("load " + file + " load.seq");
        ASSERT_EQ(r.status, 0) << r.err;
    }
    std::string Save(const std::string& file, const std::string& options = "") {
        const ToolResult r = T.Run("save " + file + " - " + options);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }
    std::string Describe(const std::string& file, const std::string& options = "") {
        const ToolResult r = T.Run("describe " + file + " " + options);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }
    // The description without its first line, which names the file.
    std::string Layout(const std::string& file, const std::string& options = "") {
        const std::string d = Describe(file, options);
        return d.substr(std::min(d.size(), d.find('\n') + 1));
    }
    // SRC.DAT for the copies: a variable-length file with an alternate
    // collating sequence, a duplicate key and long variable parts. Answers
    // its records as a sequential file.
    std::string MakeCopySource() {
        WriteUpperAcs("upper.alt");
        Create("SRC.DAT", std::string("record=8 variable=y key=2 page=2048 allocation=3\n"
                                      "position=1 length=4 duplicates=n modifiable=n type=integer segment=n\n"
                                      "position=5 length=4 duplicates=y modifiable=y type=string alternate=y segment=n\n"
                                      "name=upper.alt\n"));
        std::string tail(100000, '\0');
        for (size_t i = 0; i < tail.size(); ++i) tail[i] = static_cast<char>(i * 7);
        const std::string seq = Seq({Int32(2) + "abcd" + tail, Int32(1) + "ABCD", Int32(3) + "\xE0\x88\r\n" + tail.substr(5)});
        Load("SRC.DAT", seq);
        return seq;
    }
    // An alternate collating sequence that folds a-z onto A-Z.
    void WriteUpperAcs(const std::string& name) {
        std::string acs = "\xAC" "UPPER   ";
        for (int c = 0; c < 256; ++c) acs += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
        T.Write(name, acs);
    }

    ToolRunner T;
};

TEST_F(Exchange, TheTwoRecordExampleLoadsAndSavesAsItIs) {
    Create("SIX.DAT", "record=6 variable=n key=0 page=512\n");
    const std::string example("6,ABC\0\0\x01\r\n6,XY    \r\n\x1A", 21);
    Load("SIX.DAT", example);
    EXPECT_EQ(Save("SIX.DAT"), example);
    // A blank separates length and data as well as a comma.
    Create("SIX2.DAT", "record=6 variable=n key=0 page=512\n");
    Load("SIX2.DAT", std::string("6 ABC\0\0\x01\r\n6 XY    \r\n\x1A", 21));
    EXPECT_EQ(Save("SIX2.DAT"), example);
}

TEST_F(Exchange, SaveLoadAndDescribeCreateKeepEveryByte) {
    const std::string cyr1251 = "\xC8\xE2\xE0\xED\xEE\xE2", cyr866 = "\x88\xA2\xA0\xAD\xAE\xA2";
    const std::string awkward("\r\n\0\x1A\r", 5);
    auto big = [](size_t n) {
        std::string s(n, '\0');
        for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>("\r\n\x1A\0\xE0\x88z"[i % 7]);
        return s;
    };
    struct Case {
        const char* name;
        const char* description;
        std::vector<std::string> records;
    } cases[] = {
        {"fixed", kFixed,
         {Rec(3, cyr1251), Rec(1, cyr866), Rec(2, awkward), Rec(-7, std::string(6, '\0')), Rec(9, "\x1A\x1A\r\n\r\n")}},
        {"variable", kVariable,
         {Int32(5) + Int32(5), Int32(1) + Int32(1) + cyr1251 + awkward + cyr866,
          Int32(2) + Int32(2) + big(16001),  // past one chunk
          Int32(4) + Int32(4) + big(65527),  // exactly what one request moves
          Int32(3) + Int32(3) + big(200000)}}, // far past it
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string seq = Seq(c.records);
        Create("A.DAT", c.description);
        Load("A.DAT", seq);
        EXPECT_EQ(Save("A.DAT"), seq); // physical order is the order loaded

        // A file made from A's description takes A's records back.
        T.Write("a.desc", Describe("A.DAT"));
        ASSERT_EQ(T.Run("create B.DAT --description a.desc").status, 0);
        EXPECT_EQ(Layout("B.DAT"), Layout("A.DAT"));
        T.Write("a.seq", Save("A.DAT"));
        ASSERT_EQ(T.Run("load B.DAT a.seq").status, 0);
        EXPECT_EQ(Save("B.DAT"), seq);
        for (const char* f : {"A.DAT", "B.DAT"}) fs::remove(T.File(f));
    }
}

TEST_F(Exchange, SaveAlongAKeyAndWhatANullKeyLeavesOut) {
    Create("K.DAT", std::string(kFixed).replace(std::string(kFixed).find("key=2"), 5, "key=3") +
                        "position=5 length=2 duplicates=y modifiable=y type=string nullkey=allsegs value=20 segment=n\n");
    Load("K.DAT", Seq({Rec(3, "cc"), Rec(1, "  "), Rec(2, "AA"), Rec(4, "bb")}));
    EXPECT_EQ(Save("K.DAT", "--key 0"), Seq({Rec(1, "  "), Rec(2, "AA"), Rec(3, "cc"), Rec(4, "bb")}));
    EXPECT_EQ(Save("K.DAT", "--key 1"), Seq({Rec(1, "  "), Rec(2, "AA"), Rec(4, "bb"), Rec(3, "cc")}));
    EXPECT_THAT(T.Run("save K.DAT k1.seq --key 1").err, Not(HasSubstr("null")));
    const ToolResult nullKey = T.Run("save K.DAT k2.seq --key 2");
    EXPECT_EQ(nullKey.status, 0) << nullKey.err;
    EXPECT_EQ(T.Read("k2.seq"), Seq({Rec(2, "AA"), Rec(4, "bb"), Rec(3, "cc")}));
    EXPECT_THAT(nullKey.err, HasSubstr("key 2 has a null value"));
    EXPECT_THAT(nullKey.err, HasSubstr("(3 of 4)"));
    const ToolResult noKey = T.Run("save K.DAT k3.seq --key 3");
    EXPECT_EQ(noKey.status, 2);
    EXPECT_FALSE(fs::exists(T.File("k3.seq")));
}

TEST_F(Exchange, ABadRecordStopsTheLoadAndNothingIsLoaded) {
    Create("T.DAT", kFixed);
    Load("T.DAT", Seq({Rec(1, "first")}));
    const std::string before = Save("T.DAT");
    const std::string ten = Rec(2, "second"), other = Rec(3, "third");
    struct Case {
        std::string input;
        const char* why;
    } cases[] = {
        {"10," + ten + "x\r\n\x1A", "record 1 at byte 0: no CR LF after the 10 bytes"},   // longer data than its length
        {"10," + ten + "10," + other + "\r\n\x1A", "record 1 at byte 0: no CR LF"},         // no CR LF
        {"10," + ten + "\r\n10," + ten.substr(0, 5), "record 2 at byte 15: the length says 10 bytes, the file ends after 5"},
        {"10;" + ten + "\r\n\x1A", "the length 10 is followed by ';'"},
        {"x\r\n\x1A", "a record starts with its length in digits, not 'x'"},
        {"12345678901234567890," + ten, "more than 18 digits"},
        {Seq({ten, Rec(1, "again")}), "record 2 at byte 15: "},                              // duplicate id 1
        {Seq({ten, Rec(4, "short").substr(0, 9)}), "record 2 at byte 15: 9 bytes; T.DAT holds records of 10 bytes"},
        {Seq({ten, ten + "x"}), "11 bytes; T.DAT holds records of 10 bytes (a record is neither cut nor padded)"},
        {Seq({ten}) + "\r\n10," + other + "\r\n", "data after the end-of-file mark (0x1A): '1'"},
    };
    for (const Case& c : cases) {
        T.Write("bad.seq", c.input);
        const ToolResult r = T.Run("load T.DAT bad.seq");
        EXPECT_EQ(r.status, 1) << c.why;
        EXPECT_THAT(r.err, HasSubstr(c.why));
        EXPECT_THAT(r.err, HasSubstr("nothing was loaded"));
        EXPECT_EQ(Save("T.DAT"), before) << c.why;
    }
    // The duplicate names the engine's status.
    T.Write("dup.seq", Seq({Rec(1, "again")}));
    EXPECT_THAT(T.Run("load T.DAT dup.seq").err, HasSubstr("(5)"));
}

TEST_F(Exchange, LenientInputsAreLoadedAndSaid) {
    const std::vector<std::string> records = {Rec(1, "one"), Rec(2, "two\r\n")};
    struct Case {
        std::string input;
        const char* said; // on standard error, or "" for nothing
    } cases[] = {
        {Seq(records, ",", "\r\n", ""), "has no end-of-file mark (0x1A)"},
        {Seq(records, ",", "\n"), "2 record(s) of load.seq end with LF alone"},
        {Seq(records, " "), ""},
        {Seq(records) + "\x1A\r\n\x1A", ""}, // padding after the mark
    };
    for (const Case& c : cases) {
        Create("L.DAT", kFixed);
        T.Write("load.seq", c.input);
        const ToolResult r = T.Run("load L.DAT load.seq");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_THAT(r.out, HasSubstr("Loaded 2 record(s)"));
        if (*c.said) EXPECT_THAT(r.err, HasSubstr(c.said));
        else EXPECT_EQ(r.err, "");
        EXPECT_EQ(Save("L.DAT"), Seq(records));
        fs::remove(T.File("L.DAT"));
    }
}

TEST_F(Exchange, SkipErrorsSetsTheRefusedRecordsAside) {
    Create("S.DAT", kFixed);
    const std::string shortRec = Rec(7, "x").substr(0, 8), dup = Rec(1, "dup");
    T.Write("in.seq", Seq({Rec(1, "one"), shortRec, dup, Rec(2, "two")}));
    const ToolResult r = T.Run("load S.DAT in.seq --skip-errors rej.seq");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("Loaded 2 record(s) into S.DAT; 2 refused, in rej.seq"));
    EXPECT_THAT(r.err, HasSubstr("record 2 at byte 15: 8 bytes"));
    EXPECT_THAT(r.err, HasSubstr("record 3 at byte 27: "));
    EXPECT_EQ(T.Read("rej.seq"), Seq({shortRec, dup}));
    EXPECT_EQ(Save("S.DAT"), Seq({Rec(1, "one"), Rec(2, "two")}));

    // A file that cannot be read on stops even so, and leaves no reject file.
    T.Write("broken.seq", Seq({Rec(5, "five"), shortRec}, ",", "\r\n", "") + "10,abc");
    const ToolResult broken = T.Run("load S.DAT broken.seq --skip-errors rej2.seq");
    EXPECT_EQ(broken.status, 1);
    EXPECT_THAT(broken.err, HasSubstr("nothing was loaded"));
    EXPECT_FALSE(fs::exists(T.File("rej2.seq")));
    EXPECT_EQ(Save("S.DAT"), Seq({Rec(1, "one"), Rec(2, "two")}));
}

TEST_F(Exchange, StandardStreamsOwnerNamesAndReplacing) {
    Create("A.DAT", kFixed);
    Load("A.DAT", Seq({Rec(1, "one"), Rec(2, "two")}));
    ASSERT_EQ(T.Run("copy A.DAT O.DAT --owner Secret").status, 0);
    Create("B.DAT", kFixed);
    const ToolResult piped = Shell(T, "BT save O.DAT - --owner Secret | BT load B.DAT -");
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_THAT(piped.err, HasSubstr("Saved 2 record(s) of O.DAT to standard output"));
    EXPECT_EQ(Save("B.DAT"), Save("A.DAT"));
    EXPECT_THAT(T.Run("save O.DAT o.seq").err, HasSubstr("(51)"));
    EXPECT_FALSE(fs::exists(T.File("o.seq")));

    // An output file is replaced only when the answer is yes.
    T.Write("out.seq", "keep");
    EXPECT_EQ(T.Run("save A.DAT out.seq").status, 1);
    EXPECT_EQ(T.Read("out.seq"), "keep");
    EXPECT_EQ(T.Run("save A.DAT out.seq --yes").status, 0);
    EXPECT_EQ(T.Read("out.seq"), Save("A.DAT"));
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(T.Dir().Path())) names.push_back(e.path().filename().string());
    EXPECT_THAT(names, Not(::testing::Contains(::testing::StartsWith(".out.seq"))));
}

TEST_F(Exchange, EveryDescriptionElementIsReadAndWhatIsNotHonouredSaid) {
    WriteUpperAcs("upper.alt");
    Create("E.DAT",
           "/* every element,\n   in order */\n"
           "RECORD=64 variable=y dupkey=4 truncate=y compress=y key=3 page=1024\n"
           "allocation=10 replace=y data=n fthreshold=20 huge=y balance=y usekeynum=y sysdataonrecord=loggable\n"
           "keynum=0 position=1 length=4 duplicates=n modifiable=n type=Integer descending=y alternate=n\n"
           "  caseinsensitive=n repeatdup=n manual=n null=n segment=n\n"
           "keynum=1 position=5 length=10 duplicates=y modifiable=y type=str alternate=y caseinsensitive=y\n"
           "  nullkey=allsegs value=20 segment=y\n"
           "keynum=1 position=15 length=2 duplicates=y modifiable=y type=Unsigned Binary alternate=n\n"
           "  nullkey=allsegs value=0x20 segment=n\n"
           "name=upper.alt\n"
           "position=17 length=8 duplicates=y modifiable=n type=flo alternate=y manual=y value=00 segment=n\n"
           "countryid=-1 codepageid=-1\n");
    const ToolResult again = T.Run("create E.DAT --description E.DAT.desc"); // replace=y: no question
    EXPECT_EQ(again.status, 0) << again.err;
    for (const char* note : {"line 3: dupkey=4: not honoured", "line 3: truncate=y: not honoured",
                             "line 3: compress=y: not honoured", "line 4: data=n: not honoured",
                             "line 4: fthreshold=20: not honoured", "line 4: huge=y: not honoured",
                             "line 4: balance=y: not honoured", "line 4: sysdataonrecord=loggable: not honoured",
                             "line 6: repeatdup=n: not honoured",
                             "line 13: countryid=-1 codepageid=...: not honoured: btrkit's engine has no such "
                             "collating sequence; key 2 orders its bytes as they are"})
        EXPECT_THAT(again.err, HasSubstr(std::string("E.DAT.desc, ") + note));
    EXPECT_EQ(std::count(again.err.begin(), again.err.end(), '\n'), 10);
    EXPECT_EQ(Describe("E.DAT"),
              "/* E.DAT, described by btrtool */\n"
              "record=64 variable=y\n"
              "key=3 page=1024 allocation=10\n"
              "position=1 length=4 duplicates=n modifiable=n type=integer descending=y alternate=n "
              "caseinsensitive=n segment=n\n"
              "position=5 length=10 duplicates=y modifiable=y type=string descending=n alternate=y "
              "caseinsensitive=y nullkey=allsegs value=20 segment=y\n"
              "position=15 length=2 duplicates=y modifiable=y type=unsigned descending=n alternate=n "
              "caseinsensitive=n nullkey=allsegs value=20 segment=n\n"
              "position=17 length=8 duplicates=y modifiable=n type=float descending=n alternate=n "
              "caseinsensitive=n nullkey=anyseg value=00 segment=n\n"
              "name=upper.alt\n");
}

TEST_F(Exchange, TheVendorsSampleDescriptionAndItsCollatingSequence) {
    WriteUpperAcs("upper.alt");
    Create("S.DAT", "/* sample: 98-byte fixed part, variable-length, compressed */\n"
                    "record=98 variable=y truncate=n compress=y key=2 page=512\n"
                    "allocation=100 replace=n fthreshold=20 vats=y\n"
                    "position=1 length=5 duplicates=y modifiable=n type=string\n"
                    "  alternate=y segment=y\n"
                    "position=6 length=10 duplicates=y modifiable=n type=string\n"
                    "  alternate=y segment=n\n"
                    "position=16 length=2 duplicates=n modifiable=y type=integer\n"
                    "  alternate=n segment=n\n"
                    "name=upper.alt\n");
    // The collating sequence orders key 0: lower and upper case meet.
    const std::string fixed = std::string(98, ' ');
    auto rec = [&](const std::string& head, int16_t n) { return Fit(head, 15) + Int16(n) + fixed.substr(17); };
    Load("S.DAT", Seq({rec("bbbbb", 1), rec("AAAAA", 2), rec("aaaab", 3)}));
    EXPECT_EQ(Save("S.DAT", "--key 0"), Seq({rec("AAAAA", 2), rec("aaaab", 3), rec("bbbbb", 1)}));
    fs::create_directory(T.File("out"));
    const ToolResult d = T.Run("describe S.DAT out/s.desc");
    EXPECT_EQ(d.status, 0) << d.err;
    EXPECT_THAT(d.out, HasSubstr("Its collating sequence is in out/upper.alt"));
    EXPECT_EQ(T.Read("out/upper.alt"), T.Read("upper.alt"));
    EXPECT_THAT(T.Read("out/s.desc"), HasSubstr("key=2 page=512 allocation=100\n"));
    ASSERT_EQ(T.Run("create S2.DAT --description out/s.desc").status, 0);
    EXPECT_EQ(Layout("S2.DAT"), Layout("S.DAT"));
}

TEST_F(Exchange, ABadDescriptionCreatesNothing) {
    WriteUpperAcs("upper.alt");
    WriteUpperAcs("other.alt");
    T.Write("lower.alt", std::string("\xAC" "LOWER   ") + std::string(256, 'x'));
    const std::string head = "record=10 variable=n key=1 page=512\n";
    const std::string seg = "position=1 length=4 duplicates=n modifiable=n type=integer segment=n\n";
    struct Case {
        std::string text;
        const char* why;
    } cases[] = {
        {"key=1 record=10 variable=n page=512\n" + seg, "line 1: record=10: comes after key=; file elements go in the order record, variable"},
        {"record=10 record=10\n", "line 1: record=10: given twice"},
        {head + "position=1 type=integer length=4 duplicates=n modifiable=n segment=n\n", "line 2: length=4: comes after type="},
        {head + "position=1 length=4 duplicates=n modifiable=n type=integer\n", "line 2: this segment has no segment="},
        {head + seg + seg, "line 1: key=1, but the description defines 2 key(s)"},
        {head + "colour=blue\n", "line 2: unknown element \"colour=\""},
        {head + "position=1 length=4 duplicates=maybe modifiable=n type=integer segment=n\n", "line 2: duplicates=maybe: wants y or n"},
        {head + "position=1 length=4 duplicates=n modifiable=n type=quux segment=n\n", "line 2: type=quux: unknown key type \"quux\""},
        {head + "position=1 length=4 duplicates=n modifiable=n type=numericsl segment=n\n", "line 2: type=numericsl: \"numericsl\" may be numericslb, numericsls"},
        {head + "position=1 length=4 duplicates=n modifiable=n type=money segment=n\n", "line 2: type=money: btrkit's engine has no money keys"},
        {head + "position=1 length=4 duplicates=n modifiable=n type=integer nullkey=allsegs segment=n\n", "line 2: segment=n: ends the segment begun at line 2, whose null key needs value="},
        {head + "position=8 length=4 duplicates=n modifiable=n type=integer segment=n\n", "line 2: position=8 length=4 reaches past the record's 10 bytes"},
        {head + "position=1 length=4 duplicates=n modifiable=n type=integer alternate=y segment=n\n", "line 2: alternate=y, but no collating sequence is named"},
        {"record=10 variable=n key=2 page=512\n"
         "position=1 length=4 duplicates=n modifiable=n type=string alternate=y segment=n\nname=upper.alt\n"
         "position=5 length=4 duplicates=n modifiable=n type=string alternate=y segment=n\nname=lower.alt\n",
         "line 5: name=lower.alt: key 1's collating sequence differs from the one at line 3"},
        {"/* open\n" + head + seg, "line 1: the comment block /* ... is not closed"},
        {head + "position=1 length=4 duplicates=n\x01 modifiable=n type=integer segment=n\n", "line 2: byte 0x01 is not plain text"},
        {head + "position=1 length=4 duplicates=n modifiable=n type=integer segment=y\n", "line 2: the last segment says segment=y"},
        {"record=10 variable=n key=1 page=512 usekeynum=y\nkeynum=1 " + seg, "line 2: keynum=1: keys are numbered in the order they are given here: this would be key 0"},
        {"record = 10 variable=n key=1 page=512\n" + seg, "line 1: \"record\" is not an element"},
        {head + seg + "name=none.alt\n", "line 3: name=none.alt: Cannot open file"},
        {"record=10 variable=n key=1\n" + seg, "line 2: the key segments begin, but the description has no page="},
        {"record=10 variable=n key=1 page=1000\n" + seg, "line 1: page=1000: a page is a multiple of 512 bytes"},
        {"record=10 variable=n key=1 page=512\n"
         "position=1 length=4 duplicates=n modifiable=n type=integer segment=y\n"
         "position=5 length=4 duplicates=y modifiable=n type=integer segment=n\n",
         "line 3: this segment's duplicates=, modifiable= or null key differ from those of its key's first segment (line 2)"},
        {head + seg + "page=512\n", "line 3: page=512: a file element goes before the first key segment"},
        {head + "position=1 length=4 duplicates=n modifiable=n type=integer null=y nullkey=allsegs value=20 segment=n\n",
         "line 2: nullkey=allsegs: nullkey= and manual=/null= say the same thing"},
        {head + "position=1 length=4 duplicates=n modifiable=n type=integer segment=n name=upper.alt name=other.alt\n",
         "line 2: name=other.alt: a collating sequence was already given at line 2"},
    };
    for (const Case& c : cases) {
        T.Write("bad.desc", c.text);
        const ToolResult r = T.Run("create X.DAT --description bad.desc");
        EXPECT_EQ(r.status, 1) << c.text;
        EXPECT_THAT(r.err, HasSubstr("bad.desc, " + std::string(c.why))) << c.text;
        EXPECT_THAT(r.err, HasSubstr("nothing was created"));
        EXPECT_FALSE(fs::exists(T.File("X.DAT"))) << c.text;
    }
}

TEST_F(Exchange, AnExistingFileIsReplacedWhenTheDescriptionOrTheUserSays) {
    Create("R.DAT", kFixed);
    Load("R.DAT", Seq({Rec(1, "kept")}));
    const std::string keep = Save("R.DAT");
    T.Write("n.desc", std::string("record=10 variable=n key=0 page=512 replace=n\n"));
    T.Write("ask.desc", std::string("record=10 variable=n key=0 page=512\n"));
    EXPECT_THAT(T.Run("create R.DAT --description n.desc --yes").err, HasSubstr("says replace=n"));
    EXPECT_EQ(T.Run("create R.DAT --description ask.desc").status, 1); // no terminal: no
    EXPECT_EQ(Save("R.DAT"), keep);
    EXPECT_EQ(T.Run("create R.DAT --description ask.desc --yes").status, 0);
    EXPECT_EQ(Save("R.DAT"), Seq({}));
}

TEST_F(Exchange, TheStatisticsReportFollowsTheVendorsLayout) {
    Create("CUSTOMER.DAT", std::string("record=20 variable=n key=2 page=4096\n"
                                       "position=1 length=4 duplicates=n modifiable=n type=integer segment=n\n"
                                       "position=9 length=6 duplicates=y modifiable=y type=zstring descending=n "
                                       "caseinsensitive=y nullkey=allsegs value=00 segment=y\n"
                                       "position=5 length=4 duplicates=y modifiable=y type=integer descending=y "
                                       "nullkey=allsegs value=00 segment=n\n"));
    auto rec = [](int32_t id, const std::string& name, int32_t n) { return Int32(id) + Int32(n) + Fit(name, 12, '\0'); };
    Load("CUSTOMER.DAT", Seq({rec(1, "ann", 5), rec(2, "ANN", 5), rec(3, "bob", 5), rec(4, "", 0)}));
    const ToolResult r = T.Run("stat CUSTOMER.DAT --format butil");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "**************************************************\n"
                     "File Statistics for CUSTOMER.DAT\n\n"
                     "File Version = 1.00\n"
                     "Page Size = 4096\n"
                     "Page Preallocation = No\n"
                     "Key Only = No\n"
                     "Extended = No\n\n"
                     "Total Number of Records = 4\n"
                     "Record Length = 20\n"
                     "Record Compression = No\n"
                     "Variable Records = No\n\n"
                     "Available Linked Duplicate Keys = 0\n"
                     "Balanced Key = No\n"
                     "Log Key = None\n"
                     "System Data = No\n"
                     "Total Number of Keys = 2\n"
                     "Total Number of Segments = 3\n\n"
                     "Key  Segment Position Length  Type  Flags Null Values*  Unique  ACS Values\n"
                     "0    1        1        4      Integer --   --              4      0\n"
                     "1    1        9        6      Zstring MDIL 00              2      0\n"
                     "1    2        5        4      Integer MD<L 00              2      0\n");
    EXPECT_EQ(T.Run("stat CUSTOMER.DAT --format xml").status, 2);
}

// The SQL catalog: FILE.DDF, FIELD.DDF and INDEX.DDF made as the vendor's
// are, filled with records in their layouts.
class Catalog : public Exchange {
protected:
    void SetUp() override {
        Create("FILE.DDF", "record=97 variable=n key=2 page=4096\n"
                           "position=1 length=2 duplicates=n modifiable=n type=integer segment=n\n"
                           "position=3 length=20 duplicates=n modifiable=n type=string caseinsensitive=y segment=n\n");
        Create("FIELD.DDF", "record=32 variable=n key=0 page=4096\n");
        Create("INDEX.DDF", "record=10 variable=n key=0 page=4096\n");
        ASSERT_EQ(T.Run("dict create D.DIC").status, 0);
    }
    static std::string Table(int16_t id, const std::string& name, const std::string& loc, uint8_t flags = 0) {
        return Int16(id) + Fit(name, 20) + Fit(loc, 64) + static_cast<char>(flags) + std::string(10, ' ');
    }
    static std::string Column(int16_t id, int16_t table, const std::string& name, uint8_t type, int16_t offset,
                              int16_t size, uint8_t dec = 0, int16_t flags = 0) {
        return Int16(id) + Int16(table) + Fit(name, 20) + static_cast<char>(type) + Int16(offset) + Int16(size) +
               static_cast<char>(dec) + Int16(flags);
    }
    static std::string Segment(int16_t table, int16_t column, int16_t number, int16_t part, int16_t flags) {
        return Int16(table) + Int16(column) + Int16(number) + Int16(part) + Int16(flags);
    }
    void Fill(const std::vector<std::string>& tables, const std::vector<std::string>& columns,
              const std::vector<std::string>& segments) {
        for (const char* f : {"FILE.DDF", "FIELD.DDF", "INDEX.DDF"})
            ASSERT_EQ(T.Run(std::string("create ") + f + " --description " + f + ".desc --yes").status, 0);
        Load("FILE.DDF", Seq(tables));
        Load("FIELD.DDF", Seq(columns));
        Load("INDEX.DDF", Seq(segments));
    }
};

TEST_F(Catalog, TablesBecomeDictionaryDescriptionsThatBrowseReads) {
    Fill({Table(1, "X$File", "FILE.DDF", 0x10), Table(2, "Customer", "DATA\\CUSTOMER.MKD"), Table(3, "Orders", "ORDERS.MKD")},
         {Column(10, 2, "Id", 15, 0, 4),                 // AUTOINCREMENT
          Column(11, 2, "Name", 0, 4, 20, 0, 1),         // STRING, case-insensitive
          Column(12, 2, "Balance", 5, 26, 6, 2),         // DECIMAL(11,2), after a 2-byte gap
          Column(13, 2, "Born", 3, 32, 4),               // DATE
          Column(14, 2, "Vip", 16, 36, 1, 0),            // BIT 0 ...
          Column(15, 2, "Active", 16, 36, 1, 1),         // ... and BIT 1 of the same byte
          Column(16, 2, "Price", 8, 37, 8, 2),           // NUMERIC: no dictionary type
          Column(17, 2, "Code", 11, 45, 11),             // ZSTRING
          Column(18, 2, "ByName", 255, 1, 0),            // the name of index 1, not a column
          Column(20, 3, "OrderNo", 1, 0, 4), Column(21, 3, "Customer", 1, 4, 4), Column(22, 3, "Total", 2, 8, 8)},
         {Segment(2, 10, 0, 0, 0x4000),                  // primary key, unique
          Segment(2, 11, 1, 0, 0x0001 | 0x0002 | 0x0010 | 0x0020 | 0x0080), // dup, mod, more, no case, named
          Segment(2, 13, 1, 1, 0x0001 | 0x0002 | 0x0040 | 0x0080),          // descending
          Segment(3, 20, 0, 0, 0), Segment(3, 21, 1, 0, 0x0001 | 0x0008)});  // null key
    const ToolResult r = T.Run("dict import-ddf D.DIC .");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("Added table Customer as CUSTOMER.MKD: 8 field(s), 2 key(s)"));
    EXPECT_THAT(r.out, HasSubstr("Added table Orders as ORDERS.MKD: 3 field(s), 2 key(s)"));
    EXPECT_THAT(r.out, Not(HasSubstr("X$File")));
    EXPECT_THAT(r.err, HasSubstr("table Customer, column Price: NUMERIC (8 bytes) has no dictionary type; imported as String"));
    EXPECT_THAT(r.err, HasSubstr("table Customer, columns Vip, Active: BIT has no dictionary type"));
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2);

    const ToolResult show = T.Run("dict show D.DIC CUSTOMER.MKD");
    EXPECT_EQ(show.out, "CUSTOMER.MKD: page 4096\n"
                        "  field                type           offset length\n"
                        "  Id                   Longint             0      4\n"
                        "  Name                 String              4     20\n"
                        "  Filler1              String             24      2\n"
                        "  Balance              Decimal            26      6\n"
                        "  Born                 Date               32      4\n"
                        "  Vip                  String             36      1\n"
                        "  Price                String             37      8\n"
                        "  Code                 ZString(WIN)       45     11\n"
                        "  record length 56\n"
                        "  key 0: Id (autoinc)\n"
                        "  key 1: Name + Born (dup mod desc)\n");
    std::map<std::string, std::string> remarks;
    std::map<std::string, uint16_t> flags;
    {
        TDictFile dict(T.File("D.DIC")); // closed before btrtool opens it again
        dict.SetActive(true);
        for (const apps::FileEntry& f : apps::ReadDictionary(dict)) {
            for (const apps::FieldEntry& x : f.fields) remarks[x.name] = x.remark;
            for (const apps::SegmentEntry& s : f.segments) flags[f.name + "." + s.field] = s.flags;
        }
    }
    EXPECT_EQ(remarks["Balance"], "decimal places: 2");
    EXPECT_EQ(remarks["Price"], "NUMERIC, decimal places: 2");
    EXPECT_EQ(remarks["Vip"], "BIT Vip, Active");
    EXPECT_EQ(remarks["Filler1"], "bytes 24..25 no column describes");
    EXPECT_EQ(remarks["Code"], "");
    // Engine flags, not the catalog's bits: case-insensitive is 0x0400 there.
    EXPECT_EQ(flags["CUSTOMER.MKD.Id"], kfExtType | kfAutoIncrement);
    EXPECT_EQ(flags["CUSTOMER.MKD.Name"], kfExtType | kfDuplicates | kfModifiable | kfSegmented | kfNoCase);
    EXPECT_EQ(flags["CUSTOMER.MKD.Born"], kfExtType | kfDuplicates | kfModifiable | kfDescending);
    EXPECT_EQ(flags["ORDERS.MKD.Customer"], kfExtType | kfDuplicates | kfNullAll);

    // The user's file, as the dictionary describes it, browses at once.
    ASSERT_EQ(T.Run("create D.DIC CUSTOMER.MKD").status, 0);
    const std::string born = std::string("\x07\x03", 2) + Int16(1990);
    Load("CUSTOMER.MKD", Seq({Int32(1) + Fit("Smith", 20) + "  " + std::string("\x00\x01\x23\x45\x67\x8D", 6) + born +
                              "\x03" + "00001234" + Fit("A1", 11, '\0')}));
    const ToolResult browse = T.Run("browse D.DIC CUSTOMER.MKD --format csv");
    EXPECT_EQ(browse.status, 0) << browse.err;
    EXPECT_THAT(browse.out, HasSubstr("1,Smith               ,  ,-12345678,1990-03-07,\x03,00001234,A1\n"));
}

TEST_F(Catalog, ACatalogThatCannotDescribeARecordImportsNothing) {
    const std::string customer = Table(2, "Customer", "CUSTOMER.MKD");
    const std::string id = Column(10, 2, "Id", 1, 0, 4), name = Column(11, 2, "Name", 0, 4, 20);
    struct Case {
        std::vector<std::string> tables, columns, segments;
        const char* why;
    } cases[] = {
        {{customer}, {id, name, Column(12, 2, "Over", 0, 20, 8)}, {},
         "table Customer: columns Name (offset 4, 20 bytes) and Over (offset 20) overlap"},
        {{customer, Table(3, "Other", "OTHER.MKD")}, {id, name, Column(30, 3, "X", 1, 0, 4)}, {Segment(2, 30, 0, 0, 0)},
         "table Customer: index 0 part 0 names column id 30, which is not a column of the table"},
        {{customer}, {id, name}, {Segment(2, 10, 0, 0, 0), Segment(2, 11, 0, 0, 0)}, "index 0 part 0 is defined twice"},
        {{Table(2, "Customer", "C:\\DATA\\A_VERY_LONG_NAME_FOR.MKD")}, {id}, {}, "longer than the 20 characters"},
        {{customer}, {id, Column(11, 2, "id", 0, 4, 20)}, {}, "two columns are named id"},
        {{customer}, {}, {}, "table Customer: no columns in FIELD.DDF"},
        {{customer, Table(3, "Again", "customer.mkd")}, {id, Column(30, 3, "X", 1, 0, 4)}, {},
         "tables Customer and Again both live in customer.mkd"},
    };
    for (const Case& c : cases) {
        Fill(c.tables, c.columns, c.segments);
        const ToolResult r = T.Run("dict import-ddf D.DIC .");
        EXPECT_EQ(r.status, 1) << c.why;
        EXPECT_THAT(r.err, HasSubstr(c.why));
        EXPECT_THAT(r.err, HasSubstr("nothing was imported"));
        EXPECT_THAT(T.Run("dict show D.DIC").out, HasSubstr("0 file(s)"));
    }
    EXPECT_THAT(T.Run("dict import-ddf D.DIC . --table Nobody").err, HasSubstr("the catalog has no table Nobody"));

    fs::create_directory(T.File("v2"));
    T.Write("v2/PVFILE.DDF", "");
    EXPECT_THAT(T.Run("dict import-ddf D.DIC v2").err, HasSubstr("holds a V2 catalog"));
}

TEST_F(Catalog, OnlyTheTablesAskedForAndNeverTwice) {
    Fill({Table(2, "Customer", "CUSTOMER.MKD"), Table(3, "Orders", "ORDERS.MKD")},
         {Column(10, 2, "Id", 1, 0, 4), Column(20, 3, "No", 1, 0, 4)}, {});
    const ToolResult one = T.Run("dict import-ddf D.DIC . --table orders");
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_THAT(T.Run("dict show D.DIC").out, HasSubstr("1 file(s)"));
    const ToolResult again = T.Run("dict import-ddf D.DIC .");
    EXPECT_EQ(again.status, 1);
    EXPECT_THAT(again.err, HasSubstr("ORDERS.MKD (table Orders) is already described"));
    EXPECT_THAT(T.Run("dict show D.DIC").out, HasSubstr("1 file(s)"));
}

// Copies, through btrkit's engine and through a renamed copy of it bound as
// another engine.
class Copy : public Exchange {
protected:
    void SetUp() override { fs::copy_file(WBTRV32_PATH, T.File("libother.so")); }

    // The directory's files but the lock files the engine keeps beside those it opens.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(T.Dir().Path()))
            if (e.path().extension() != ".lck") names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(Copy, ThroughASecondEngineEverythingArrives) {
    const std::string seq = MakeCopySource();
    ASSERT_EQ(T.Run("copy SRC.DAT OWNED.DAT --owner Pw").status, 0);

    const auto before = Names();
    const ToolResult r = T.Run("copy --source-engine ./libother.so OWNED.DAT DST.DAT --owner Pw");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("Copied OWNED.DAT to DST.DAT: 3 record(s), owner name set"));
    EXPECT_EQ(Save("DST.DAT", "--owner Pw"), seq);
    EXPECT_EQ(Save("DST.DAT", "--owner Pw --key 1"), Save("SRC.DAT", "--key 1"));
    EXPECT_EQ(Layout("DST.DAT", "--owner Pw"), Layout("SRC.DAT"));
    EXPECT_THAT(T.Run("stat DST.DAT").err, HasSubstr("(51)"));
    auto after = Names();
    after.erase(std::remove_if(after.begin(), after.end(), [](const std::string& n) { return n.starts_with("DST.DAT"); }),
                after.end());
    EXPECT_EQ(after, before); // DST and its engine's companions, nothing else
}

TEST_F(Copy, AFailedCopyLeavesNoDestination) {
    Create("SRC.DAT", kFixed);
    Load("SRC.DAT", Seq({Rec(1, "one")}));
    const auto before = Names();
    struct Case {
        const char* args;
        const char* why;
    } cases[] = {
        {"copy NONE.DAT DST.DAT", "(12)"},
        {"copy --source-engine ./missing.so SRC.DAT DST.DAT", "Cannot load the engine library \"./missing.so\""},
        {"copy --source-engine " NO_ENTRY_PATH " SRC.DAT DST.DAT", "exports no BTRCALLID"},
        {"copy SRC.DAT DST.DAT --owner toolongname", "(51)"},
        {"copy SRC.DAT SRC.DAT --yes", "are the same file"},
    };
    for (const Case& c : cases) {
        const ToolResult r = T.Run(c.args);
        EXPECT_EQ(r.status, 1) << c.args;
        EXPECT_THAT(r.err, HasSubstr(c.why)) << c.args;
        EXPECT_EQ(Names(), before) << c.args;
    }
    // An existing DST is replaced only when the answer is yes.
    Create("DST.DAT", kFixed);
    EXPECT_EQ(T.Run("copy SRC.DAT DST.DAT").status, 1);
    EXPECT_EQ(Save("DST.DAT"), Seq({}));
    EXPECT_EQ(T.Run("copy SRC.DAT DST.DAT --yes").status, 0);
    EXPECT_EQ(Save("DST.DAT"), Save("SRC.DAT"));
}

// ---- files on a server ---------------------------------------------------------------
//
// Run against a throwaway cluster (BTRKIT_TEST_SERVER names the file with its
// URI; the tests skip without one).

// Runs SQL in the cluster's database (the test's own connection); true when it ran.
bool ServerSql(const std::string& uri, const std::string& sql) {
    PGconn* c = PQconnectdb(uri.c_str());
    bool ok = PQstatus(c) == CONNECTION_OK;
    if (ok) {
        PGresult* r = PQexec(c, sql.c_str());
        ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
        PQclear(r);
    }
    PQfinish(c);
    return ok;
}

// Each test has a database of its own on the cluster.
class OnServer : public Exchange {
protected:
    void SetUp() override {
        const char* file = std::getenv("BTRKIT_TEST_SERVER");
        std::ifstream in(file ? file : "");
        std::getline(in, FBase);
        if (FBase.empty()) GTEST_SKIP() << "no PostgreSQL cluster";
        FDatabase = "test" + std::to_string(::getpid());
        ASSERT_TRUE(ServerSql(FBase, "CREATE DATABASE " + FDatabase));
        FUri = FBase.substr(0, FBase.rfind('/') + 1) + FDatabase;
    }
    void TearDown() override {
        if (!FDatabase.empty()) ServerSql(FBase, "DROP DATABASE IF EXISTS " + FDatabase + " WITH (FORCE)");
    }
    // A server path in the test's database.
    std::string Remote(const std::string& name) const { return FUri + "/" + name; }
    std::string FBase, FDatabase, FUri;
};

// Local to server, server to local, server to server: layout, owner name and
// every record with its variable part arrive; an existing DST is replaced only
// when asked; a copy that fails after DST was made leaves none.
TEST_F(OnServer, CopyGoesEveryWayAndDstAppearsOnlyWhole) {
    const std::string seq = MakeCopySource();
    const std::string up = Remote("UP.DAT"), across = Remote("ACROSS.DAT");
    struct Step {
        std::string from, to;
    } steps[] = {{"SRC.DAT", up}, {up, across}, {across, "BACK.DAT"}, {"BACK.DAT", "AGAIN.DAT"}};
    for (const Step& st : steps) {
        SCOPED_TRACE(st.from + " -> " + st.to);
        const ToolResult r = T.Run("copy '" + st.from + "' '" + st.to + "' --owner Pw" + (st.from == "SRC.DAT" ? "" : " --owner Pw"));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_THAT(r.out, HasSubstr("3 record(s), owner name set"));
        EXPECT_EQ(Save("'" + st.to + "'", "--owner Pw"), seq);
        EXPECT_EQ(Save("'" + st.to + "'", "--owner Pw --key 1"), Save("SRC.DAT", "--key 1"));
        EXPECT_EQ(Layout("'" + st.to + "'", "--owner Pw"), Layout("SRC.DAT"));
        EXPECT_THAT(T.Run("stat '" + st.to + "'").err, HasSubstr("(51)"));
    }
    // An existing DST on the server: left as it was unless --yes.
    Create("ONE.DAT", kFixed);
    Load("ONE.DAT", Seq({Rec(1, "one")}));
    EXPECT_EQ(T.Run("copy ONE.DAT '" + up + "'").status, 1);
    EXPECT_EQ(Save("'" + up + "'", "--owner Pw"), seq);
    ASSERT_EQ(T.Run("copy ONE.DAT '" + up + "' --yes").status, 0);
    EXPECT_EQ(Save("'" + up + "'"), Save("ONE.DAT"));
    EXPECT_EQ(T.Run("copy '" + up + "' '" + up + "' --yes").status, 1) << "a file onto itself";
    EXPECT_EQ(Save("'" + up + "'"), Save("ONE.DAT"));
    // The owner name fails once DST is made: the copy fails, and DST never appears.
    const ToolResult failed = T.Run("copy ONE.DAT '" + Remote("FAIL.DAT") + "' --owner toolongname");
    EXPECT_EQ(failed.status, 1);
    EXPECT_THAT(T.Run("stat '" + Remote("FAIL.DAT") + "'").err, HasSubstr("(12)"));
}

const char* kServerDictionary = R"(file CLIENTS.DAT page=2048
field Code Longint
field Name ZString(WIN) 21
key Code
)";

// A dictionary on the server: the files it describes are created, filled
// and read beside it, by their bare names.
TEST_F(OnServer, ADictionaryOnTheServerFindsItsFilesBesideIt) {
    const std::string dict = "'" + Remote("APP.DIC") + "'";
    T.Write("desc.txt", kServerDictionary);
    T.Write("rows.csv", "Code,Name\n1,Anna\n2,Boris\n");
    for (const std::string& cmd : {"dict create " + dict, "dict import " + dict + " desc.txt", "create " + dict + " CLIENTS.DAT",
                                   "import " + dict + " CLIENTS.DAT rows.csv"}) {
        const ToolResult r = T.Run(cmd);
        ASSERT_EQ(r.status, 0) << cmd << ": " << r.err;
    }
    EXPECT_FALSE(fs::exists(T.File("CLIENTS.DAT"))) << "made in the working directory";
    const ToolResult browse = T.Run("browse " + dict + " CLIENTS.DAT --format csv");
    ASSERT_EQ(browse.status, 0) << browse.err;
    EXPECT_EQ(browse.out, "Code,Name\n1,Anna\n2,Boris\n");
    EXPECT_EQ(T.Run("stat '" + Remote("CLIENTS.DAT") + "'").status, 0);
    // A second create asks first (and no terminal says no).
    EXPECT_EQ(T.Run("create " + dict + " CLIENTS.DAT").status, 1);
    EXPECT_EQ(T.Run("browse " + dict + " CLIENTS.DAT --format csv").out, browse.out);
}

} // namespace
} // namespace btr::test
