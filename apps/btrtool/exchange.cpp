#include "apps/btrtool/exchange.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "engine/btrerrors.h"
#include "platform/exceptions.h"
#include "platform/ui.h"

namespace btr::tool {

namespace fs = std::filesystem;

bool IsLocalPath(const std::string& path) { return path.find("://") == std::string::npos; }

void ConfirmReplace(const std::string& path) {
    if (MessageBox(path + " exists. Replace it?", "btrtool", MB_YESNO | MB_ICONQUESTION) != IDYES) throw EAbort();
}

InputFile::InputFile(const std::string& path) : FName(path == "-" ? "standard input" : path) {
    if (path == "-") {
        FFile = stdin;
        return;
    }
    FFile = std::fopen(path.c_str(), "rb");
    if (!FFile) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fileno(FFile), &st) == 0 && S_ISREG(st.st_mode)) FSize = static_cast<uint64_t>(st.st_size);
}

InputFile::~InputFile() {
    if (FFile && FFile != stdin) std::fclose(FFile);
}

std::string InputFile::ReadAll() {
    std::string text;
    char buf[65536];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, FFile)) > 0;) text.append(buf, n);
    if (std::ferror(FFile)) throw std::runtime_error("cannot read " + FName);
    return text;
}

OutputFile::OutputFile(const std::string& path) : FName(path == "-" ? "standard output" : path) {
    if (path == "-") {
        FFile = stdout;
        FStdout = true;
        return;
    }
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (fs::exists(st) && !fs::is_regular_file(st)) {
        if (fs::is_directory(st)) throw std::runtime_error(path + " is a directory");
        FFile = std::fopen(path.c_str(), "wb"); // a pipe or a device: no temporary name for those
    } else {
        if (fs::exists(st)) ConfirmReplace(path);
        const fs::path target(path);
        std::string temp = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
        const int fd = mkstemp(temp.data());
        if (fd >= 0) {
            FTemp = temp;
            ::fchmod(fd, 0644);
            FFile = fdopen(fd, "wb");
        }
    }
    if (!FFile) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
}

OutputFile::~OutputFile() {
    if (FStdout || !FFile) return;
    std::fclose(FFile);
    if (!FTemp.empty()) {
        std::error_code ec;
        fs::remove(FTemp, ec);
    }
}

void OutputFile::Commit() {
    if (FStdout) {
        if (std::fflush(stdout) != 0) throw std::runtime_error("cannot write to standard output");
        return;
    }
    FILE* f = FFile;
    FFile = nullptr;
    if (std::fclose(f) != 0) {
        std::error_code ec;
        if (!FTemp.empty()) fs::remove(FTemp, ec);
        throw std::runtime_error("cannot write " + FName + ": " + std::strerror(errno));
    }
    if (FTemp.empty()) return;
    std::error_code ec;
    fs::rename(FTemp, FName, ec);
    if (ec) {
        fs::remove(FTemp, ec);
        throw std::runtime_error("cannot put " + FName + " in place: " + ec.message());
    }
}

void ReadWholeRecord(TBtrieveFile& file, const std::vector<uint8_t>& buffer, std::vector<uint8_t>& record) {
    const auto n = static_cast<size_t>(std::max(file.BytesRead(), 0));
    record.assign(buffer.begin(), buffer.begin() + static_cast<long>(std::min(n, buffer.size())));
    if (!file.VariableLen() || n < buffer.size()) return;
    // The variable part went on past the buffer: the rest in chunks.
    constexpr uint32_t kPiece = 1 << 20;
    const uint32_t position = file.GetPosition();
    for (;;) {
        const size_t at = record.size();
        record.resize(at + kPiece);
        const uint32_t got = file.GetChunk(position, static_cast<uint32_t>(at), kPiece, record.data() + at);
        record.resize(at + got);
        if (got < kPiece) break;
    }
}

void InsertWholeRecord(TBtrieveFile& file, std::vector<uint8_t>& record) {
    const size_t head = std::min<size_t>(record.size(), kRecordBuffer);
    file.SetDataBuffer(record.data(), static_cast<uint16_t>(head));
    file.Insert();
    if (record.size() == head) return;
    try {
        file.UpdateChunk(static_cast<uint32_t>(head), static_cast<uint32_t>(record.size() - head), record.data() + head);
        if (file.Status() != 0) throw EBtrieve(file.Status(), bUpdateChunk, file.FileName());
    } catch (...) {
        try {
            file.Delete();
        } catch (...) {
            // the transaction around the load takes it back
        }
        throw;
    }
}

std::string LengthRefusal(const TBtrieveFile& file, size_t size) {
    const std::string have = std::to_string(size) + " bytes; ";
    if (!file.VariableLen() && size != file.RecordLen())
        return have + file.FileName() + " holds records of " + std::to_string(file.RecordLen()) +
               " bytes (a record is neither cut nor padded)";
    if (file.VariableLen() && size < file.RecordLen())
        return have + "the fixed part of " + file.FileName() + "'s records is " + std::to_string(file.RecordLen()) +
               " bytes (a record is not padded)";
    return {};
}

} // namespace btr::tool
