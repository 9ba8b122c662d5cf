#include "apps/common/descfile.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <map>
#include <stdexcept>

namespace btr::apps {

namespace {

struct Element {
    std::string keyword, value;
    int line = 0;
    std::string Text() const { return keyword + "=" + value; }
};

[[noreturn]] void Fail(int line, const std::string& why) {
    throw std::runtime_error("line " + std::to_string(line) + ": " + why);
}
[[noreturn]] void Fail(const Element& e, const std::string& why) { Fail(e.line, e.Text() + ": " + why); }

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool Space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

// Elements with their lines; an optional comment block first.
std::vector<Element> Tokenize(const std::string& text) {
    std::vector<Element> out;
    size_t at = 0;
    int line = 1;
    auto skipSpace = [&] {
        for (; at < text.size() && Space(text[at]); ++at) line += text[at] == '\n';
    };
    skipSpace();
    if (text.compare(at, 2, "/*") == 0) {
        const size_t end = text.find("*/", at + 2);
        if (end == std::string::npos) Fail(line, "the comment block /* ... is not closed");
        line += static_cast<int>(std::count(text.begin() + static_cast<long>(at), text.begin() + static_cast<long>(end), '\n'));
        at = end + 2;
    }
    for (skipSpace(); at < text.size(); skipSpace()) {
        const size_t start = at;
        while (at < text.size() && !Space(text[at])) {
            const auto c = static_cast<unsigned char>(text[at]);
            if (c < 0x20 || c >= 0x7F) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "0x%02X", c);
                Fail(line, std::string("byte ") + hex + " is not plain text (a description holds no formatting)");
            }
            ++at;
        }
        const std::string word = text.substr(start, at - start);
        const size_t eq = word.find('=');
        // STAT spells "Unsigned Binary" with a blank; take it whole.
        if (eq == std::string::npos && Lower(word) == "binary" && !out.empty() && out.back().keyword == "type" &&
            Lower(out.back().value) == "unsigned") {
            out.back().value += " " + word;
            continue;
        }
        if (eq == std::string::npos || eq == 0)
            Fail(line, "\"" + word + "\" is not an element (keyword=value, no blank around '=')");
        if (eq + 1 == word.size()) Fail(line, "\"" + word + "\" has no value");
        out.push_back({Lower(word.substr(0, eq)), word.substr(eq + 1), line});
    }
    return out;
}

constexpr std::array<const char*, 15> kFileOrder = {"record", "variable", "dupkey",     "truncate", "compress",
                                                    "key",    "page",     "allocation", "replace",  "data",
                                                    "fthreshold", "vats", "balance",    "usekeynum", "sysdataonrecord"};
constexpr std::array<const char*, 14> kSegmentOrder = {"keynum",     "position",  "length",          "duplicates",
                                                       "modifiable", "type",      "descending",      "alternate",
                                                       "caseinsensitive", "repeatdup", "manual", "null", "value",
                                                       "segment"};

template <size_t N> int Rank(const std::array<const char*, N>& order, const std::string& keyword) {
    for (size_t i = 0; i < N; ++i)
        if (keyword == order[i]) return static_cast<int>(i);
    return -1;
}

template <size_t N> std::string OrderText(const std::array<const char*, N>& order) {
    std::string out;
    for (const char* k : order) out += std::string(out.empty() ? "" : ", ") + k;
    return out;
}

long Number(const Element& e, long least, long most) {
    long v = 0;
    bool ok = !e.value.empty() && e.value.size() <= 9;
    size_t i = 0;
    const bool negative = ok && e.value[0] == '-';
    if (negative) ok = e.value.size() > 1, i = 1;
    for (; ok && i < e.value.size(); ++i) {
        ok = std::isdigit(static_cast<unsigned char>(e.value[i]));
        v = v * 10 + (e.value[i] - '0');
    }
    if (negative) v = -v;
    if (!ok || v < least || v > most)
        Fail(e, "wants a number from " + std::to_string(least) + " to " + std::to_string(most));
    return v;
}

