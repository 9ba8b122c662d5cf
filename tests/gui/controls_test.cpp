#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <set>
#include <thread>

#include "dataset/btrset.h"
#include "gui/bitmaps.h"
#include "gui/buttons.h"
#include "gui/qthandlers.h"
#include "tests/gui/guitest.h"
#include "tools/dictgrid.h"
#include "tools/registry.h"

namespace btr {
namespace {

// ---------------------------------------------------------------------------
// Bitmaps

TEST(Bitmaps, EncodedImagesDecodeToTheirPixels) {
    // Three pixels wide: rows are padded, and stored bottom-up.
    const std::string_view rows[] = {"0F9", "C00", "ABE"};
    const std::vector<uint8_t> bmp = EncodeBmp16(rows);
    TBmpInfo info;
    ASSERT_TRUE(ReadBmpInfo(bmp, info));
    EXPECT_EQ(info.Width, 3);
    EXPECT_EQ(info.Height, 3);
    EXPECT_EQ(info.BitCount, 4);
    EXPECT_EQ(info.ColorsUsed, 16);
    EXPECT_FALSE(info.TopDown);

    TBitmap bitmap;
    bitmap.LoadFromBmp(bmp);
    EXPECT_EQ(bitmap.BitCount(), 4);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x) {
            const int index = std::stoi(std::string(1, rows[y][static_cast<size_t>(x)]), nullptr, 16);
            EXPECT_EQ(bitmap.Pixel(x, y), 0xFF000000u | StandardPalette16[index]) << x << "," << y;
        }
    EXPECT_EQ(bitmap.TransparentColor(), 0xFF000000u | StandardPalette16[10]);
    EXPECT_THROW(bitmap.Pixel(3, 0), ERangeError);
}

TEST(Bitmaps, BadPicturesAndDataAreRefused) {
    // Ragged rows, a letter that is no hex digit, no rows.
    for (std::vector<std::string_view> picture : {std::vector<std::string_view>{"00", "0"}, {"0G"}, {}})
        EXPECT_THROW(EncodeBmp16(picture), EInvalidGraphic) << picture.size();

    const std::string_view rows[] = {"0123", "4567"};
    std::vector<uint8_t> bmp = EncodeBmp16(rows);
    TBitmap bitmap;
    TBmpInfo info;
    std::vector<uint8_t> cut(bmp.begin(), bmp.end() - 1);
    EXPECT_FALSE(ReadBmpInfo(cut, info));
    EXPECT_THROW(bitmap.LoadFromBmp(cut), EInvalidGraphic);
    std::vector<uint8_t> magic = bmp;
    magic[0] = 'X';
    EXPECT_THROW(bitmap.LoadFromBmp(magic), EInvalidGraphic);
    std::vector<uint8_t> compressed = bmp;
    compressed[30] = 2; // run-length encoded
    EXPECT_FALSE(ReadBmpInfo(compressed, info));
    EXPECT_TRUE(bitmap.Empty());
}

TEST(Bitmaps, NamedResources) {
    TBitmap arrow;
    arrow.LoadFromResourceName("downarrow"); // names ignore case
    // A dark arrow on a transparent ground, widest at the top.
    const uint32_t ground = arrow.TransparentColor();
    auto inked = [&](int y) {
        int n = 0;
        for (int x = 0; x < arrow.Width(); ++x) n += arrow.Pixel(x, y) != ground;
        return n;
    };
    int rows = 0, last = arrow.Width() + 1;
    for (int y = 0; y < arrow.Height(); ++y) {
        if (inked(y) == 0) continue;
        EXPECT_LT(inked(y), last);
        last = inked(y);
        ++rows;
    }
    EXPECT_GE(rows, 3);
    EXPECT_EQ(last, 1);

    EXPECT_TRUE(FindBitmapResource("NO SUCH").empty());
    EXPECT_THROW(arrow.LoadFromResourceName("NO SUCH"), EResNotFound);
    EXPECT_FALSE(arrow.Empty()); // a failed load keeps the old picture

    const std::string_view dot[] = {"F"};
    RegisterBitmapResource("TESTDOT", EncodeBmp16(dot));
    EXPECT_EQ(FindBitmapResource("TestDot").size(), EncodeBmp16(dot).size());
    EXPECT_THROW(RegisterBitmapResource("testdot", EncodeBmp16(dot)), Exception);
    EXPECT_THROW(RegisterBitmapResource("JUNK", {1, 2, 3}), Exception);
}

TEST(Palette, ThreeUnitsOnTheBtrievePageWithTwentyFourSquareSixteenColourGlyphs) {
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
    UnregisterAllComponents();
    btrfile::Register();
    btrset::Register();
    dictgrid::Register();
    const auto page = RegisteredComponents("Btrieve");
    ASSERT_EQ(page.size(), 3u);
    EXPECT_EQ(page[0].ClassName, "TBtrieveFile");
    EXPECT_EQ(page[1].ClassName, "TBDataSet");
    EXPECT_EQ(page[2].ClassName, "TDictGrid");
    TComponent owner;
    EXPECT_NE(dynamic_cast<TBDataSet*>(page[1].Create(owner)), nullptr);
    EXPECT_NE(dynamic_cast<TDictGrid*>(page[2].Create(owner)), nullptr);
}

// ---------------------------------------------------------------------------
// Controls and the speed button

class Controls : public test::GuiTest {};

TEST_F(Controls, AlignedChildrenFollowTheirParent) {
    TSpeedButton parent;
    parent.SetBounds(0, 0, 100, 30);
    auto* right = new TSpeedButton(&parent);
    auto* inner = new TSpeedButton(&parent);
    for (TSpeedButton* b : {right, inner}) {
        b->SetWidth(20);
        b->SetAlign(alRight);
        b->SetParent(&parent);
    }
    EXPECT_EQ(right->BoundsRect(), (TRect{80, 0, 100, 30}));
    EXPECT_EQ(inner->BoundsRect(), (TRect{60, 0, 80, 30}));
    parent.SetBounds(0, 0, 150, 40);
    EXPECT_EQ(right->BoundsRect(), (TRect{130, 0, 150, 40}));
    right->Hide(); // takes no room while hidden
    EXPECT_EQ(inner->BoundsRect(), (TRect{130, 0, 150, 40}));
    EXPECT_EQ(parent.ControlCount(), 2);
    EXPECT_THROW(parent.SetParent(inner), Exception);
}

TEST_F(Controls, AParentGoingLeavesChildrenOwnedElsewhere) {
    TSpeedButton child;
    {
        TSpeedButton parent;
        child.SetParent(&parent);
        EXPECT_EQ(child.Widget()->parentWidget(), parent.Widget());
    }
    EXPECT_EQ(child.Parent(), nullptr);
    ASSERT_NE(child.Widget(), nullptr);
    EXPECT_EQ(child.Widget()->parentWidget(), nullptr);
    child.SetCursor(crHandPoint);
    EXPECT_EQ(child.Widget()->cursor().shape(), Qt::PointingHandCursor);
    TSpeedButton other;
    child.SetParent(&other);
    child.SetCursor(crDefault);
    EXPECT_FALSE(child.Widget()->testAttribute(Qt::WA_SetCursor));
}

TEST_F(Controls, SpeedButtonClicksOnlyWhenReleasedOverItAndShowsHandlerErrors) {
    TSpeedButton button;
    button.SetBounds(0, 0, 20, 20);
    button.Show();
    test::Settle();
    std::vector<TComponent*> senders;
    button.OnClick = [&](TComponent* sender) { senders.push_back(sender); };
    QTest::mouseClick(button.Widget(), Qt::LeftButton);
    QTest::mousePress(button.Widget(), Qt::LeftButton);
    EXPECT_TRUE(button.Pressed());
    QTest::mouseRelease(button.Widget(), Qt::LeftButton, {}, QPoint(40, 40));
    QTest::mouseClick(button.Widget(), Qt::RightButton);
    EXPECT_EQ(senders, (std::vector<TComponent*>{&button}));
    EXPECT_FALSE(button.Pressed());
    button.SetNumGlyphs(9);
    EXPECT_EQ(button.NumGlyphs(), 4);
    button.SetNumGlyphs(0);
    EXPECT_EQ(button.NumGlyphs(), 1);
    // A handler's error becomes a message box; an abort stays silent.
    button.OnClick = [](TComponent*) { throw Exception("button failed"); };
    QTest::mouseClick(button.Widget(), Qt::LeftButton);
    EXPECT_EQ(Boxes, (std::vector<std::string>{"button failed"}));
    Boxes.clear();
    button.OnClick = [](TComponent*) { Abort(); };
    QTest::mouseClick(button.Widget(), Qt::LeftButton);
    EXPECT_TRUE(Boxes.empty());
    EXPECT_FALSE(RunHandled([] { throw Exception("x"); }));
    EXPECT_EQ(Boxes.size(), 1u);
    Boxes.clear();
}

// ---------------------------------------------------------------------------
// The Qt message box and quit handlers

// Answers the next box that opens by clicking one of its buttons.
void AnswerNextBox(QMessageBox::StandardButton answer, std::function<void(QMessageBox*)> check) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, answer, check] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        timer->stop();
        timer->deleteLater();
        if (check) check(box);
        box->button(answer)->click();
    });
    timer->start(5);
}

