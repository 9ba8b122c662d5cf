// btrstudio on the offscreen platform, driven by clicks and keys: the demo's
// dictionary opened, a field's type changed through the grid's drop-down,
// saved, the data file created from it and records browsed; memos shown
// whole and never written back as placeholders; the data view read-only
// until Edit is pressed; and screenshots under Xvfb.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>

#include <unistd.h>

#include <libpq-fe.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <set>

#include "apps/btrstudio/studio.h"
#include "apps/common/values.h"
#include "engine/btrfile.h"
#include "platform/ui.h"
#include "tests/support/tempdir.h"

namespace btr::studio {
namespace {

class Studio : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string cmd = "'" BTRTOOL "' demo '" + FDir.Path().string() + "' >/dev/null 2>&1";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        FDict = FDir.File("DEMO.DIC");
        FOld = SetMessageBoxHandler([this](const std::string& text, const std::string&, uint32_t) {
            Asked.push_back(text);
            return IDYES;
        });
    }
    void TearDown() override { SetMessageBoxHandler(FOld); }
    static void Settle() {
        for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
    }
    // Every row of the model fetched; answers how many there are.
    static int FetchAll(TDataSetModel& model) {
        while (model.canFetchMore({})) model.fetchMore({});
        return model.rowCount();
    }
    // The value of a field of the record holding Number=number, read afresh.
    std::string Stored(const std::string& file, int number, const std::string& field) {
        TBDataSet ds;
        ds.SetDictName(FDict);
        ds.SetBaseName(FDir.File(file));
        ds.Open();
        EXPECT_TRUE(ds.Locate("Number", Variant(number), {}));
        return apps::FieldText(*ds.FieldByName(field));
    }
    // A data window over ORDERS.DAT, as the toolbar's Open data makes it.
    std::unique_ptr<TDataWindow> Orders() {
        auto w = std::make_unique<TDataWindow>(FDict, FDir.File("ORDERS.DAT"));
        w->show();
        Settle();
        return w;
    }
    static int Column(TDataWindow& w, const std::string& name) {
        for (int c = 0; c < w.Model().columnCount(); ++c)
            if (w.Model().headerData(c, Qt::Horizontal).toString().toStdString() == name) return c;
        return -1;
    }
    static void DoubleClick(TDataWindow& w, const QModelIndex& cell) {
        w.Table()->scrollTo(cell);
        QTest::mouseClick(w.Table()->viewport(), Qt::LeftButton, {}, w.Table()->visualRect(cell).center());
        QTest::mouseDClick(w.Table()->viewport(), Qt::LeftButton, {}, w.Table()->visualRect(cell).center());
        Settle();
    }
    // Types text as a keyboard would, whatever its letters (QTest types ASCII only).
    static void Type(QWidget* widget, const QString& text) {
        for (const QChar c : text) {
            QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
            QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
            QApplication::sendEvent(widget, &press);
            QApplication::sendEvent(widget, &release);
        }
    }
    static QLineEdit* CellEditor(TDataWindow& w) { return w.Table()->viewport()->findChild<QLineEdit*>(); }
    int Row(TDictGrid& grid, int col, const std::string& text) {
        for (int r = 1; r < grid.RowCount(); ++r)
            if (grid.Cells(col, r) == text) return r;
        return -1;
    }

    test::TempDir FDir;
    std::string FDict;
    std::vector<std::string> Asked;
    TMessageBoxHandler FOld;
};

