#include <gtest/gtest.h>

#include "dataset/btrset.h"

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

TEST(PaletteGlyphs, TheThreeUnitsRegisterOnTheBtrievePage) {
    UnregisterAllComponents();
    btrfile::Register();
    btrset::Register();
    dictgrid::Register();
    dictgrid::Register(); // a second registration adds nothing
    const auto page = RegisteredComponents("Btrieve");
    ASSERT_EQ(page.size(), 3u);
    EXPECT_EQ(page[0].ClassName, "TBtrieveFile");
    EXPECT_EQ(page[1].ClassName, "TBDataSet");
    EXPECT_EQ(page[2].ClassName, "TDictGrid");
    TComponent owner;
    EXPECT_NE(dynamic_cast<TBDataSet*>(page[1].Create(owner)), nullptr);
    EXPECT_NE(dynamic_cast<TDictGrid*>(page[2].Create(owner)), nullptr);
}

} // namespace
} // namespace btr