bool YesNo(const Element& e) {
    const std::string v = Lower(e.value);
    if (v == "y" || v == "yes") return true;
    if (v == "n" || v == "no") return false;
    Fail(e, "wants y or n");
}

uint8_t HexByte(const Element& e) {
    std::string v = Lower(e.value);
    if (v.starts_with("0x")) v = v.substr(2);
    if (v.empty() || v.size() > 2 || !std::all_of(v.begin(), v.end(), ::isxdigit))
        Fail(e, "wants one byte in hexadecimal (20 for a blank)");
    return static_cast<uint8_t>(std::stoi(v, nullptr, 16));
}

struct Segment {
    KeySegment seg;
    int line = 0;        // where it begins
    int lastRank = -1;
    bool seen[kSegmentOrder.size()] = {};
    bool nullKeyForm = false, oldNullForm = false; // nullkey=, or manual=/null=
    bool nullKey = false;
    bool alternate = false;
    bool follows = false;
};

// A collating sequence a key or the file names.
struct Acs {
    enum Kind { File, Other } kind = File;
    std::vector<uint8_t> bytes;
    int line = 0;
    std::string text;
};

struct Key {
    std::vector<Segment> segments;
    std::optional<Acs> acs;
};

class Parser {
public:
    Parser(const TAcsReader& readAcs) : FReadAcs(readAcs) {}

    TDescription Run(const std::string& text) {
        const std::vector<Element> elements = Tokenize(text);
        for (size_t i = 0; i < elements.size(); ++i) {
            const Element& e = elements[i];
            if (e.keyword == "codepageid" && (i == 0 || elements[i - 1].keyword != "countryid"))
                Fail(e, "comes right after countryid=");
            if (e.keyword == "countryid" && (i + 1 == elements.size() || elements[i + 1].keyword != "codepageid"))
                Fail(e, "wants codepageid= right after it");
            Take(e);
        }
        return Finish(elements.empty() ? 1 : elements.back().line);
    }

private:
    void Take(const Element& e) {
        const std::string kw = e.keyword == "huge" ? "vats" : e.keyword; // the older name
        if (const int rank = Rank(kFileOrder, kw); rank >= 0) return FileElement(e, kw, rank);
        if (kw == "nullkey") return SegmentElement(e, kw, Rank(kSegmentOrder, std::string("null")));
        if (const int rank = Rank(kSegmentOrder, kw); rank >= 0) return SegmentElement(e, kw, rank);
        if (kw == "name" || kw == "countryid" || kw == "isr") return AcsElement(e);
        if (kw == "codepageid") return; // taken with its countryid
        Fail(e.line, "unknown element \"" + e.keyword + "=\"");
    }

    void FileElement(const Element& e, const std::string& kw, int rank) {
        if (FInSegments) Fail(e, "a file element goes before the first key segment");
        if (rank == FFileRank) Fail(e, "given twice");
        if (rank < FFileRank)
            Fail(e, "comes after " + std::string(kFileOrder[static_cast<size_t>(FFileRank)]) +
                        "=; file elements go in the order " + OrderText(kFileOrder));
        FFileRank = rank;
        FFileSeen[static_cast<size_t>(rank)] = true;
        TFileLayout& l = FOut.layout;
        auto note = [&](const std::string& why) { FOut.notes.push_back("line " + std::to_string(e.line) + ": " + e.Text() + ": " + why); };
        if (kw == "record") {
            l.recordLen = static_cast<uint16_t>(Number(e, 4, 65535));
        } else if (kw == "variable") {
            if (YesNo(e)) l.fileFlags |= kVariableRecords;
        } else if (kw == "dupkey") {
            if (Number(e, 0, 119) > 0) note("not honoured: this engine reserves no duplicate pointers");
        } else if (kw == "truncate") {
            if (YesNo(e)) note("not honoured: records are stored whole, trailing blanks included");
        } else if (kw == "compress") {
            if (YesNo(e)) note("not honoured: records are stored uncompressed");
        } else if (kw == "key") {
            FKeyCount = static_cast<int>(Number(e, 0, 119));
            FKeyLine = e.line;
        } else if (kw == "page") {
            const long page = Number(e, 512, 16384);
            if (page % 512) Fail(e, "a page is a multiple of 512 bytes");
            l.pageSize = static_cast<uint16_t>(page);
        } else if (kw == "allocation") {
            l.allocation = static_cast<uint16_t>(Number(e, 0, 65535));
        } else if (kw == "replace") {
            FOut.replace = YesNo(e);
        } else if (kw == "data") {
            if (!YesNo(e)) note("not honoured: records are kept with their keys as in any file");
        } else if (kw == "fthreshold") {
            const long t = Number(e, 5, 30);
            if (t != 5 && t != 10 && t != 20 && t != 30) Fail(e, "is 5, 10, 20 or 30");
            note("not honoured: this engine keeps no free-space threshold");
        } else if (kw == "vats") {
            if (YesNo(e)) note("not honoured: variable parts are stored whole, without allocation tables");
        } else if (kw == "balance") {
            if (YesNo(e)) note("not honoured: this engine balances no index pages");
        } else if (kw == "usekeynum") {
            FUseKeyNum = YesNo(e);
        } else if (kw == "sysdataonrecord") {
            const std::string v = Lower(e.value);
            if (v != "n" && v != "loggable") Fail(e, "is n or loggable");
            if (v == "loggable") note("not honoured: records carry no system data here");
        }
    }

