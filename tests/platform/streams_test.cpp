#include <gtest/gtest.h>

#include "platform/exceptions.h"
#include "platform/streams.h"
#include "tests/support/tempdir.h"

namespace btr {
namespace {

TEST(MemoryStream, ReadWriteSeekAndSize) {
    TMemoryStream s;
    EXPECT_EQ(s.Write("hello", 5), 5);
    EXPECT_EQ(s.Seek(-2, TSeekOrigin::soEnd), 3);
    char buf[8] = {};
    EXPECT_EQ(s.Read(buf, 8), 2);
    EXPECT_STREQ(buf, "lo");
    EXPECT_EQ(s.Read(buf, 8), 0); // at the end

    s.SetPosition(7);             // writing past the end fills the gap with zeros
    s.Write("!", 1);
    EXPECT_EQ(s.Size(), 8);
    EXPECT_EQ(s.Memory()[5], 0);

    s.SetSize(2);
    EXPECT_EQ(s.Position(), 2);
    EXPECT_EQ(s.Seek(-10, TSeekOrigin::soCurrent), 0);
}

TEST(MemoryStream, ReadBufferRaisesOnShortData) {
    TMemoryStream s;
    s.Write("ab", 2);
    s.SetPosition(0);
    char buf[4];
    EXPECT_THROW(s.ReadBuffer(buf, 3), EReadError);
}

TEST(MemoryStream, CopyFromAndFiles) {
    TMemoryStream a, b;
    a.Write("0123456789", 10);
    b.CopyFrom(a, 0); // whole source from its start
    EXPECT_EQ(b.Size(), 10);
    test::TempDir dir;
    b.SaveToFile(dir.File("x.bin"));
    TMemoryStream c;
    c.LoadFromFile(dir.File("x.bin"));
    ASSERT_EQ(c.Size(), 10);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(c.Memory()), 10), "0123456789");
    EXPECT_THROW(c.LoadFromFile(dir.File("missing")), EInOutError);
}

} // namespace
} // namespace btr