TEST_F(Studio, ChangeATypeSaveCreateAndBrowse) {
    TStudioWindow w;
    w.show();
    w.OpenDictionary(FDict);
    Settle();
    ASSERT_EQ(w.FileList()->count(), 2);
    ASSERT_EQ(w.FileList()->item(0)->text().toStdString(), "CLIENTS.DAT");
    TDictGrid& fields = w.FieldGrid();
    const int balance = Row(fields, TStudioWindow::fcName, "Balance");
    ASSERT_GT(balance, 0);
    EXPECT_EQ(fields.Cells(TStudioWindow::fcType, balance), "Decimal");
    EXPECT_EQ(fields.Cells(TStudioWindow::fcOffset, balance), "60");

    // F3 in the type cell opens the type list; the user picks Longint.
    std::vector<std::string> offered;
    w.Chooser = [&](const std::vector<std::string>& choices, const std::string& current) {
        offered = choices;
        EXPECT_EQ(current, "Decimal");
        return std::optional<std::string>("Longint");
    };
    fields.FocusCell(TStudioWindow::fcType, balance);
    fields.ShowEditor();
    Settle();
    auto* line = static_cast<QLineEdit*>(fields.InplaceEditor()->Widget());
    QTest::keyClick(line, Qt::Key_F3);
    EXPECT_EQ(offered.size(), 22u);
    EXPECT_EQ(line->text().toStdString(), "Longint");
    fields.HideEditor();
    EXPECT_EQ(fields.Cells(TStudioWindow::fcType, balance), "Longint");
    EXPECT_EQ(fields.Cells(TStudioWindow::fcLength, balance), "4"); // a Longint is 4 bytes
    // A length typed for a fixed-length type does not stick.
    fields.FocusCell(TStudioWindow::fcLength, balance);
    fields.ShowEditor();
    static_cast<QLineEdit*>(fields.InplaceEditor()->Widget())->setText("7");
    fields.HideEditor();
    EXPECT_EQ(fields.Cells(TStudioWindow::fcLength, balance), "4");

    w.Save();
    {
        TDictFile dict(FDict);
        dict.SetReadOnly(true);
        dict.SetActive(true);
        const auto files = apps::ReadDictionary(dict);
        ASSERT_EQ(files.size(), 2u);
        const auto& balanceField = files[0].fields[4];
        EXPECT_EQ(balanceField.name, "Balance");
        EXPECT_EQ(balanceField.type, 3);
        EXPECT_EQ(balanceField.length, 4);
        EXPECT_EQ(files[0].segments.size(), 3u); // the keys came back as they were
        EXPECT_EQ(files[0].segments[1].flags & kfSegmented, kfSegmented);
    }

    // The data file made from the new description: 60 + 4 bytes, empty.
    w.CreateDataFile();
    ASSERT_EQ(Asked.size(), 1u); // the overwrite question, answered yes
    TBtrieveFile file;
    file.SetFileName(FDir.File("CLIENTS.DAT"));
    file.SetActive(true);
    EXPECT_EQ(file.RecordLen(), 64);
    EXPECT_EQ(file.NumberOfRecords(), 0);
    file.SetActive(false);

    // Orders, browsed, then only client 7's on key 1.
    w.FileList()->setCurrentRow(1);
    Settle();
    TDataWindow* data = w.OpenData();
    Settle();
    TDataSetModel& model = data->Model();
    EXPECT_EQ(FetchAll(model), 4000);
    data->ApplyRange(1, "7", "7");
    ASSERT_GT(FetchAll(model), 0);
    EXPECT_LT(model.rowCount(), 40);
    for (int r = 0; r < model.rowCount(); ++r) EXPECT_EQ(model.data(model.index(r, 1)).toString(), "7");
}

// The demo copied to a database of its own on a server (BTRKIT_TEST_SERVER
// names the file with a throwaway cluster's URI): the dictionary opens from
// there, its files are browsed and created beside it.
TEST_F(Studio, ADictionaryOnAServerFindsItsFilesBesideIt) {
    const char* uriFile = std::getenv("BTRKIT_TEST_SERVER");
    std::ifstream in(uriFile ? uriFile : "");
    std::string base;
    std::getline(in, base);
    if (base.empty()) GTEST_SKIP() << "no PostgreSQL cluster";
    const std::string db = "studio" + std::to_string(::getpid());
    auto sql = [&base](const std::string& text) {
        PGconn* c = PQconnectdb(base.c_str());
        PGresult* r = PQexec(c, text.c_str());
        const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
        PQclear(r);
        PQfinish(c);
        return ok;
    };
    ASSERT_TRUE(sql("CREATE DATABASE " + db));
    struct Drop {
        std::function<void()> f;
        ~Drop() { f(); }
    } drop{[&] { sql("DROP DATABASE IF EXISTS " + db + " WITH (FORCE)"); }};
    const std::string remote = base.substr(0, base.rfind('/') + 1) + db + "/";
    for (const char* name : {"DEMO.DIC", "CLIENTS.DAT", "ORDERS.DAT"}) {
        const std::string cmd = "'" BTRTOOL "' copy '" + FDir.File(name) + "' '" + remote + name + "' >/dev/null 2>&1";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << name;
    }
    {
        TStudioWindow w;
        w.show();
        w.OpenDictionary(remote + "DEMO.DIC");
        Settle();
        ASSERT_EQ(w.FileList()->count(), 2);
        w.FileList()->setCurrentRow(1);
        Settle();
        TDataWindow* data = w.OpenData();
        Settle();
        TDataSetModel& model = data->Model();
        EXPECT_EQ(FetchAll(model), 4000);
        // Created anew beside the dictionary (after the question), empty.
        w.FileList()->setCurrentRow(0);
        Settle();
        w.CreateDataFile();
        EXPECT_EQ(Asked.size(), 1u);
    }
    TBtrieveFile file;
    file.SetFileName(remote + "CLIENTS.DAT");
    file.SetActive(true);
    EXPECT_EQ(file.NumberOfRecords(), 0);
    file.SetActive(false);
}

