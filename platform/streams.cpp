#include "platform/streams.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>

#include "platform/exceptions.h"

namespace btr {

void TStream::SetSize(int64_t) {}

int64_t TStream::Size() {
    const int64_t pos = Seek(0, TSeekOrigin::soCurrent);
    const int64_t size = Seek(0, TSeekOrigin::soEnd);
    Seek(pos, TSeekOrigin::soBeginning);
    return size;
}

void TStream::ReadBuffer(void* buffer, int32_t count) {
    if (count > 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int32_t count) {
    if (count > 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    const int64_t total = count;
    std::vector<uint8_t> buf(static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(count, 1), 65536)));
    while (count > 0) {
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(count, static_cast<int64_t>(buf.size())));
        source.ReadBuffer(buf.data(), n);
        WriteBuffer(buf.data(), n);
        count -= n;
    }
    return total;
}

int32_t TMemoryStream::Read(void* buffer, int32_t count) {
    if (count <= 0 || FPosition >= Size()) return 0;
    const int64_t n = std::min<int64_t>(count, Size() - FPosition);
    std::memcpy(buffer, FData.data() + FPosition, static_cast<size_t>(n));
    FPosition += n;
    return static_cast<int32_t>(n);
}

int32_t TMemoryStream::Write(const void* buffer, int32_t count) {
    if (count <= 0) return 0;
    const int64_t end = FPosition + count;
    if (end > Size()) FData.resize(static_cast<size_t>(end));
    std::memcpy(FData.data() + FPosition, buffer, static_cast<size_t>(count));
    FPosition = end;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
    switch (origin) {
    case TSeekOrigin::soBeginning: FPosition = offset; break;
    case TSeekOrigin::soCurrent: FPosition += offset; break;
    case TSeekOrigin::soEnd: FPosition = Size() + offset; break;
    }
    // A memory stream has no place before its start.
    if (FPosition < 0) FPosition = 0;
    return FPosition;
}

void TMemoryStream::SetSize(int64_t newSize) {
    if (newSize < 0) newSize = 0;
    if (static_cast<uint64_t>(newSize) > FData.max_size()) throw EStreamError("Out of memory while expanding memory stream");
    FData.resize(static_cast<size_t>(newSize));
    if (FPosition > newSize) FPosition = newSize;
}

void TMemoryStream::Clear() {
    FData.clear();
    FPosition = 0;
}

void TMemoryStream::LoadFromStream(TStream& stream) {
    stream.SetPosition(0);
    const int64_t size = stream.Size();
    SetSize(size);
    if (size > 0) stream.ReadBuffer(FData.data(), static_cast<int32_t>(size));
    FPosition = 0;
}

void TMemoryStream::SaveToStream(TStream& stream) {
    if (!FData.empty()) stream.WriteBuffer(FData.data(), static_cast<int32_t>(FData.size()));
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    if (!in) throw EInOutError("Cannot open file \"" + fileName + "\": " + std::strerror(errno), errno);
    FData.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) throw EInOutError("Cannot read file \"" + fileName + "\"", EIO);
    FPosition = 0;
}

void TMemoryStream::SaveToFile(const std::string& fileName) {
    std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
    if (!out) throw EInOutError("Cannot create file \"" + fileName + "\": " + std::strerror(errno), errno);
    out.write(reinterpret_cast<const char*>(FData.data()), static_cast<std::streamsize>(FData.size()));
    if (!out) throw EInOutError("Cannot write file \"" + fileName + "\"", EIO);
}

} // namespace btr
