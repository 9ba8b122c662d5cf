#include <gtest/gtest.h>

#include "platform/exceptions.h"
#include "platform/format.h"

namespace btr {
namespace {

TEST(Format, IndexedArgumentsPickTheirValue) {
    EXPECT_EQ(Format("\"%2:s\" op \"%0:s\" file \"%1:s\"", {"A", "B", "C"}), "\"C\" op \"A\" file \"B\"");
    // After an indexed one the next plain one continues from there.
    EXPECT_EQ(Format("%1:s %s %0:s", {"x", "y", "z"}), "y z x");
}

TEST(Format, NumbersWidthsAndPrecision) {
    EXPECT_EQ(Format("%d|%5d|%-5d|%.3d", {-7, 42, 42, 5}), "-7|   42|42   |005");
    EXPECT_EQ(Format("%x %u", {255, 4000000000u}), "FF 4000000000");
    EXPECT_EQ(Format("%.2f %g", {1.005, 0.5}), "1.00 0.5");
    EXPECT_EQ(Format("100%% %s", {"done"}), "100% done");
    EXPECT_EQ(Format("%10s|", {"abc"}), "       abc|");
}

TEST(Format, MismatchRaisesInsteadOfReadingPastArguments) {
    EXPECT_THROW(Format("%s %s", {"one"}), EConvertError);
    EXPECT_THROW(Format("%d", {"text"}), EConvertError);
    EXPECT_THROW(Format("%s", {5}), EConvertError);
    EXPECT_THROW(Format("%q", {5}), EConvertError);
    EXPECT_THROW(Format("trailing %", {}), EConvertError);
}

} // namespace
} // namespace btr
