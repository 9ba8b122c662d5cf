// What the exchange commands (save, load, describe, create --description,
// stat --format butil, copy, dict import-ddf) share: files named on the
// command line ("-" for standard input and output) and whole records.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "apps/btrtool/cli.h"
#include "engine/btrfile.h"

namespace btr::tool {

// "postgresql://..." and the like name files the engine keeps elsewhere: no
// file-system call may touch them.
bool IsLocalPath(const std::string& path);

// Asks whether an existing file may be replaced (--yes answers yes, no
// terminal answers no); raises when not.
void ConfirmReplace(const std::string& path);

// A file read from the start: standard input for "-".
class InputFile {
public:
    explicit InputFile(const std::string& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    FILE* Stream() const { return FFile; }
    const std::string& Name() const { return FName; }
    uint64_t Size() const { return FSize; } // 0 when unknown
    std::string ReadAll();

private:
    FILE* FFile = nullptr;
    std::string FName;
    uint64_t FSize = 0;
};

// An OutputFile (cli.h) for PATH, after asking whether an existing file may
// be replaced.
std::unique_ptr<OutputFile> CreateOutput(const std::string& path);
// "standard output" for "-", else the path.
std::string OutputName(const std::string& path);

// The whole record the file object's buffer holds after a read, its
// variable part fetched in chunks where it did not fit.
void ReadWholeRecord(TBtrieveFile& file, const std::vector<uint8_t>& buffer, std::vector<uint8_t>& record);
// Inserts a record of any length; one that fails part way is taken out again.
void InsertWholeRecord(TBtrieveFile& file, std::vector<uint8_t>& record);
// Why a record cannot go into the open file as it is, or nothing.
std::string LengthRefusal(const TBtrieveFile& file, size_t size);

constexpr uint16_t kRecordBuffer = 65535; // the most one request moves

// Hooks into commands defined elsewhere: `create FILE --description DESC`
// and `stat FILE --format butil`.
int CreateFromDescription(const Args& a);
void PrintButilStat(TBtrieveFile& file, const std::string& name);

} // namespace btr::tool
