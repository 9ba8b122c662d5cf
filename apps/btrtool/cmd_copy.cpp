// copy: a file's layout, owner and records into a new file, read through
// btrkit's engine or through another engine library bound beside it.
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>

#include "apps/btrtool/exchange.h"
#include "apps/btrtool/records.h"
#include "apps/common/layout.h"
#include "engine/btrerrors.h"

namespace btr::tool {

using namespace btr::apps;

namespace {

namespace fs = std::filesystem;

// A local DST is built in a directory of its own beside it (with whatever
// companions the engine keeps there) and renamed into place when complete;
// a DST the engine keeps elsewhere is written where it is.
class Destination {
public:
    explicit Destination(const std::string& path) : FPath(path), FWrite(path) {
        if (!IsLocalPath(path)) return;
        const fs::path target(path);
        std::string name = ".";
        name += target.filename().string();
        name += ".copy-XXXXXX";
        std::string dir = (target.parent_path() / name).string();
        if (!mkdtemp(dir.data())) throw std::runtime_error("cannot write beside " + path);
        FTempDir = dir;
        FWrite = (FTempDir / target.filename()).string();
    }
    ~Destination() {
        std::error_code ec;
        if (!FTempDir.empty()) fs::remove_all(FTempDir, ec);
    }
    Destination(const Destination&) = delete;
    Destination& operator=(const Destination&) = delete;

    const std::string& Path() const { return FPath; }
    const std::string& WritePath() const { return FWrite; }
    bool Local() const { return !FTempDir.empty(); }

    // The finished file (closed) takes DST's name.
    void PutInPlace() {
        if (FTempDir.empty()) return;
        std::error_code ec;
        fs::rename(FWrite, FPath, ec);
        if (ec) throw std::runtime_error("cannot put " + FPath + " in place: " + ec.message());
    }

private:
    std::string FPath, FWrite;
    fs::path FTempDir;
};

int Copy(const Args& a) {
    a.Expect(2, 2, {"source-engine", "owner", "yes"});
    const std::string srcPath = a.At(0, "SRC");
    Destination dst(a.At(1, "DST"));
    const std::string owner = a.Option("owner").value_or("");

    std::unique_ptr<TEngineLibrary> engine;
    if (const auto lib = a.Option("source-engine")) engine = std::make_unique<TEngineLibrary>(*lib);
    TBtrieveFile src;
    std::vector<uint8_t> buffer(kRecordBuffer);
    src.SetEngine(engine.get());
    src.SetDataBuffer(buffer.data(), kRecordBuffer);
    src.SetFileName(srcPath);
    src.SetReadOnly(true);
    src.SetFileOwner(owner);
    src.SetActive(true);
    const TFileLayout layout = ReadLayout(src);
    const int32_t total = src.NumberOfRecords();

    if (srcPath == dst.Path()) throw std::runtime_error(srcPath + " and " + dst.Path() + " are the same file");
    // A local DST is built beside it and renamed into place; on a server the
    // create is part of the transaction the records go in with, so DST
    // appears whole when it ends (and a replaced DST stays until then).
    std::optional<EngineTransaction> remote;
    if (dst.Local()) {
        std::error_code ec;
        if (IsLocalPath(srcPath) && fs::exists(dst.Path(), ec) && fs::equivalent(srcPath, dst.Path(), ec))
            throw std::runtime_error(srcPath + " and " + dst.Path() + " are the same file");
        if (fs::exists(dst.Path(), ec)) ConfirmReplace(dst.Path());
        CreateWithLayout(dst.WritePath(), layout, 0);
    } else {
        remote.emplace();
        try {
            CreateWithLayout(dst.WritePath(), layout, -1);
        } catch (const EBtrieve& e) {
            if (e.Error() != bsFileExists) throw;
            ConfirmReplace(dst.Path());
            CreateWithLayout(dst.WritePath(), layout, 0);
        }
    }

    uint64_t copied = 0;
    {
        TBtrieveFile out;
        out.SetFileName(dst.WritePath());
        out.SetActive(true);
        if (!owner.empty()) out.AssignOwner(owner, 0);
        std::optional<EngineTransaction> local; // one commit, and readers of DST see it whole
        if (!remote) local.emplace();
        Progress bar("copy", static_cast<uint64_t>(std::max(total, 0)));
        std::vector<uint8_t> record;
        for (src.Get(bStepFirst, 0); src.Status() == bsOk; src.Get(bStepNext, 0)) {
            ReadWholeRecord(src, buffer, record);
            try {
                InsertWholeRecord(out, record);
            } catch (const EBtrieve& e) {
                throw std::runtime_error(srcPath + ": record " + std::to_string(copied + 1) + " (in physical order): " +
                                         e.what() + "; nothing was copied");
            }
            ++copied;
            bar.Step();
        }
        if (src.Status() != bsEndOfFile) throw EBtrieve(src.Status(), bStepNext, src.FileName());
        out.SetActive(false);
        (remote ? *remote : *local).Commit();
        bar.Done();
    }
    src.SetActive(false);
    dst.PutInPlace();
    std::printf("Copied %s to %s: %llu record(s)%s\n", srcPath.c_str(), dst.Path().c_str(),
                static_cast<unsigned long long>(copied), owner.empty() ? "" : ", owner name set (every access needs it)");
    if (total >= 0 && copied != static_cast<uint64_t>(total))
        std::fprintf(stderr, "btrtool copy: %s counted %d record(s) at the start, %llu were read: it changed meanwhile\n",
                     srcPath.c_str(), int(total), static_cast<unsigned long long>(copied));
    return 0;
}

const RegisterCommand kCopy(
    {"copy", "SRC DST [--source-engine LIB] [--owner NAME] [--yes]",
     "Makes DST a copy of SRC: its layout (record length, page size, keys, collating sequence), its owner name "
     "(--owner gives it; DST then needs it for every access) and every record with its variable part. With "
     "--source-engine SRC is read through the engine library LIB (one exporting BTRCALLID, such as the vendor's "
     "Linux client) while DST is written through btrkit's engine. Either may be a file on a PostgreSQL server "
     "(postgresql://USER@HOST/DATABASE/NAME): copy moves files to a server, back, or between two. DST appears only "
     "when complete, with a progress bar meanwhile.",
     {"yes"},
     Copy});

} // namespace

} // namespace btr::tool