TEST_F(Studio, F3OpensTheTypeListWithoutTheCellEditor) {
    TStudioWindow w;
    w.show();
    w.OpenDictionary(FDict);
    Settle();
    TDictGrid& fields = w.FieldGrid();
    const int since = Row(fields, TStudioWindow::fcName, "Since");
    int asked = 0;
    w.Chooser = [&](const std::vector<std::string>& choices, const std::string& current) {
        ++asked;
        EXPECT_EQ(current, "Date");
        EXPECT_EQ(choices.size(), 22u);
        return std::optional<std::string>("Time");
    };
    fields.FocusCell(TStudioWindow::fcType, since);
    QTest::keyClick(fields.Widget(), Qt::Key_F3);
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(fields.EditorMode());
    EXPECT_EQ(fields.Cells(TStudioWindow::fcType, since), "Time");
    EXPECT_EQ(fields.Cells(TStudioWindow::fcLength, since), "4");
    // A cell without a list ignores F3.
    fields.FocusCell(TStudioWindow::fcName, since);
    QTest::keyClick(fields.Widget(), Qt::Key_F3);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(fields.Cells(TStudioWindow::fcName, since), "Since");
    // The columns share the grid's width as the window changes.
    w.resize(1400, 600);
    Settle();
    const int wide = fields.ColWidths(TStudioWindow::fcName);
    w.resize(700, 600);
    Settle();
    EXPECT_LT(fields.ColWidths(TStudioWindow::fcName), wide);
}

TEST_F(Studio, MemosShowTheirTextAndAReadOnlyViewWritesNothing) {
    auto w = Orders();
    TDataSetModel& model = w->Model();
    const int note = Column(*w, "Note"), amount = Column(*w, "Amount");
    ASSERT_GE(note, 0);
    ASSERT_TRUE(w->GoToRecord("Number=3"));
    const int row = model.CurrentRow();
    ASSERT_GE(row, 0);
    const std::string text = Stored("ORDERS.DAT", 3, "Note");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(model.data(model.index(row, note)).toString().toStdString(), text); // the text, not "(MEMO)"
    EXPECT_EQ(model.data(model.index(row, note), Qt::ToolTipRole).toString().toStdString(), text);
    EXPECT_EQ(w->NoteEditor()->toPlainText().toStdString(), text);
    EXPECT_EQ(model.data(model.index(row, amount), Qt::TextAlignmentRole).value<Qt::Alignment>() & Qt::AlignRight,
              Qt::AlignRight);
    EXPECT_EQ(model.data(model.index(row, note), Qt::TextAlignmentRole).value<Qt::Alignment>() & Qt::AlignRight,
              Qt::Alignment());

    // Read-only: double clicks and keys open no editor and change nothing.
    const std::string before = Stored("ORDERS.DAT", 3, "Amount");
    for (int column : {note, amount}) {
        DoubleClick(*w, model.index(row, column));
        EXPECT_EQ(CellEditor(*w), nullptr);
        QTest::keyClicks(w->Table(), "7");
        QTest::keyClick(w->Table(), Qt::Key_Return);
        Settle();
    }
    QTest::keyClicks(w->NoteEditor(), "typed");
    EXPECT_EQ(w->NoteEditor()->toPlainText().toStdString(), text);
    EXPECT_FALSE(w->SaveNoteButton()->isEnabled());
    EXPECT_EQ(Stored("ORDERS.DAT", 3, "Note"), text);
    EXPECT_EQ(Stored("ORDERS.DAT", 3, "Amount"), before);
    EXPECT_TRUE(Asked.empty());

    // Columns follow the window's width.
    w->resize(1200, 500);
    Settle();
    const int wide = w->Table()->columnWidth(note);
    w->resize(600, 500);
    Settle();
    EXPECT_LT(w->Table()->columnWidth(note), wide);
}

