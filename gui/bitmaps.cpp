#include "gui/bitmaps.h"

#include "tools/glyphs.h"

#include <QImage>
#include <map>
#include <mutex>

#include <cstdint>

namespace btr {

const uint32_t StandardPalette16[16] = {
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0x808080,
    0xC0C0C0, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
};

namespace {

uint32_t Get32(std::span<const uint8_t> b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}
uint16_t Get16(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

std::string UpperAscii(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return r;
}

// The drop-down button's down arrow; silver around it is transparent.
// clang-format off
constexpr std::string_view kDownArrow[] = {
    "88888888888",
    "88000000088",
    "88800000888",
    "88880008888",
    "88888088888",
    "88888888888",
};
// clang-format on

struct Registry {
    std::mutex lock;
    // Entries are never removed, so the spans handed out stay valid.
    std::map<std::string, std::unique_ptr<const std::vector<uint8_t>>> items;

    Registry() {
        items.emplace("DOWNARROW", std::make_unique<std::vector<uint8_t>>(EncodeBmp16(kDownArrow)));
        // The palette glyphs of the components, named by their classes.
        items.emplace("TBTRIEVEFILE", std::make_unique<std::vector<uint8_t>>(EncodeBmp16(kGlyphTBtrieveFile)));
        items.emplace("TBDATASET", std::make_unique<std::vector<uint8_t>>(EncodeBmp16(kGlyphTBDataSet)));
    }
};

Registry& Resources() {
    static Registry registry;
    return registry;
}

} // namespace

std::span<const uint8_t> FindBitmapResource(std::string_view name) {
    Registry& r = Resources();
    std::lock_guard guard(r.lock);
    auto it = r.items.find(UpperAscii(name));
    if (it == r.items.end()) return {};
    return {it->second->data(), it->second->size()};
}

void RegisterBitmapResource(std::string_view name, std::vector<uint8_t> bmp) {
    TBmpInfo info;
    if (name.empty()) throw Exception("A bitmap resource needs a name");
    if (!ReadBmpInfo(bmp, info))
        throw Exception("Bitmap resource " + std::string(name) + " is no BMP image");
    Registry& r = Resources();
    std::lock_guard guard(r.lock);
    auto [it, added] = r.items.try_emplace(UpperAscii(name));
    if (!added) throw Exception("Bitmap resource " + std::string(name) + " is already registered");
    it->second = std::make_unique<std::vector<uint8_t>>(std::move(bmp));
}

bool ReadBmpInfo(std::span<const uint8_t> bmp, TBmpInfo& info) {
    constexpr size_t kFileHeader = 14;
    if (bmp.size() < kFileHeader + 40 || bmp[0] != 'B' || bmp[1] != 'M') return false;
    const uint64_t offBits = Get32(bmp, 10);
    const uint32_t headerSize = Get32(bmp, 14);
    if (headerSize < 40 || kFileHeader + uint64_t(headerSize) > bmp.size()) return false;
    const int32_t width = static_cast<int32_t>(Get32(bmp, 18));
    const int32_t height = static_cast<int32_t>(Get32(bmp, 22));
    const uint16_t planes = Get16(bmp, 26);
    const uint16_t bits = Get16(bmp, 28);
    const uint32_t compression = Get32(bmp, 30);
    uint32_t colors = Get32(bmp, 46);
    if (planes != 1 || width <= 0 || height == 0 || height == INT32_MIN) return false;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return false;
    // Uncompressed only (bit-field masks for 16 and 32 bits are uncompressed too).
    if (compression != 0 && !(compression == 3 && (bits == 16 || bits == 32))) return false;
    if (bits <= 8) {
        if (colors == 0) colors = 1u << bits;
        if (colors > (1u << bits)) return false;
    } else if (colors > 256) {
        return false;
    }
    const uint64_t masks = compression == 3 && headerSize == 40 ? 12 : 0;
    const uint64_t palette = kFileHeader + headerSize + masks + uint64_t(colors) * 4;
    const uint64_t rows = static_cast<uint64_t>(height < 0 ? -int64_t(height) : height);
    const uint64_t stride = (uint64_t(width) * bits + 31) / 32 * 4;
    if (offBits < palette || offBits + stride * rows > bmp.size()) return false;
    info.Width = width;
    info.Height = static_cast<int>(rows);
    info.BitCount = bits;
    info.ColorsUsed = bits <= 8 ? static_cast<int>(colors) : 0;
    info.TopDown = height < 0;
    return true;
}

std::vector<uint8_t> EncodeBmp16(std::span<const std::string_view> rows) {
    if (rows.empty() || rows[0].empty()) throw EInvalidGraphic("A bitmap needs at least one pixel");
    const size_t width = rows[0].size();
    const size_t height = rows.size();
    if (width > 32767 || height > 32767) throw EInvalidGraphic("Bitmap too large");
    const size_t stride = (width * 4 + 31) / 32 * 4;
    constexpr uint32_t offBits = 14 + 40 + 16 * 4;
    std::vector<uint8_t> b;
    b.reserve(offBits + stride * height);
    b.push_back('B');
    b.push_back('M');
    Put32(b, static_cast<uint32_t>(offBits + stride * height));
    Put32(b, 0);
    Put32(b, offBits);
    Put32(b, 40);
    Put32(b, static_cast<uint32_t>(width));
    Put32(b, static_cast<uint32_t>(height)); // bottom-up
    Put16(b, 1);
    Put16(b, 4);
    Put32(b, 0);
    Put32(b, static_cast<uint32_t>(stride * height));
    Put32(b, 2835); // 72 dpi
    Put32(b, 2835);
    Put32(b, 16);
    Put32(b, 0);
    for (uint32_t rgb : StandardPalette16) {
        b.push_back(static_cast<uint8_t>(rgb));
        b.push_back(static_cast<uint8_t>(rgb >> 8));
        b.push_back(static_cast<uint8_t>(rgb >> 16));
        b.push_back(0);
    }
    for (size_t y = height; y-- > 0;) {
        const std::string_view row = rows[y];
        if (row.size() != width) throw EInvalidGraphic("Bitmap rows differ in length");
        std::vector<uint8_t> line(stride, 0);
        for (size_t x = 0; x < width; ++x) {
            const char c = row[x];
            int v;
            if (c >= '0' && c <= '9')
                v = c - '0';
            else if (c >= 'A' && c <= 'F')
                v = c - 'A' + 10;
            else if (c >= 'a' && c <= 'f')
                v = c - 'a' + 10;
            else
                throw EInvalidGraphic(std::string("Not a palette index: ") + c);
            line[x / 2] |= static_cast<uint8_t>(x % 2 == 0 ? v << 4 : v);
        }
        b.insert(b.end(), line.begin(), line.end());
    }
    return b;
}

struct TBitmap::Impl {
    QImage image; // ARGB32
    int bitCount = 0;
};

TBitmap::TBitmap() : FImpl(std::make_unique<Impl>()) {}
TBitmap::TBitmap(const TBitmap& other) : FImpl(std::make_unique<Impl>(*other.FImpl)) {}
TBitmap& TBitmap::operator=(const TBitmap& other) {
    *FImpl = *other.FImpl;
    return *this;
}
TBitmap::~TBitmap() = default;

void TBitmap::LoadFromResourceName(std::string_view name) {
    std::span<const uint8_t> data = FindBitmapResource(name);
    if (data.empty()) throw EResNotFound("Resource " + std::string(name) + " not found");
    LoadFromBmp(data);
}

void TBitmap::LoadFromBmp(std::span<const uint8_t> bmp) {
    TBmpInfo info;
    if (!ReadBmpInfo(bmp, info)) throw EInvalidGraphic("Bitmap image is not valid");
    QImage image;
    if (!image.loadFromData(bmp.data(), static_cast<int>(bmp.size()), "BMP") ||
        image.width() != info.Width || image.height() != info.Height)
        throw EInvalidGraphic("Bitmap image is not valid");
    FImpl->image = image.convertToFormat(QImage::Format_ARGB32);
    FImpl->bitCount = info.BitCount;
}

void TBitmap::Clear() {
    *FImpl = Impl{};
}

bool TBitmap::Empty() const {
    return FImpl->image.isNull();
}
int TBitmap::Width() const {
    return FImpl->image.width();
}
int TBitmap::Height() const {
    return FImpl->image.height();
}
int TBitmap::BitCount() const {
    return FImpl->bitCount;
}

uint32_t TBitmap::Pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= Width() || y >= Height())
        throw ERangeError("Pixel outside the bitmap");
    return FImpl->image.pixel(x, y);
}

uint32_t TBitmap::TransparentColor() const {
    return Empty() ? 0 : Pixel(0, Height() - 1);
}

QImage TBitmap::Image() const {
    return FImpl->image;
}

} // namespace btr
