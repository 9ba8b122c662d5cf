#include "apps/btrtool/exchange.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "engine/btrerrors.h"

namespace btr::tool {

namespace fs = std::filesystem;

bool IsLocalPath(const std::string& path) { return path.find("://") == std::string::npos; }

void ConfirmReplace(const std::string& path) {
    if (!Ask(path + " exists. Replace it?"))
        throw std::runtime_error(path + " exists and was left as it was (--yes replaces it)");
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

std::unique_ptr<OutputFile> CreateOutput(const std::string& path) {
    std::error_code ec;
    if (path != "-" && fs::exists(path, ec)) ConfirmReplace(path);
    return std::make_unique<OutputFile>(path);
}

std::string OutputName(const std::string& path) { return path == "-" ? "standard output" : path; }

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