TEST_F(Studio, EditingWritesWhatIsTypedAndRefusesWhatWouldChange) {
    auto w = Orders();
    TDataSetModel& model = w->Model();
    const int note = Column(*w, "Note"), amount = Column(*w, "Amount");
    ASSERT_TRUE(w->GoToRecord("Number=3"));
    const int row = model.CurrentRow();
    QTest::mouseClick(w->EditSwitch(), Qt::LeftButton);
    Settle();
    ASSERT_TRUE(w->EditSwitch()->isChecked());

    // A memo cell opens no line editor: a double click leads to the note,
    // which keeps its lines.
    DoubleClick(*w, model.index(row, note));
    EXPECT_EQ(CellEditor(*w), nullptr);
    w->NoteEditor()->selectAll();
    Type(w->NoteEditor(), "Первая строка");
    QTest::keyClick(w->NoteEditor(), Qt::Key_Return);
    Type(w->NoteEditor(), "вторая, €");
    ASSERT_TRUE(w->SaveNoteButton()->isEnabled());
    QTest::mouseClick(w->SaveNoteButton(), Qt::LeftButton);
    Settle();
    EXPECT_EQ(Stored("ORDERS.DAT", 3, "Note"), "Первая строка\nвторая, €");
    EXPECT_EQ(model.data(model.index(row, note)).toString().toStdString(), "Первая строка …");

    // An amount typed into its cell is stored...
    DoubleClick(*w, model.index(row, amount));
    QLineEdit* editor = CellEditor(*w);
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->text().toStdString(), Stored("ORDERS.DAT", 3, "Amount")); // every digit
    editor->selectAll();
    QTest::keyClicks(editor, "12.5");
    QTest::keyClick(editor, Qt::Key_Return);
    Settle();
    EXPECT_EQ(Stored("ORDERS.DAT", 3, "Amount"), "12.5");
    // ...one an RS float cannot keep is refused with the reason...
    DoubleClick(*w, model.index(row, amount));
    editor = CellEditor(*w);
    ASSERT_NE(editor, nullptr);
    editor->selectAll();
    QTest::keyClicks(editor, "1.23456");
    QTest::keyClick(editor, Qt::Key_Return);
    Settle();
    ASSERT_EQ(Asked.size(), 1u);
    EXPECT_THAT(Asked[0], ::testing::HasSubstr("four decimal places"));
    EXPECT_EQ(Stored("ORDERS.DAT", 3, "Amount"), "12.5");
    // ...and a note a code page cannot hold is not saved.
    w->NoteEditor()->selectAll();
    Type(w->NoteEditor(), "日本");
    QTest::mouseClick(w->SaveNoteButton(), Qt::LeftButton);
    Settle();
    EXPECT_EQ(Stored("ORDERS.DAT", 3, "Note"), "Первая строка\nвторая, €");
    EXPECT_EQ(Asked.size(), 2u);

    // A changed note is saved on leaving the record once the user agrees.
    w->NoteEditor()->selectAll();
    Type(w->NoteEditor(), "Позвонить");
    const QModelIndex next = model.index(row + 1, amount);
    QTest::mouseClick(w->Table()->viewport(), Qt::LeftButton, {}, w->Table()->visualRect(next).center());
    Settle();
    ASSERT_EQ(Asked.size(), 3u);
    EXPECT_THAT(Asked[2], ::testing::HasSubstr("Save it?"));
    EXPECT_EQ(Stored("ORDERS.DAT", 3, "Note"), "Позвонить");

    // Back to read-only: no editor again.
    QTest::mouseClick(w->EditSwitch(), Qt::LeftButton);
    Settle();
    DoubleClick(*w, model.index(row, amount));
    EXPECT_EQ(CellEditor(*w), nullptr);
}

TEST_F(Studio, BlobAndGraphicCellsAreNeverEdited) {
    const std::string desc = FDir.File("blob.txt");
    std::ofstream(desc) << "file PICS.DAT variable\nfield Number Longint\nfield Data BLOB\nfield Picture Graphic\n"
                           "field Note MEMO\nkey Number\n";
    std::ofstream(FDir.File("pics.csv")) << "Number,Data,Picture,Note\n1,bytes,pixels,text\n";
    const std::string tool = "cd '" + FDir.Path().string() + "' && '" BTRTOOL "' ";
    ASSERT_EQ(std::system((tool + "dict import DEMO.DIC blob.txt >/dev/null && " + tool +
                           "create DEMO.DIC PICS.DAT >/dev/null && " + tool + "import DEMO.DIC PICS.DAT pics.csv >/dev/null")
                              .c_str()),
              0);
    TDataWindow w(FDict, FDir.File("PICS.DAT"));
    w.show();
    Settle();
    QTest::mouseClick(w.EditSwitch(), Qt::LeftButton);
    TDataSetModel& model = w.Model();
    ASSERT_EQ(FetchAll(model), 1);
    for (int column : {Column(w, "Data"), Column(w, "Picture")}) {
        const QModelIndex cell = model.index(0, column);
        EXPECT_FALSE(model.flags(cell) & Qt::ItemIsEditable);
        DoubleClick(w, cell);
        EXPECT_EQ(CellEditor(w), nullptr);
        EXPECT_FALSE(model.setData(cell, "(BLOB)", Qt::EditRole));
        EXPECT_FALSE(model.setData(cell, "other", TDataSetModel::TextRole));
        EXPECT_TRUE(w.NoteEditor()->isReadOnly()); // the panel shows it, read-only
    }
    EXPECT_FALSE(model.flags(model.index(0, Column(w, "Note"))) & Qt::ItemIsEditable);
    TBDataSet ds;
    ds.SetDictName(FDict);
    ds.SetBaseName(FDir.File("PICS.DAT"));
    ds.Open();
    ds.First();
    EXPECT_EQ(ds.FieldByName("Data")->AsString(), "bytes");
    EXPECT_EQ(ds.FieldByName("Picture")->AsString(), "pixels");
}

