// Bitmaps and the library's named bitmap resources: BMP file images kept by
// name (compiled in, or registered by a part of the library at start), found
// the way the host finds a module's bitmap resources.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/exceptions.h"

class QImage;

namespace btr {

class EResNotFound : public Exception {
    using Exception::Exception;
};

class EInvalidGraphic : public Exception {
    using Exception::Exception;
};

// The BMP image registered under name (names compare without regard to ASCII
// case); empty when there is none. The bytes live as long as the process.
std::span<const uint8_t> FindBitmapResource(std::string_view name);
// Adds a resource; raises Exception when the name is taken or the data is no
// BMP image.
void RegisterBitmapResource(std::string_view name, std::vector<uint8_t> bmp);

// What a BMP image's headers say.
struct TBmpInfo {
    int Width = 0;
    int Height = 0;     // always positive; TopDown tells the row order
    int BitCount = 0;   // bits per pixel
    int ColorsUsed = 0; // palette entries (0 for images without a palette)
    bool TopDown = false;
};
// False when the data is not a complete uncompressed BMP image.
bool ReadBmpInfo(std::span<const uint8_t> bmp, TBmpInfo& info);

// The standard 16-colour palette, 0x00RRGGBB, in palette order.
extern const uint32_t StandardPalette16[16];
// A 4-bit BMP image in the standard palette. rows: top to bottom, one hex
// digit (the palette index) per pixel, all of the same length. Raises
// EInvalidGraphic for an empty picture, ragged rows or another character.
std::vector<uint8_t> EncodeBmp16(std::span<const std::string_view> rows);

class TBitmap {
public:
    TBitmap();
    TBitmap(const TBitmap& other);
    TBitmap& operator=(const TBitmap& other);
    ~TBitmap();

    // Raises EResNotFound when no resource has that name.
    void LoadFromResourceName(std::string_view name);
    // Raises EInvalidGraphic for data that is no BMP image.
    void LoadFromBmp(std::span<const uint8_t> bmp);
    void Clear();

    bool Empty() const;
    int Width() const;
    int Height() const;
    // Bits per pixel of the image as loaded (0 when empty).
    int BitCount() const;
    // 0xAARRGGBB; raises ERangeError outside the picture.
    uint32_t Pixel(int x, int y) const;
    // The colour drawn as transparent: the bottom-left pixel, the host's rule
    // for button glyphs.
    uint32_t TransparentColor() const;
    // The picture as an ARGB32 image (a null image when empty).
    QImage Image() const;

private:
    struct Impl;
    std::unique_ptr<Impl> FImpl;
};

} // namespace btr
