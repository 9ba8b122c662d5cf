#include <gtest/gtest.h>

#include "platform/dynlib.h"
#include "platform/exceptions.h"
#include "platform/files.h"
#include "platform/messages.h"
#include "tests/support/tempdir.h"

namespace btr {
namespace {

TEST(Messages, TableHoldsTheTextsByIdentifier) {
    EXPECT_EQ(LoadResString(65520), "Ошибка Btrieve");
    EXPECT_EQ(LoadResString(65521), "Ошибка Btrieve \"%2:s\" при операции \"%0:s\" с файлом \"%1:s\"");
    EXPECT_EQ(LoadResString(65391), "Поле индекса \"%s\" не найдено среди полей");
    EXPECT_EQ(LoadResString(65376), "Unexpected end of RTF file");
    EXPECT_EQ(LoadResString(65396), "Error at line %d: ");
    EXPECT_EQ(LoadResString(1), "");
    // Every identifier from 65376 up is in use.
    EXPECT_EQ(LoadResString(65370), "Имя \"%s\" длиннее %d символов");
    for (int id = 65376; id <= 65535; ++id) EXPECT_FALSE(LoadResString(id).empty()) << id;
}

TEST(DynLib, WindowsNamesMapToSharedObjects) {
    EXPECT_EQ(HostLibraryName("WBTRV32.DLL"), "libwbtrv32.so");
    EXPECT_EQ(HostLibraryName("Other.dll"), "libother.so");
    EXPECT_EQ(HostLibraryName("/opt/x/libvendor.so"), "/opt/x/libvendor.so");
    EXPECT_EQ(LoadLibrary("NOSUCHLIBRARY.DLL"), nullptr);
    EXPECT_EQ(GetProcAddress(nullptr, "x"), nullptr);
}

TEST(Files, ExactReadsAndBareNames) {
    test::TempDir dir;
    EXPECT_THROW(ReadFileBytes(dir.File("none"), 4), EInOutError);
    {
        FILE* f = std::fopen(dir.File("alt").c_str(), "wb");
        std::fwrite("abc", 1, 3, f);
        std::fclose(f);
    }
    EXPECT_EQ(ReadFileBytes(dir.File("alt"), 3).size(), 3u);
    EXPECT_THROW(ReadFileBytes(dir.File("alt"), 265), EInOutError);
    EXPECT_TRUE(FileExists(dir.File("alt")));
    EXPECT_FALSE(FileExists(dir.Path().string()));
    EXPECT_EQ(ExtractFileName("D:\\DATA\\CLIENTS.DAT"), "CLIENTS.DAT");
    EXPECT_EQ(ExtractFileName("/data/clients.dat"), "clients.dat");
    EXPECT_EQ(ExtractFileName("plain"), "plain");
}

} // namespace
} // namespace btr