TEST_F(Studio, BadDescriptionsAreRefusedWithoutWriting) {
    TStudioWindow w;
    w.OpenDictionary(FDict);
    TDictGrid& keys = w.KeyGrid();
    keys.SetCells(TStudioWindow::kcField, 1, "NoSuchField");
    EXPECT_THROW(w.Save(), Exception);
    keys.SetCells(TStudioWindow::kcField, 1, "Code");
    keys.SetCells(TStudioWindow::kcFlags, 1, "sideways");
    EXPECT_THROW(w.Save(), Exception);
    w.FieldGrid().SetCells(TStudioWindow::fcType, 1, "Nonsense");
    EXPECT_THROW(w.Save(), Exception);
    TDictFile dict(FDict);
    dict.SetReadOnly(true);
    dict.SetActive(true);
    EXPECT_EQ(apps::ReadDictionary(dict)[0].fields[0].type, 3); // untouched
}

// Dark pixels (text) in a band of a picture, from `top` to `bottom` (parts of its height).
int DarkPixels(const QImage& image, double top, double bottom) {
    int dark = 0;
    for (int y = static_cast<int>(image.height() * top); y < static_cast<int>(image.height() * bottom); ++y)
        for (int x = image.width() / 6; x < image.width(); ++x) dark += qGray(image.pixel(x, y)) < 90 ? 1 : 0;
    return dark;
}

TEST(StudioScreen, ADrawnWindowUnderXvfbShowsAMemosText) {
    test::TempDir dir;
    ASSERT_EQ(std::system(("'" BTRTOOL "' demo '" + dir.Path().string() + "' >/dev/null 2>&1").c_str()), 0);
    auto shoot = [&](const std::string& find) {
        const std::string shot = dir.File("shot" + find + ".png");
        const std::string cmd = "env -u QT_QPA_PLATFORM xvfb-run -a -s '-screen 0 1024x768x24' '" BTRSTUDIO "' '" +
                                dir.File("DEMO.DIC") + "' --file ORDERS.DAT --data --find " + find + " --screenshot '" +
                                shot + "' >/dev/null 2>&1";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
        return QImage(QString::fromStdString(shot));
    };
    const QImage memo = shoot("Number=3"), none = shoot("Number=1"); // order 1 has no note
    ASSERT_FALSE(memo.isNull());
    ASSERT_FALSE(none.isNull());
    std::set<QRgb> colours;
    for (int y = 0; y < memo.height(); y += 3)
        for (int x = 0; x < memo.width(); x += 3) colours.insert(memo.pixel(x, y));
    EXPECT_GT(colours.size(), 3u);
    EXPECT_GT(DarkPixels(memo, 0.1, 0.65), 100); // the table's text was drawn
    // The note panel under the table holds the memo's text only in the first.
    EXPECT_GT(DarkPixels(memo, 0.72, 0.92), DarkPixels(none, 0.72, 0.92) + 50);
}

TEST(StudioScreen, HelpNeedsNoDisplay) {
    test::TempDir dir;
    const std::string out = dir.File("help.txt");
    const std::string cmd = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '" BTRSTUDIO "' --help >'" + out + "' 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    std::ifstream in(out);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    EXPECT_THAT(text, ::testing::HasSubstr("usage: btrstudio [DICT]"));
    EXPECT_THAT(text, ::testing::HasSubstr("read-only until you press Edit"));
}

} // namespace
} // namespace btr::studio

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // The build lists the tests too, with no display and no ctest environment.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