class QtHandlers : public ::testing::Test {
protected:
    void SetUp() override { InstallQtHandlers(); }
    void TearDown() override { RemoveQtHandlers(); }
};

TEST_F(QtHandlers, BoxesGetTheStyleButtonsAndIcon) {
    AnswerNextBox(QMessageBox::Yes, [](QMessageBox* box) {
        EXPECT_EQ(box->icon(), QMessageBox::Question);
        EXPECT_EQ(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
        EXPECT_EQ(static_cast<QAbstractButton*>(box->defaultButton()),
                  box->button(QMessageBox::No));
        EXPECT_EQ(box->text(), "Перезаписать?");
        EXPECT_EQ(box->windowTitle(), "Подтверждение");
    });
    EXPECT_EQ(
        MessageBox("Перезаписать?", "Подтверждение", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2),
        IDYES);

    AnswerNextBox(QMessageBox::Cancel, [](QMessageBox* box) {
        EXPECT_EQ(box->icon(), QMessageBox::Warning);
        EXPECT_EQ(box->standardButtons(), QMessageBox::Ok | QMessageBox::Cancel);
        EXPECT_EQ(box->escapeButton(),
                  static_cast<QAbstractButton*>(box->button(QMessageBox::Cancel)));
    });
    EXPECT_EQ(MessageBox("t", "c", MB_OKCANCEL | MB_ICONWARNING), IDCANCEL);

    AnswerNextBox(QMessageBox::Ok,
                  [](QMessageBox* box) { EXPECT_EQ(box->icon(), QMessageBox::Critical); });
    EXPECT_EQ(MessageBox("e", "c", MB_OK | MB_ICONERROR), IDOK);
}

TEST_F(QtHandlers, OtherThreadsWaitForTheGuiThreadsBox) {
    std::atomic<int> answer{0};
    AnswerNextBox(QMessageBox::No, nullptr);
    std::thread worker([&] { answer = MessageBox("q", "c", MB_YESNOCANCEL); });
    for (int i = 0; i < 2000 && answer == 0; ++i) QTest::qWait(5);
    worker.join();
    EXPECT_EQ(answer, IDNO);
}

TEST_F(QtHandlers, QuitEndsTheEventLoopEvenWhenAskedBeforeItRuns) {
    PostQuitMessage(7);
    EXPECT_EQ(QApplication::exec(), 7);
    EXPECT_FALSE(QuitRequested()); // the Qt handler took it
}

TEST(QtHandlersRemoval, RemovingRestoresThePreviousHandlers) {
    int scripted = 0;
    auto old = SetMessageBoxHandler([&](const std::string&, const std::string&, uint32_t) {
        ++scripted;
        return IDNO;
    });
    InstallQtHandlers();
    InstallQtHandlers(); // twice is once
    RemoveQtHandlers();
    EXPECT_EQ(MessageBox("q", "c", MB_YESNO), IDNO);
    EXPECT_EQ(scripted, 1);
    SetMessageBoxHandler(old);
}

} // namespace
} // namespace btr
