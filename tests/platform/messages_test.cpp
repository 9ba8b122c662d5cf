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

// Server paths: their file's name, and the files beside a file (a dictionary's).
TEST(Files, ServerPathsNameFilesBesideEachOther) {
    const std::string server = "postgresql://sales@db.example:5432/office/";
    EXPECT_TRUE(IsServerPath(server + "A.DAT"));
    EXPECT_TRUE(IsServerPath("postgres://h/db/A.DAT"));
    for (const char* local : {"/data/A.DAT", "A.DAT", "postgresql", "file://x/A.DAT", "D:\\A.DAT"}) EXPECT_FALSE(IsServerPath(local)) << local;
    const struct {
        std::string path, name;
    } names[] = {
        {server + "CLIENTS.DAT", "CLIENTS.DAT"},
        {server + "CLIENTS.DAT?sslmode=require&application_name=x/y", "CLIENTS.DAT"},
        {"postgres://h/db/ODD%20NAME%25.DAT", "ODD NAME%.DAT"},
        {"postgres://h/db/%D0%AF.DAT", "\xD0\xAF.DAT"},
    };
    for (const auto& n : names) EXPECT_EQ(ExtractFileName(n.path), n.name) << n.path;
    const struct {
        std::string sibling, name, beside;
    } besides[] = {
        {server + "APP.DIC", "CLIENTS.DAT", server + "CLIENTS.DAT"},
        {server + "APP.DIC?sslmode=require", "ODD NAME.DAT", server + "ODD%20NAME.DAT?sslmode=require"},
        {"/data/APP.DIC", "CLIENTS.DAT", "/data/CLIENTS.DAT"},
        {"APP.DIC", "CLIENTS.DAT", "CLIENTS.DAT"},
    };
    for (const auto& b : besides) {
        EXPECT_EQ(PathBeside(b.sibling, b.name), b.beside) << b.sibling;
        EXPECT_EQ(ExtractFileName(PathBeside(b.sibling, b.name)), b.name) << b.sibling;
    }
    // What a dictionary means by a name: beside it when it is on a server and
    // the name is bare; as given otherwise.
    EXPECT_EQ(DescribedFile(server + "APP.DIC", "CLIENTS.DAT"), server + "CLIENTS.DAT");
    EXPECT_EQ(DescribedFile(server + "APP.DIC", "/local/CLIENTS.DAT"), "/local/CLIENTS.DAT");
    EXPECT_EQ(DescribedFile(server + "APP.DIC", "postgres://other/db/C.DAT"), "postgres://other/db/C.DAT");
    EXPECT_EQ(DescribedFile("/data/APP.DIC", "CLIENTS.DAT"), "CLIENTS.DAT");
}

} // namespace
} // namespace btr