    void SegmentElement(const Element& e, const std::string& kw, int rank) {
        if (!FInSegments) {
            for (const char* required : {"record", "variable", "key", "page"})
                if (!FFileSeen[static_cast<size_t>(Rank(kFileOrder, std::string(required)))])
                    Fail(e.line, "the key segments begin, but the description has no " + std::string(required) + "=");
            FInSegments = true;
        }
        const bool begins = kw == "keynum" || (kw == "position" && !(FOpen && FCurrent.lastRank == 0));
        if (begins) {
            if (FOpen)
                Fail(e, "begins a segment, but the one begun at line " + std::to_string(FCurrent.line) +
                            " has no segment= yet");
            FCurrent = Segment{};
            FCurrent.line = e.line;
            FOpen = true;
        } else if (!FOpen) {
            Fail(e, "comes before position=; a segment's elements go in the order " + OrderText(kSegmentOrder));
        }
        Segment& s = FCurrent;
        const bool oldNullForm = kw == "manual" || kw == "null";
        if ((kw == "nullkey" && s.oldNullForm) || (oldNullForm && s.nullKeyForm))
            Fail(e, "nullkey= and manual=/null= say the same thing: give one");
        s.nullKeyForm = s.nullKeyForm || kw == "nullkey";
        s.oldNullForm = s.oldNullForm || oldNullForm;
        if (rank == s.lastRank || s.seen[static_cast<size_t>(rank)]) Fail(e, "given twice in one segment");
        if (rank < s.lastRank)
            Fail(e, "comes after " + std::string(kSegmentOrder[static_cast<size_t>(s.lastRank)]) +
                        "=; a segment's elements go in the order " + OrderText(kSegmentOrder));
        s.lastRank = rank;
        s.seen[static_cast<size_t>(rank)] = true;
        KeySegment& k = s.seg;
        if (kw == "keynum") {
            if (!FUseKeyNum) Fail(e, "a key number is given only with usekeynum=y");
            // A key continued by this segment is the last one begun.
            const size_t key = FKeys.empty() || FKeyDone ? FKeys.size() : FKeys.size() - 1;
            if (Number(e, 0, 118) != static_cast<long>(key))
                Fail(e, "keys are numbered in the order they are given here: this would be key " + std::to_string(key));
        } else if (kw == "position") {
            k.pos = static_cast<uint16_t>(Number(e, 1, 65535));
        } else if (kw == "length") {
            k.len = static_cast<uint16_t>(Number(e, 1, 255));
        } else if (kw == "duplicates") {
            if (YesNo(e)) k.flags |= kfDuplicates;
        } else if (kw == "modifiable") {
            if (YesNo(e)) k.flags |= kfModifiable;
        } else if (kw == "type") {
            std::string why;
            const int code = KeyTypeCode(e.value, why);
            if (code < 0) Fail(e, why);
            if (!EngineKeyType(static_cast<uint8_t>(code)))
                Fail(e, "btrkit's engine has no " + KeyTypeName(static_cast<uint8_t>(code)) + " keys");
            k.type = static_cast<uint8_t>(code);
            k.flags |= kfExtType;
        } else if (kw == "descending") {
            if (YesNo(e)) k.flags |= kfDescending;
        } else if (kw == "alternate") {
            s.alternate = YesNo(e);
            if (s.alternate) k.flags |= kfAltCol;
        } else if (kw == "caseinsensitive") {
            if (YesNo(e)) k.flags |= kfNoCase;
        } else if (kw == "repeatdup") {
            YesNo(e);
            if (!FRepeatNoted)
                FOut.notes.push_back("line " + std::to_string(e.line) + ": " + e.Text() +
                                     ": not honoured: this engine keeps duplicates one way, in the order they came");
            FRepeatNoted = true;
        } else if (kw == "manual") {
            if (YesNo(e)) k.flags |= kfNullAny, s.nullKey = true;
        } else if (kw == "null") {
            if (YesNo(e)) k.flags |= kfNullAll, s.nullKey = true;
        } else if (kw == "nullkey") {
            const std::string v = Lower(e.value);
            if (v == "anyseg") k.flags |= kfNullAny, s.nullKey = true;
            else if (v == "allsegs") k.flags |= kfNullAll, s.nullKey = true;
            else if (v != "n") Fail(e, "is allsegs, anyseg or n");
        } else if (kw == "value") {
            k.nullValue = HexByte(e);
        } else if (kw == "segment") {
            s.follows = YesNo(e);
            CloseSegment(e);
        }
    }

