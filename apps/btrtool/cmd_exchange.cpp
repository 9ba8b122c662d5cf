// The vendor's exchange formats: save and load sequential record files,
// describe a file and create one from a description, the statistics report.
#include <cstdio>
#include <filesystem>
#include <cctype>

#include "apps/btrtool/exchange.h"
#include "apps/btrtool/records.h"
#include "apps/common/descfile.h"
#include "apps/common/sequential.h"
#include "engine/btrerrors.h"
#include "engine/keyorder.h"
#include "platform/files.h"

namespace btr::tool {

using namespace btr::apps;

namespace {

void OpenFile(TBtrieveFile& file, const std::string& path, const Args& a, bool readOnly) {
    file.SetFileName(path);
    file.SetReadOnly(readOnly);
    file.SetFileOwner(a.Option("owner").value_or(""));
    file.SetActive(true);
}

// Summaries go to standard output unless the data does.
FILE* Report(const OutputFile& out) { return out.IsStdout() ? stderr : stdout; }

int Save(const Args& a) {
    a.Expect(2, 2, {"key", "owner", "yes"});
    TBtrieveFile file;
    std::vector<uint8_t> buffer(kRecordBuffer);
    file.SetDataBuffer(buffer.data(), kRecordBuffer);
    OpenFile(file, a.At(0, "FILE"), a, true);

    bool nullKey = false;
    const long key = a.Number("key", -1);
    if (key >= 0) {
        if (key >= file.IndexCnt())
            throw UsageError("--key " + std::to_string(key) + ": " + file.FileName() + " has " +
                             std::to_string(file.IndexCnt()) + " key(s)");
        file.SetKeyPath(static_cast<uint16_t>(key));
        for (const KeySegment& s : ReadLayout(file).Key(static_cast<int>(key)))
            nullKey = nullKey || (s.flags & (kfNullAll | kfNullAny));
    }
    const int32_t total = file.NumberOfRecords();

    const std::string outPath = a.At(1, "OUT");
    const auto out = CreateOutput(outPath);
    TSequentialWriter writer(out->Stream());
    Progress bar("save", static_cast<uint64_t>(std::max(total, 0)));
    std::vector<uint8_t> record;
    const int32_t first = key >= 0 ? bGetFirst : bStepFirst, next = key >= 0 ? bGetNext : bStepNext;
    for (file.Get(first, 0); file.Status() == bsOk; file.Get(next, 0)) {
        ReadWholeRecord(file, buffer, record);
        writer.Write(record.data(), record.size());
        bar.Step();
    }
    if (file.Status() != bsEndOfFile) throw EBtrieve(file.Status(), next, file.FileName());
    writer.Finish();
    out->Commit();
    bar.Done();
    std::fprintf(Report(*out), "Saved %llu record(s) of %s to %s\n", static_cast<unsigned long long>(writer.Records()),
                 file.FileName().c_str(), OutputName(outPath).c_str());
    if (nullKey)
        std::fprintf(stderr,
                     "btrtool save: key %ld has a null value: records whose key is null are not in it and were not "
                     "saved (%llu of %d); save without --key to have them all\n",
                     key, static_cast<unsigned long long>(writer.Records()), total);
    return 0;
}

int Load(const Args& a) {
    a.Expect(2, 2, {"owner", "skip-errors", "yes"});
    TBtrieveFile file;
    OpenFile(file, a.At(0, "FILE"), a, false);
    InputFile in(a.At(1, "IN"));
    TSequentialReader reader(in.Stream(), in.Name());

    std::unique_ptr<OutputFile> rejectFile;
    std::unique_ptr<TSequentialWriter> rejects;
    const std::string rejectPath = a.Option("skip-errors").value_or("");
    if (!rejectPath.empty()) {
        rejectFile = CreateOutput(rejectPath);
        rejects = std::make_unique<TSequentialWriter>(rejectFile->Stream());
    }
    FILE* report = rejectFile && rejectFile->IsStdout() ? stderr : stdout;

    uint64_t loaded = 0;
    {
        // All or nothing: one transaction; refused records either stop it or
        // go to the reject file.
        EngineTransaction tx;
        Progress bar("load", in.Size());
        std::vector<uint8_t> record;
        for (uint64_t done = 0;;) {
            try {
                if (!reader.Next(record)) break;
            } catch (const ESequentialFormat& e) {
                throw std::runtime_error(std::string(e.what()) + "; nothing was loaded");
            }
            std::string why = LengthRefusal(file, record.size());
            if (why.empty()) {
                try {
                    InsertWholeRecord(file, record);
                    ++loaded;
                } catch (const EBtrieve& e) {
                    why = e.what();
                }
            }
            if (!why.empty()) {
                const std::string where = in.Name() + ": record " + std::to_string(reader.Record()) + " at byte " +
                                          std::to_string(reader.RecordOffset()) + ": " + why;
                if (!rejects) throw std::runtime_error(where + "; nothing was loaded");
                rejects->Write(record.data(), record.size());
                std::fprintf(stderr, "btrtool load: %s: refused\n", where.c_str());
            }
            bar.Step(reader.Offset() - done);
            done = reader.Offset();
        }
        if (rejects) rejects->Finish();
        tx.Commit();
        bar.Done();
    }
    if (rejectFile) rejectFile->Commit();
    if (reader.EndMarkMissing())
        std::fprintf(stderr, "btrtool load: %s has no end-of-file mark (0x1A); read to its end\n", in.Name().c_str());
    if (reader.LineFeedOnly())
        std::fprintf(stderr, "btrtool load: %llu record(s) of %s end with LF alone instead of CR LF\n",
                     static_cast<unsigned long long>(reader.LineFeedOnly()), in.Name().c_str());
    std::fprintf(report, "Loaded %llu record(s) into %s", static_cast<unsigned long long>(loaded), file.FileName().c_str());
    if (rejects)
        std::fprintf(report, "; %llu refused, in %s", static_cast<unsigned long long>(rejects->Records()),
                     OutputName(rejectPath).c_str());
    std::fprintf(report, "\n");
    return 0;
}

void PrintNotes(const char* command, const std::vector<std::string>& notes, const std::string& prefix) {
    for (const std::string& n : notes) std::fprintf(stderr, "btrtool %s: %s%s\n", command, prefix.c_str(), n.c_str());
}

int Describe(const Args& a) {
    a.Expect(1, 2, {"owner", "yes"});
    TBtrieveFile file;
    OpenFile(file, a.At(0, "FILE"), a, true);
    const TFileLayout layout = ReadLayout(file);
    const std::string outPath = a.Count() > 1 ? a.At(1, "OUT") : "-";
    std::vector<std::string> notes;
    const std::string acsName = AcsFileName(layout.acs);
    const std::string text = WriteDescriptionFile(layout, ExtractFileName(file.FileName()) + ", described by btrtool",
                                                  acsName, notes);
    const auto out = CreateOutput(outPath);
    std::unique_ptr<OutputFile> acs;
    std::string acsPath;
    if (!layout.acs.empty()) {
        // The collating sequence goes beside the description, which names it;
        // one already there with the same bytes is left as it is.
        const std::filesystem::path dir = out->IsStdout() ? "." : std::filesystem::path(outPath).parent_path();
        acsPath = ((dir.empty() ? std::filesystem::path(".") : dir) / acsName).string();
        bool same = false;
        try {
            same = FileExists(acsPath) && std::filesystem::file_size(acsPath) == layout.acs.size() &&
                   ReadFileBytes(acsPath, layout.acs.size()) == layout.acs;
        } catch (const std::exception&) {
        }
        if (!same) {
            acs = CreateOutput(acsPath);
            if (std::fwrite(layout.acs.data(), 1, layout.acs.size(), acs->Stream()) != layout.acs.size())
                throw std::runtime_error("cannot write " + acsPath);
        }
    }
    if (std::fwrite(text.data(), 1, text.size(), out->Stream()) != text.size())
        throw std::runtime_error("cannot write " + OutputName(outPath));
    if (acs) acs->Commit();
    out->Commit();
    PrintNotes("describe", notes, file.FileName() + ": ");
    if (!out->IsStdout()) std::printf("Described %s in %s\n", file.FileName().c_str(), outPath.c_str());
    if (!acsPath.empty()) std::fprintf(Report(*out), "Its collating sequence is in %s\n", acsPath.c_str());
    return 0;
}

std::string StatTypeName(uint8_t type) {
    if (type == ktUnsigned) return "Unsigned Binary";
    if (type == ktAutoInc) return "AutoIncrement";
    std::string name = KeyTypeName(type);
    name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
    return name;
}

// Distinct values of each key, from a walk of the key alone. Values are
// told apart in the key's order: "ann" and "ANN" are one value of a key
// without case.
std::vector<uint64_t> UniqueValues(TBtrieveFile& file, const TFileLayout& layout) {
    std::vector<uint64_t> counts;
    const int32_t total = file.NumberOfRecords();
    Progress bar("stat", static_cast<uint64_t>(std::max(total, 0)) * static_cast<uint64_t>(layout.Keys()));
    for (int k = 0; k < layout.Keys(); ++k) {
        const std::vector<KeySegment> segments = layout.Key(k);
        file.SetKeyPath(static_cast<uint16_t>(k));
        std::string last, value;
        uint64_t n = 0;
        for (file.Get(bGetFirst + bKeyOnly, 0); file.Status() == bsOk; file.Get(bGetNext + bKeyOnly, 0)) {
            value.clear();
            size_t at = 0;
            for (const KeySegment& s : segments) {
                if (at + s.len > file.KeySize()) break;
                EncodeSegment(value, s, file.KeyBuffer() + at, file.CollatingTable());
                at += s.len;
            }
            if (n == 0 || value != last) ++n;
            last.swap(value);
            bar.Step();
        }
        counts.push_back(n);
    }
    return counts;
}

} // namespace

void PrintButilStat(TBtrieveFile& file, const std::string& name) {
    const TFileLayout layout = ReadLayout(file);
    const int32_t records = file.NumberOfRecords();
    const std::vector<uint64_t> unique = UniqueValues(file, layout);
    VersionData version{};
    GetBtrieveVersion(version);
    auto yn = [](bool v) { return v ? "Yes" : "No"; };
    std::printf("**************************************************\n");
    std::printf("File Statistics for %s\n\n", ExtractFileName(name).c_str());
    std::printf("File Version = %u.%02u\n", unsigned(version.entries[0].ver), unsigned(version.entries[0].rev));
    std::printf("Page Size = %u\n", unsigned(layout.pageSize));
    std::printf("Page Preallocation = %s\n", yn(layout.allocation > 0));
    std::printf("Key Only = No\nExtended = No\n\n");
    std::printf("Total Number of Records = %d\n", int(records));
    std::printf("Record Length = %u\n", unsigned(layout.recordLen));
    std::printf("Record Compression = No\n");
    std::printf("Variable Records = %s\n\n", yn(layout.Variable()));
    std::printf("Available Linked Duplicate Keys = %u\n", unsigned(layout.dupPointers));
    std::printf("Balanced Key = No\nLog Key = None\nSystem Data = No\n");
    std::printf("Total Number of Keys = %d\n", layout.Keys());
    std::printf("Total Number of Segments = %zu\n\n", layout.segments.size());
    std::printf("Key  Segment Position Length  Type  Flags Null Values*  Unique  ACS Values\n");
    int key = 0, part = 1;
    for (const KeySegment& s : layout.segments) {
        std::string flags;
        if (s.flags & kfModifiable) flags += 'M';
        if (s.flags & kfDuplicates) flags += 'D';
        if (s.flags & kfDescending) flags += '<';
        if (s.flags & kfNoCase) flags += 'I';
        if (s.flags & kfNullAny) flags += 'A';
        if (s.flags & kfNullAll) flags += 'L';
        char null[8] = "--";
        if (s.flags & (kfNullAll | kfNullAny)) std::snprintf(null, sizeof null, "%02X", unsigned(s.nullValue));
        // The columns of the vendor's report, so that its readers read this one.
        std::printf("%-5d%-4d%6u%9u      %-6s %-5s%-2s%15llu%7d\n", key, part, unsigned(s.pos), unsigned(s.len),
                    StatTypeName(s.Type()).c_str(), flags.empty() ? "--" : flags.c_str(), null,
                    static_cast<unsigned long long>(unique[static_cast<size_t>(key)]), 0);
        if (s.flags & kfSegmented) {
            ++part;
        } else {
            ++key;
            part = 1;
        }
    }
}

int CreateFromDescription(const Args& a) {
    a.Expect(1, 1, {"description", "yes"});
    const std::string path = a.At(0, "FILE");
    const std::string descPath = *a.Option("description");
    InputFile in(descPath);
    const std::filesystem::path base = descPath == "-" ? std::filesystem::path(".")
                                                       : std::filesystem::path(descPath).parent_path();
    TDescription desc;
    try {
        desc = ParseDescriptionFile(in.ReadAll(), [&](const std::string& name) {
            std::filesystem::path p(name);
            if (p.is_relative() && !base.empty()) p = base / p; // beside the description
            return ReadFileBytes(p.string(), kCollatingSequenceSize);
        });
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(in.Name() + ", " + e.what() + "; nothing was created");
    }
    try {
        CreateWithLayout(path, desc.layout, -1);
    } catch (const EBtrieve& e) {
        if (e.Error() != 59) throw;
        if (desc.replace == false)
            throw std::runtime_error(path + " exists and " + in.Name() + " says replace=n; nothing was created");
        if (!desc.replace) ConfirmReplace(path);
        CreateWithLayout(path, desc.layout, 0);
    }
    PrintNotes("create", desc.notes, in.Name() + ", ");
    std::printf("Created %s: record length %u%s, %d key(s), page size %u\n", path.c_str(),
                unsigned(desc.layout.recordLen), desc.layout.Variable() ? " (variable-length)" : "",
                desc.layout.Keys(), unsigned(desc.layout.pageSize));
    return 0;
}

namespace {

const RegisterCommand kSave(
    {"save", "FILE OUT [--key N] [--owner NAME] [--yes]",
     "Writes every record of FILE, variable part included, to OUT in the vendor's sequential format (what its "
     "BUTIL -SAVE and -RECOVER write): in physical order, or along key N with --key (a key with a null value "
     "leaves out the records whose key is null, and says so). OUT \"-\" is standard output.",
     {"yes"},
     Save});
const RegisterCommand kLoad(
    {"load", "FILE IN [--skip-errors REJECTS] [--owner NAME] [--yes]",
     "Inserts the records of a sequential file (BUTIL -LOAD's input) into FILE, in one transaction: the first "
     "record refused (a length that does not fit FILE's records, a duplicate key, any engine error) stops it, "
     "named by its number, byte offset and status, and nothing is loaded. With --skip-errors the refused records "
     "go to the sequential file REJECTS and the others are loaded. Records are stored as they are: none is cut "
     "or padded. IN \"-\" is standard input.",
     {"yes"},
     Load});
const RegisterCommand kDescribe(
    {"describe", "FILE [OUT] [--owner NAME] [--yes]",
     "Writes the description of FILE's layout (the vendor's description-file format: record length, page size, "
     "keys and their segments) to OUT or standard output; `btrtool create FILE --description OUT` makes the same "
     "layout. A collating sequence goes beside it as NAME.alt.",
     {"yes"},
     Describe});

} // namespace

} // namespace btr::tool
