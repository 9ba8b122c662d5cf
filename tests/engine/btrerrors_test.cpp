#include <gtest/gtest.h>

#include <cstring>

#include "engine/btrerrors.h"
#include "platform/ui.h"

namespace btr {
namespace {

TEST(EBtrieve, MessageNamesStatusOperationAndFile) {
    EBtrieve e(4, 5, "C:\\DATA\\CLIENTS.DAT");
    EXPECT_EQ(e.Message(), "Ошибка Btrieve \"Ключ не найден(4)\" при операции \"Чтение записи равной ключу(5)\" "
                           "с файлом \"C:\\DATA\\CLIENTS.DAT\"");
    EXPECT_EQ(e.Error(), 4);
    EXPECT_EQ(e.OpCode(), 5);
    EXPECT_EQ(e.FileName(), "C:\\DATA\\CLIENTS.DAT");
    EXPECT_EQ(OperationText(0), "Открытие файла(0)");
}

TEST(EBtrieve, UnknownCodesAndReadyMessages) {
    EXPECT_EQ(StatusText(33), "Неизвестная ошибка(33)");
    EXPECT_EQ(StatusText(95), "Неизвестная ошибка(95)");
    EXPECT_EQ(StatusText(-3), "Неизвестная ошибка(-3)");
    EXPECT_EQ(StatusText(1), "Неизвестная операция(1)");
    EXPECT_EQ(OperationText(105), "Неизвестная операция(105)");
    EXPECT_EQ(OperationText(16), "Неизвестная операция(16)");
    EXPECT_EQ(StatusText(10000), "Ошибка при загрузке библиотеки WBTRV32.DLL(10000)");
    EXPECT_EQ(StatusText(103), "Смещение блока в записи слишком велико(103)");
    EBtrieve ready("готово");
    EXPECT_EQ(ready.Message(), "готово");
    EXPECT_EQ(ready.Error(), 0);
    EXPECT_EQ(ready.OpCode(), 0);
    EXPECT_EQ(ready.FileName(), "");
}

TEST(ErrorSet, DefaultBytes) {
    const uint8_t expected[13] = {0xEE, 0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xEF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
    const TErrorSet d = TErrorSet::Default();
    EXPECT_EQ(std::memcmp(d.Bytes(), expected, 13), 0);
    EXPECT_FALSE(d.Contains(0));
    EXPECT_FALSE(d.Contains(4));
    EXPECT_FALSE(d.Contains(103));
    EXPECT_TRUE(d.Contains(102));
    TErrorSet s = d;
    s.Include(4).Exclude(5).Include(500);
    EXPECT_TRUE(s.Contains(4));
    EXPECT_FALSE(s.Contains(5));
    EXPECT_FALSE(s.Contains(500));
}

TEST(BError, ShowsTheMessageInAnErrorBox) {
    std::string shown;
    uint32_t style = 0;
    auto old = SetMessageBoxHandler([&](const std::string& text, const std::string& caption, uint32_t flags) {
        shown = caption + "|" + text;
        style = flags;
        return IDOK;
    });
    BError(EBtrieve(84, 3, "F.DAT"));
    SetMessageBoxHandler(old);
    EXPECT_EQ(style, 16u);
    EXPECT_EQ(shown.substr(0, shown.find('|')), "Ошибка Btrieve");
    EXPECT_NE(shown.find("Запись блокирована(84)"), std::string::npos);
}

} // namespace
} // namespace btr