    void CloseSegment(const Element& e) {
        Segment& s = FCurrent;
        for (const char* required : {"position", "length", "duplicates", "modifiable", "type"})
            if (!s.seen[static_cast<size_t>(Rank(kSegmentOrder, std::string(required)))])
                Fail(e, "ends the segment begun at line " + std::to_string(s.line) + ", which has no " + required + "=");
        if (s.nullKey && !s.seen[static_cast<size_t>(Rank(kSegmentOrder, std::string("value")))])
            Fail(e, "ends the segment begun at line " + std::to_string(s.line) + ", whose null key needs value=");
        if (s.follows) s.seg.flags |= kfSegmented;
        if (FKeys.empty() || FKeyDone) {
            FKeys.push_back({});
            FKeyDone = false;
        }
        Key& key = FKeys.back();
        if (!key.segments.empty()) {
            // The engine refuses a key whose segments disagree; say where.
            const Segment& first = key.segments.front();
            const uint16_t same = kfDuplicates | kfModifiable | kfNullAll | kfNullAny;
            if ((first.seg.flags & same) != (s.seg.flags & same))
                Fail(s.line, "this segment's duplicates=, modifiable= or null key differ from those of its key's "
                             "first segment (line " + std::to_string(first.line) + ")");
        }
        if (CountSegments() >= static_cast<size_t>(kMaxSegments)) Fail(s.line, "a file has at most 119 key segments");
        key.segments.push_back(s);
        FKeyDone = !s.follows;
        FOpen = false;
    }

    size_t CountSegments() const {
        size_t n = 0;
        for (const Key& k : FKeys) n += k.segments.size();
        return n;
    }

    void AcsElement(const Element& e) {
        if (FOpen) Fail(e, "a collating sequence follows a key's last segment, not the middle of a segment");
        if (!FKeys.empty() && !FKeyDone) Fail(e, "ends a key, but the segment before says segment=y");
        Acs acs;
        acs.line = e.line;
        acs.text = e.Text();
        if (e.keyword == "name") {
            try {
                acs.bytes = FReadAcs(e.value);
            } catch (const std::exception& x) {
                Fail(e, x.what());
            }
            if (acs.bytes.size() != kCollatingSequenceSize || acs.bytes[0] != 0xAC)
                Fail(e, "not a collating sequence (265 bytes beginning with 0xAC)");
        } else {
            acs.kind = Acs::Other;
            if (e.keyword == "countryid") acs.text += " codepageid=...";
        }
        std::optional<Acs>& slot = FKeys.empty() ? FLeading : FKeys.back().acs;
        if (slot) Fail(e, "a collating sequence was already given at line " + std::to_string(slot->line));
        slot = std::move(acs);
    }

