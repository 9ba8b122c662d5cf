#include "apps/common/sequential.h"

#include <algorithm>
#include <cstring>

namespace btr::apps {

namespace {

constexpr uint8_t kEndMark = 0x1A;
constexpr size_t kMaxLengthDigits = 18; // still fits 64 bits

std::string ByteText(int c) {
    if (c < 0) return "the end of the file";
    char buf[16];
    if (c >= 0x21 && c < 0x7F) std::snprintf(buf, sizeof buf, "'%c'", c);
    else std::snprintf(buf, sizeof buf, "byte 0x%02X", c);
    return buf;
}

} // namespace

void TSequentialWriter::Write(const uint8_t* data, size_t size) {
    const std::string length = std::to_string(size) + ",";
    if (std::fwrite(length.data(), 1, length.size(), FOut) != length.size() ||
        (size && std::fwrite(data, 1, size, FOut) != size) || std::fwrite("\r\n", 1, 2, FOut) != 2)
        throw std::runtime_error("cannot write the sequential file");
    ++FRecords;
}

void TSequentialWriter::Finish() {
    if (std::fputc(kEndMark, FOut) == EOF) throw std::runtime_error("cannot write the sequential file");
}

int TSequentialReader::Peek() {
    if (FAt == FHave) {
        FHave = std::fread(FBuffer.data(), 1, FBuffer.size(), FIn);
        FAt = 0;
        if (FHave == 0) {
            if (std::ferror(FIn)) throw std::runtime_error("cannot read " + FName);
            return -1;
        }
    }
    return FBuffer[FAt];
}

int TSequentialReader::Get() {
    const int c = Peek();
    if (c >= 0) {
        ++FAt;
        ++FOffset;
    }
    return c;
}

void TSequentialReader::Fail(const std::string& why) const {
    throw ESequentialFormat(FName + ": record " + std::to_string(FRecord + 1) + " at byte " + std::to_string(FStart) +
                            ": " + why);
}

bool TSequentialReader::Next(std::vector<uint8_t>& data) {
    if (FEnded) return false;
    FStart = FOffset;
    int c = Peek();
    if (c < 0) {
        FEnded = FEndMarkMissing = true;
        return false;
    }
    if (c == kEndMark) {
        Get();
        // Padding after the mark is harmless; records after it would be lost.
        for (c = Get(); c >= 0; c = Get())
            if (c != kEndMark && c != '\r' && c != '\n') {
                FStart = FOffset - 1;
                Fail("data after the end-of-file mark (0x1A): " + ByteText(c));
            }
        FEnded = true;
        return false;
    }

    uint64_t length = 0;
    size_t digits = 0;
    for (; c >= '0' && c <= '9'; c = Peek()) {
        if (++digits > kMaxLengthDigits) Fail("the record length has more than 18 digits");
        length = length * 10 + static_cast<uint64_t>(c - '0');
        Get();
    }
    if (digits == 0) Fail("a record starts with its length in digits, not " + ByteText(c));
    if (c != ',' && c != ' ') Fail("the length " + std::to_string(length) + " is followed by " + ByteText(c) +
                                   ", not a comma or a blank");
    Get();

    data.clear();
    for (uint64_t left = length; left > 0;) {
        if (Peek() < 0)
            Fail("the length says " + std::to_string(length) + " bytes, the file ends after " +
                 std::to_string(length - left));
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, FHave - FAt));
        data.insert(data.end(), FBuffer.begin() + static_cast<long>(FAt), FBuffer.begin() + static_cast<long>(FAt + n));
        FAt += n;
        FOffset += n;
        left -= n;
    }

    c = Get();
    if (c == '\r' && Peek() == '\n') {
        Get();
    } else if (c == '\n') {
        ++FLineFeedOnly;
    } else {
        Fail("no CR LF after the " + std::to_string(length) + " bytes the length gives (" + ByteText(c) +
             " follows): the length does not match the data");
    }
    ++FRecord;
    return true;
}

} // namespace btr::apps
