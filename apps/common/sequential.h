// The vendor's sequential ("unformatted") record file, as its maintenance
// utility saves and loads it: per record the length in ASCII digits, a comma
// (or a blank), exactly that many bytes, CR LF; then one 0x1A.
#pragma once

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace btr::apps {

// A sequential file that cannot be read on: names the record and the byte
// offset where it starts.
class ESequentialFormat : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TSequentialWriter {
public:
    explicit TSequentialWriter(FILE* out) : FOut(out) {}
    // "<length>,<bytes>\r\n"; raises std::runtime_error when the stream fails.
    void Write(const uint8_t* data, size_t size);
    // The end-of-file mark; nothing may be written after it.
    void Finish();
    uint64_t Records() const { return FRecords; }

private:
    FILE* FOut;
    uint64_t FRecords = 0;
};

// Reads records one at a time, never more than one in memory. Lenient where
// the vendor's files are known to vary, and says so: a blank instead of the
// comma, LF alone ending a record, no end-of-file mark at the physical end.
class TSequentialReader {
public:
    TSequentialReader(FILE* in, std::string name) : FIn(in), FName(std::move(name)) {}

    // The next record into `data`; false at the end of the file.
    bool Next(std::vector<uint8_t>& data);

    uint64_t Record() const { return FRecord; }      // 1-based number of the last record read
    uint64_t RecordOffset() const { return FStart; } // where it starts in the file
    uint64_t Offset() const { return FOffset; }      // bytes consumed so far
    bool EndMarkMissing() const { return FEndMarkMissing; }
    uint64_t LineFeedOnly() const { return FLineFeedOnly; } // records ended by LF alone

private:
    int Get();
    int Peek();
    [[noreturn]] void Fail(const std::string& why) const;

    FILE* FIn;
    std::string FName;
    std::vector<uint8_t> FBuffer = std::vector<uint8_t>(65536);
    size_t FAt = 0, FHave = 0;
    uint64_t FOffset = 0, FStart = 0, FRecord = 0, FLineFeedOnly = 0;
    bool FEnded = false, FEndMarkMissing = false;
};

} // namespace btr::apps
