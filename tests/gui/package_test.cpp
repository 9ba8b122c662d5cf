#include <gtest/gtest.h>

#include <set>

#include "gui/bitmaps.h"
#include "tools/dictgrid.h"
#include "tools/registry.h"

namespace btr {
namespace {

TEST(PaletteGlyphs, AreTwentyFourSquareSixteenColourBitmaps) {
    for (const char* name : {"TBTRIEVEFILE", "TBDATASET"}) {
        TBmpInfo info;
        ASSERT_TRUE(ReadBmpInfo(FindBitmapResource(name), info)) << name;
        EXPECT_EQ(info.Width, 24);
        EXPECT_EQ(info.Height, 24);
        EXPECT_EQ(info.BitCount, 4);
        TBitmap glyph;
        glyph.LoadFromResourceName(name);
        std::set<uint32_t> colours; // a picture, not a blank square
        for (int y = 0; y < 24; ++y)
            for (int x = 0; x < 24; ++x) colours.insert(glyph.Pixel(x, y));
        EXPECT_GE(colours.size(), 3u) << name;
    }
    EXPECT_TRUE(FindBitmapResource("TDICTGRID").empty()); // the grid has no glyph of its own
}

TEST(PaletteGlyphs, TheGridRegistersOnTheBtrievePage) {
    UnregisterAllComponents();
    btrfile::Register();
    dictgrid::Register();
    const auto page = RegisteredComponents("Btrieve");
    ASSERT_EQ(page.size(), 2u);
    EXPECT_EQ(page[1].ClassName, "TDictGrid");
    TComponent owner;
    EXPECT_NE(dynamic_cast<TDictGrid*>(page[1].Create(owner)), nullptr);
}

} // namespace
} // namespace btr