    TDescription Finish(int lastLine) {
        if (FOpen) Fail(FCurrent.line, "this segment has no segment=");
        for (const char* required : {"record", "variable", "key", "page"})
            if (!FFileSeen[static_cast<size_t>(Rank(kFileOrder, std::string(required)))])
                Fail(lastLine, "the description ends without " + std::string(required) + "=");
        if (!FKeys.empty() && !FKeyDone)
            Fail(FKeys.back().segments.back().line, "the last segment says segment=y, but no segment follows");
        if (static_cast<int>(FKeys.size()) != FKeyCount)
            Fail(FKeyLine, "key=" + std::to_string(FKeyCount) + ", but the description defines " +
                               std::to_string(FKeys.size()) + " key(s)");

        if (FLeading && !FKeys.empty())
            Fail(FLeading->line, "a collating sequence goes after the key that uses it, or at the end");
        TFileLayout& l = FOut.layout;
        // The sequence after the last key is every alternate key's default.
        const std::optional<Acs> fallback = FKeys.empty() ? FLeading : FKeys.back().acs;
        const Acs* fileAcs = nullptr;
        for (size_t k = 0; k < FKeys.size(); ++k) {
            Key& key = FKeys[k];
            int keyLen = 0;
            for (const Segment& s : key.segments) {
                keyLen += s.seg.len;
                if (s.seg.pos + s.seg.len - 1 > l.recordLen)
                    Fail(s.line, "position=" + std::to_string(s.seg.pos) + " length=" + std::to_string(s.seg.len) +
                                     " reaches past the record's " + std::to_string(l.recordLen) + " bytes");
            }
            if (keyLen > kMaxKeyLength)
                Fail(key.segments.front().line, "key " + std::to_string(k) + " is " + std::to_string(keyLen) +
                                                    " bytes long; a key has at most 255");
            const auto alt = std::find_if(key.segments.begin(), key.segments.end(), [](const Segment& s) { return s.alternate; });
            const Acs* acs = key.acs ? &*key.acs : fallback ? &*fallback : nullptr;
            if (alt == key.segments.end()) continue;
            if (!acs) Fail(alt->line, "alternate=y, but no collating sequence is named (name= after the key or at the end)");
            if (acs->kind == Acs::Other) {
                FOut.notes.push_back("line " + std::to_string(acs->line) + ": " + acs->text +
                                     ": not honoured: btrkit's engine has no such collating sequence; key " +
                                     std::to_string(k) + " orders its bytes as they are");
                for (Segment& s : key.segments) s.seg.flags &= static_cast<uint16_t>(~kfAltCol);
                continue;
            }
            if (fileAcs && fileAcs->bytes != acs->bytes)
                Fail(acs->line, acs->text + ": key " + std::to_string(k) + "'s collating sequence differs from the one at line " +
                                    std::to_string(fileAcs->line) + "; a file here has one");
            fileAcs = acs;
        }
        // A named sequence no key uses still goes with the file, as given.
        for (const std::optional<Acs>* a : {static_cast<const std::optional<Acs>*>(&FLeading), &fallback})
            if (!fileAcs && *a && (*a)->kind == Acs::File) fileAcs = &**a;
        for (const Key& key : FKeys)
            if (!fileAcs && key.acs && key.acs->kind == Acs::File) fileAcs = &*key.acs;
        if (fileAcs) l.acs = fileAcs->bytes;
        for (const Key& key : FKeys)
            for (const Segment& s : key.segments) l.segments.push_back(s.seg);
        return std::move(FOut);
    }

