#include "framework/variant.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "platform/exceptions.h"

namespace btr {
namespace {

// The kinds show in what they convert to.
TEST(Variant, ConversionsBetweenKinds) {
    EXPECT_TRUE(Variant().IsNull());
    EXPECT_TRUE(VarIsNull(Null()));
    EXPECT_EQ(Variant(int16_t{-3}).AsString(), "-3");
    EXPECT_EQ(Variant(uint16_t{65535}).AsInteger(), 65535);
    EXPECT_THROW((void)Variant(std::numeric_limits<unsigned long long>::max()), EConvertError);
    EXPECT_EQ(Variant(" 42 ").AsInteger(), 42);
    EXPECT_EQ(Variant("+7").AsInt64(), 7);
    EXPECT_DOUBLE_EQ(Variant("1,5").AsDouble(), 1.5);  // a comma as decimal separator
    EXPECT_DOUBLE_EQ(Variant("-0.25").AsDouble(), -0.25);
    EXPECT_EQ(Variant("2.5").AsInteger(), 2);  // rounded half to even
    EXPECT_EQ(Variant(3.5).AsInteger(), 4);
    EXPECT_EQ(Variant(-2.5).AsInteger(), -2);
    EXPECT_TRUE(Variant("TRUE").AsBoolean());
    EXPECT_FALSE(Variant("false").AsBoolean());
    EXPECT_TRUE(Variant("2").AsBoolean());
    EXPECT_EQ(Variant(true).AsInteger(), 1);
    EXPECT_EQ(Variant(false).AsString(), "False");
    EXPECT_EQ(Variant(12345678901LL).AsString(), "12345678901");
    EXPECT_EQ(Variant(0.1).AsString(), "0.1");
    EXPECT_EQ(Variant::FromDateTime(EncodeDate(2024, 2, 29) + EncodeTime(13, 5, 0, 0)).AsString(),
              "2024-02-29 13:05:00");
    EXPECT_DOUBLE_EQ(Variant("2000-01-01").AsDateTime(), EncodeDate(2000, 1, 1));
}

TEST(Variant, NonsenseRaisesConvertError) {
    EXPECT_THROW(Variant("abc").AsInteger(), EConvertError);
    EXPECT_THROW(Variant("1.2.3").AsDouble(), EConvertError);
    EXPECT_THROW(Variant("nan").AsDouble(), EConvertError);
    EXPECT_THROW(Variant("").AsInteger(), EConvertError);
    EXPECT_THROW(Variant("maybe").AsBoolean(), EConvertError);
    EXPECT_THROW(Variant("31.02.2020").AsDateTime(), EConvertError);
    EXPECT_THROW(Variant().AsInteger(), EConvertError);
    EXPECT_THROW(Variant().AsString(), EConvertError);
    EXPECT_THROW(VarArrayOf({1}).AsDouble(), EConvertError);
    EXPECT_THROW(Variant(true).AsDateTime(), EConvertError);
    EXPECT_THROW(Variant(3e9).AsInteger(), EConvertError);       // beyond 32 bits
    EXPECT_THROW(Variant(1e19).AsInt64(), EConvertError);        // beyond 64 bits
    EXPECT_THROW(Variant(int64_t{1} << 40).AsInteger(), EConvertError);
    EXPECT_THROW(Variant(1).ArrayCount(), EConvertError);
    EXPECT_EQ(VarToStr(Variant()), "");
}

TEST(Variant, EqualityAndOrderBySameKindAndAcrossNumbers) {
    EXPECT_EQ(Variant("abc"), Variant(std::string("abc")));
    EXPECT_NE(Variant("abc"), Variant("ABC"));
    EXPECT_EQ(Variant(2), Variant(2.0));
    EXPECT_EQ(Variant(true), Variant(1));
    EXPECT_EQ(Variant("10"), Variant(10));
    EXPECT_NE(Variant("ten"), Variant(10));  // unequal, not an error
    EXPECT_EQ(Variant(), Variant());
    EXPECT_NE(Variant(), Variant(0));
    EXPECT_NE(Variant(""), Variant());
    EXPECT_EQ(VarArrayOf({1, "a"}), VarArrayOf({1.0, "a"}));
    EXPECT_NE(VarArrayOf({1, "a"}), VarArrayOf({1}));
    EXPECT_NE(VarArrayOf({1}), Variant(1));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_NE(Variant(nan), Variant(nan));
    // Large integers compare exactly, not through a rounding double.
    EXPECT_NE(Variant((int64_t{1} << 62) + 1), Variant(static_cast<double>(int64_t{1} << 62)));
    EXPECT_LT(Variant(), Variant(-1000));  // null first
    EXPECT_LT(Variant(1), Variant(1.5));
    EXPECT_LT(Variant("apple"), Variant("banana"));
    EXPECT_LT(Variant("Z"), Variant("a"));  // byte order
    EXPECT_GT(Variant("9"), Variant(8));
    EXPECT_LT(Variant::FromDateTime(EncodeDate(2000, 1, 1)), Variant("2000-01-02"));
    EXPECT_LT(VarArrayOf({1, 2}), VarArrayOf({1, 3}));
    EXPECT_LT(VarArrayOf({1}), VarArrayOf({1, 0}));
    EXPECT_EQ(VarCompare(Variant(5), Variant(5.0)), 0);
    EXPECT_THROW(VarCompare(Variant("ten"), Variant(10)), EConvertError);
    EXPECT_THROW(VarCompare(VarArrayOf({1}), Variant(1)), EConvertError);
}

TEST(Variant, ArraysCopyDeeplyAndCheckBounds) {
    Variant a = VarArrayOf({1, VarArrayOf({"x", 2.5})});
    Variant b = a;
    b[1][0] = Variant("changed");
    EXPECT_EQ(a[1][0].AsString(), "x");
    EXPECT_EQ(b[1][0].AsString(), "changed");
    EXPECT_EQ(a.ArrayCount(), 2u);
    EXPECT_THROW(a[2], ERangeError);
    const Variant& same = a;
    a = same;  // self-assignment keeps the value
    EXPECT_EQ(a[0].AsInteger(), 1);
}

TEST(Variant, TextHelpers) {
    int64_t i;
    EXPECT_TRUE(TryStrToInt64("-9223372036854775808", i));
    EXPECT_EQ(i, std::numeric_limits<int64_t>::min());
    EXPECT_FALSE(TryStrToInt64("9223372036854775808", i));
    EXPECT_FALSE(TryStrToInt64("12x", i));
    double d;
    EXPECT_FALSE(TryStrToFloat("1,000,5", d));  // two commas: no number
    EXPECT_FALSE(TryStrToFloat("inf", d));
    for (double v : {0.1, 1.0 / 3, 123456.789, -2.5e-7, 1e300}) {
        ASSERT_TRUE(TryStrToFloat(FloatToStr(v), d));
        EXPECT_NEAR(d, v, std::abs(v) * 1e-14) << FloatToStr(v);
    }
}

// Floats become text exactly as printf's %.15g writes them: short and long
// digit strings, both sides of the switch to the exponent form, signed zeros,
// values whose 15-digit rounding carries into a new digit, short decimals at
// every scale and the doubles one bit beside them.
TEST(Variant, FloatTextIsPrintfs15g) {
    auto printf15g = [](double v) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.15g", v);
        return std::string(buf);
    };
    std::vector<double> values = {0.0, -0.0, 1, -1, 0.5, 0.1, 0.0001, 0.00001, 1.5e-7, 123.456, 1e14, 1e15,
                                  999999999999999.0, 999999999999999.5, 9999999999999999.0, 123456789012345.6,
                                  0.000123456789012345678, 1e-300, 5e-324, 1.7976931348623157e308, 2.5, 1.0 / 3};
    std::mt19937_64 rng(7);
    for (int i = 0; i < 20000; ++i) {
        uint64_t bits = rng();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        if (std::isfinite(v)) values.push_back(v);
        // Decimals of a few digits at every scale, as records hold them.
        values.push_back(static_cast<double>(static_cast<int64_t>(rng() % 2000001) - 1000000) *
                         std::pow(10.0, static_cast<int>(rng() % 40) - 20));
        // Whole numbers of 10^-k, up to 16 digits, divided as an import or a
        // calculation makes them; their neighbours one bit away, which are
        // no short decimal.
        const double scaled = static_cast<double>(rng() % 10000000000000000u) / std::pow(10.0, static_cast<int>(rng() % 10));
        values.push_back(scaled);
        values.push_back(-std::nextafter(scaled, 0.0));
        values.push_back(std::nextafter(scaled, 1e300));
    }
    for (double edge : {1e-4, 1e15, 0.1 + 0.2, 999999999999999.9, 99999999999999.99, 0.00010000000000000002}) {
        values.push_back(edge);
        values.push_back(std::nextafter(edge, 0.0));
        values.push_back(std::nextafter(edge, 1.0));
    }
    for (double v : values) ASSERT_EQ(FloatToStr(v), printf15g(v)) << std::hexfloat << v;
}

} // namespace
} // namespace btr