    const TAcsReader& FReadAcs;
    TDescription FOut;
    int FFileRank = -1;
    bool FFileSeen[kFileOrder.size()] = {};
    bool FInSegments = false, FUseKeyNum = false, FRepeatNoted = false;
    int FKeyCount = 0, FKeyLine = 1;
    Segment FCurrent;
    bool FOpen = false;
    bool FKeyDone = false;
    std::vector<Key> FKeys;
    std::optional<Acs> FLeading; // named before any key (a file without keys)
};

} // namespace

TDescription ParseDescriptionFile(const std::string& text, const TAcsReader& readAcs) {
    return Parser(readAcs).Run(text);
}

std::string AcsFileName(const std::vector<uint8_t>& acs) {
    std::string name;
    for (size_t i = 1; i < 9 && i < acs.size(); ++i) {
        const auto c = static_cast<char>(acs[i]);
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-')
            name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        else if (c == 0 || c == ' ')
            break;
    }
    return (name.empty() ? "collate" : name) + ".alt";
}

std::string WriteDescriptionFile(const TFileLayout& layout, const std::string& title, const std::string& acsName,
                                 std::vector<std::string>& notes) {
    auto yn = [](bool v) { return v ? "y" : "n"; };
    std::string out = "/* " + title + " */\n";
    out += "record=" + std::to_string(layout.recordLen) + " variable=" + yn(layout.Variable());
    if (layout.dupPointers) out += " dupkey=" + std::to_string(layout.dupPointers);
    out += "\nkey=" + std::to_string(layout.Keys()) + " page=" + std::to_string(layout.pageSize);
    if (layout.allocation) out += " allocation=" + std::to_string(layout.allocation);
    out += "\n";
    if (layout.fileFlags & ~kVariableRecords) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%04X", layout.fileFlags);
        notes.push_back(std::string("file flags ") + hex + ": only variable-length records (0x0001) can be described");
    }
    constexpr uint16_t kDescribed = kfDuplicates | kfModifiable | kfBinary | kfNullAll | kfSegmented | kfAltCol |
                                    kfDescending | kfExtType | kfNullAny | kfNoCase;
    int key = 0, part = 0;
    for (const KeySegment& s : layout.segments) {
        char line[320];
        const uint8_t type = s.Type();
        std::snprintf(line, sizeof line,
                      "position=%u length=%u duplicates=%s modifiable=%s type=%s descending=%s alternate=%s "
                      "caseinsensitive=%s",
                      unsigned(s.pos), unsigned(s.len), yn(s.flags & kfDuplicates), yn(s.flags & kfModifiable),
                      KeyTypeName(type).c_str(), yn(s.flags & kfDescending), yn(s.flags & kfAltCol),
                      yn(s.flags & kfNoCase));
        out += line;
        if (s.flags & (kfNullAll | kfNullAny)) {
            std::snprintf(line, sizeof line, " nullkey=%s value=%02X", (s.flags & kfNullAny) ? "anyseg" : "allsegs",
                          unsigned(s.nullValue));
            out += line;
            if ((s.flags & kfNullAll) && (s.flags & kfNullAny))
                notes.push_back("key " + std::to_string(key) + " segment " + std::to_string(part + 1) +
                                ": both null-key flags; described as nullkey=anyseg");
        }
        out += std::string(" segment=") + yn(s.flags & kfSegmented) + "\n";
        if (s.flags & ~kDescribed) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%04X", unsigned(s.flags));
            notes.push_back("key " + std::to_string(key) + " segment " + std::to_string(part + 1) + ": flags " + hex +
                            " hold bits a description cannot carry");
        }
        if (KeyTypeName(type) == "?")
            notes.push_back("key " + std::to_string(key) + " segment " + std::to_string(part + 1) + ": key type " +
                            std::to_string(type) + " has no name a description can give");
        if (s.flags & kfSegmented) {
            ++part;
        } else {
            ++key;
            part = 0;
        }
    }
    if (!layout.acs.empty()) out += "name=" + acsName + "\n";
    return out;
}

} // namespace btr::apps
