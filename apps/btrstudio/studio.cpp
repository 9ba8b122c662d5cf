#include "apps/btrstudio/studio.h"

#include <QComboBox>
#include <QCursor>
#include <QEvent>
#include <QFontMetrics>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QPlainTextEdit>
#include <QResizeEvent>
#include <QScrollBar>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSplitter>
#include <QStatusBar>
#include <QTableView>
#include <QToolBar>
#include <QVBoxLayout>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "apps/common/values.h"
#include "gui/keys.h"
#include "dictionary/dictcache.h"
#include "gui/controls.h"
#include "platform/codepage.h"
#include "platform/exceptions.h"
#include "platform/files.h"
#include "platform/ui.h"

namespace btr::studio {

namespace {

QString Q(const std::string& utf8) { return QString::fromUtf8(utf8.c_str()); }

// A drop-down of the choices at the mouse; nullopt when dismissed.
std::optional<std::string> MenuChooser(const std::vector<std::string>& choices, const std::string& current) {
    QMenu menu;
    for (const std::string& c : choices) {
        QAction* a = menu.addAction(Q(c));
        a->setCheckable(true);
        a->setChecked(c == current);
    }
    QAction* picked = menu.exec(QCursor::pos());
    if (!picked) return std::nullopt;
    return picked->text().toStdString();
}

int TypeByName(const std::string& name) {
    for (int i = 1; i < kFieldTypeCount; ++i)
        if (Types[static_cast<size_t>(i)].Name == name) return i;
    return -1;
}

// The length a type fixes, 0 when the user chooses it. BLOB types hold an
// 8-byte descriptor.
int32_t FixedLength(int type) {
    if (type >= 18 && type <= 20) return 8;
    return Types[static_cast<size_t>(type)].Len;
}

struct FlagWord {
    const char* word;
    uint16_t flag;
};
constexpr FlagWord kFlagWords[] = {{"dup", 0x0001}, {"mod", 0x0002}, {"desc", 0x0040},
                                   {"nocase", kfNoCase}, {"autoinc", kfAutoIncrement}};

std::string FlagsText(uint16_t flags) {
    std::string out;
    for (const FlagWord& w : kFlagWords)
        if (flags & w.flag) out.append(out.empty() ? "" : " ").append(w.word);
    return out;
}

uint16_t FlagsFrom(const std::string& text, int row) {
    std::istringstream words(text);
    uint16_t flags = 0x0100; // typed segments: the key type comes from the field's type
    for (std::string w; words >> w;) {
        bool known = false;
        for (const FlagWord& f : kFlagWords)
            if (w == f.word) {
                flags |= f.flag;
                known = true;
            }
        if (!known) throw Exception("key row " + std::to_string(row) + ": unknown flag \"" + w + "\"");
    }
    return flags;
}

void Run(const std::function<void()>& action) { RunHandled(action); }

} // namespace

// ---- the data window ----------------------------------------------------------

namespace {

// A memo in one cell: its first line and a mark that more follows.
std::string OneLine(const std::string& text) {
    const size_t eol = text.find_first_of("\r\n");
    std::string line = text.substr(0, eol);
    if (line.size() > 200) line = line.substr(0, 200);
    return eol == std::string::npos && line.size() == text.size() ? line : line + " …";
}

// Calls `action` when the watched widget is resized.
class ResizeWatch : public QObject {
public:
    ResizeWatch(QWidget* widget, std::function<void()> action) : QObject(widget), FAction(std::move(action)) {
        widget->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Resize) FAction();
        return false;
    }

private:
    std::function<void()> FAction;
};

} // namespace

TDataWindow::TDataWindow(const std::string& dict, const std::string& file, QWidget* parent) : QWidget(parent) {
    setWindowTitle(Q(ExtractFileName(file) + " (read-only)"));
    FSet = std::make_unique<TBDataSet>();
    FSet->SetDictName(dict);
    FSet->SetBaseName(file);
    FSet->Open();
    for (int i = 0; i < FSet->FieldCount(); ++i) {
        TField* f = FSet->Fields()[i];
        if (f->DataType() == ftFloat) {
            // Every digit the value holds, so an edit starts from the value itself.
            f->OnGetText = [](TField* s, std::string& text, bool) { apps::FieldTextTo(*s, text); };
        } else if (f->DataType() == ftMemo) {
            f->OnGetText = [](TField* s, std::string& text, bool display) {
                text = display ? OneLine(s->AsString()) : s->AsString();
            };
        }
        if (f->DataType() == ftBlob || f->DataType() == ftGraphic) continue;
        // Whatever a user types is stored only when it reads back as typed.
        f->OnSetText = [](TField* s, const std::string& text) {
            const apps::Stored stored = apps::SetFieldText(*s, text);
            if (!stored.same) throw Exception(s->FieldName() + ": " + stored.Describe(text));
        };
    }
    FModel = std::make_unique<TDataSetModel>(FSet.get());
    FModel->SetReadOnly(true);

    auto* layout = new QVBoxLayout(this);
    auto* bar = new QHBoxLayout;
    FKeys = new QComboBox;
    const TBKeyList& keys = *FSet->DictKeys();
    for (int k = 0; k < keys.Number; ++k) {
        std::string text = std::to_string(k) + ":";
        for (const auto& seg : keys)
            if (seg->Number == k) text += " " + seg->Name;
        FKeys->addItem(Q(text), k);
    }
    FFrom = new QLineEdit;
    FTo = new QLineEdit;
    FFrom->setPlaceholderText("from (values separated by ;)");
    FTo->setPlaceholderText("to");
    auto* apply = new QPushButton("Apply");
    FEdit = new QPushButton("Edit");
    FEdit->setCheckable(true);
    FEdit->setToolTip("Allow changes to the records (off: read-only)");
    bar->addWidget(new QLabel("Key"));
    bar->addWidget(FKeys);
    bar->addWidget(FFrom);
    bar->addWidget(FTo);
    bar->addWidget(apply);
    bar->addWidget(FEdit);
    layout->addLayout(bar);
    FTable = new QTableView;
    FTable->setModel(FModel.get());
    FTable->setWordWrap(false);
    FTable->setTextElideMode(Qt::ElideRight);
    layout->addWidget(FTable, 1);

    auto* note = new QHBoxLayout;
    FNoteLabel = new QLabel;
    FNote = new QPlainTextEdit;
    FNote->setReadOnly(true);
    FNote->setMaximumHeight(110);
    FSaveNote = new QPushButton("Save note");
    FSaveNote->setEnabled(false);
    auto* noteSide = new QVBoxLayout;
    noteSide->addWidget(FNoteLabel);
    noteSide->addWidget(FSaveNote);
    noteSide->addStretch();
    note->addLayout(noteSide);
    note->addWidget(FNote, 1);
    layout->addLayout(note);
    FStatus = new QLabel("Read-only: press Edit to change records");
    layout->addWidget(FStatus);

    QObject::connect(apply, &QPushButton::clicked, this, [this] {
        Run([this] {
            ApplyRange(FKeys->currentData().toInt(), FFrom->text().toStdString(), FTo->text().toStdString());
        });
    });
    QObject::connect(FEdit, &QPushButton::toggled, this, [this](bool on) { SetEditing(on); });
    QObject::connect(FSaveNote, &QPushButton::clicked, this, [this] { SaveNote(); });
    QObject::connect(FNote, &QPlainTextEdit::modificationChanged, this,
                     [this](bool changed) { FSaveNote->setEnabled(changed && FEdit->isChecked()); });
    QObject::connect(FTable->selectionModel(), &QItemSelectionModel::currentChanged, this,
                     [this](const QModelIndex& current) {
                         // A changed note is not dropped by moving on.
                         if (FEdit->isChecked() && FNote->document()->isModified() && FNoteColumn >= 0 &&
                             MessageBox("The note of the record you leave was changed. Save it?", "btrstudio",
                                        MB_YESNO | MB_ICONQUESTION) == IDYES)
                             SaveNote();
                         ShowNote(current);
                     });
    // A double click on a memo in edit mode goes to the note editor.
    QObject::connect(FTable, &QTableView::doubleClicked, this, [this](const QModelIndex& index) {
        const TField* f = FModel->ColumnField(index.column());
        if (FEdit->isChecked() && f && f->DataType() == ftMemo) FNote->setFocus();
    });
    QObject::connect(FModel.get(), &QAbstractItemModel::modelReset, this, [this] {
        FitColumns();
        ShowNote(FTable->currentIndex());
    });
    // The viewport learns its final width after the window's own resize.
    new ResizeWatch(FTable->viewport(), [this] { FitColumns(); });
    resize(760, 480);
    FitColumns();
    ShowNote({});
}

TDataWindow::~TDataWindow() {
    QObject::disconnect(FModel.get(), nullptr, this, nullptr);
    QObject::disconnect(FTable->selectionModel(), nullptr, this, nullptr);
    FTable->setModel(nullptr);
    FModel.reset();
    FSet.reset();
}

void TDataWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    FitColumns();
}

void TDataWindow::FitColumns() {
    const int columns = FModel->columnCount();
    if (columns == 0) return;
    const QFontMetrics metrics(FTable->font());
    std::vector<int> weights, least;
    int total = 0, floor = 0;
    for (int c = 0; c < columns; ++c) {
        const TField* f = FModel->ColumnField(c);
        weights.push_back(std::clamp(f->DataType() == ftMemo ? 40 : f->DisplayWidth(), 4, 40));
        int narrowest = metrics.horizontalAdvance(Q(f->DisplayName())) + 16;
        // A number cut short would show other digits than it holds: its
        // column is at least as wide as the widest value fetched.
        const int alignment = FModel->data(FModel->index(0, c), Qt::TextAlignmentRole).toInt();
        for (int r = 0; (alignment & Qt::AlignRight) && r < std::min(FModel->rowCount(), 500); ++r)
            narrowest = std::max(narrowest, metrics.horizontalAdvance(FModel->data(FModel->index(r, c)).toString()) + 16);
        least.push_back(narrowest);
        total += weights.back();
        floor += least.back();
    }
    // The room a vertical scroll bar leaves, whether it shows yet or not.
    const QScrollBar* bar = FTable->verticalScrollBar();
    const int room = FTable->viewport()->width() - (bar->isVisible() ? 0 : bar->sizeHint().width());
    // What the narrowest widths leave is shared by weight.
    const int spare = std::max(room - floor, 0);
    for (int c = 0; c < columns; ++c)
        FTable->setColumnWidth(c, least[static_cast<size_t>(c)] + spare * weights[static_cast<size_t>(c)] / total);
}

void TDataWindow::SetEditing(bool on) {
    FModel->SetReadOnly(!on);
    FNote->setReadOnly(!on || FNoteColumn < 0);
    FSaveNote->setEnabled(on && FNote->document()->isModified());
    setWindowTitle(Q(ExtractFileName(FSet->BaseName()) + (on ? "" : " (read-only)")));
    FStatus->setText(on ? "Editing: changes are written when a cell or the note is saved"
                        : "Read-only: press Edit to change records");
}

void TDataWindow::ShowNote(const QModelIndex& current) {
    // The current column's memo, or the record's first memo.
    int column = -1;
    if (const TField* f = FModel->ColumnField(current.column()); f && f->IsBlob()) column = current.column();
    for (int c = 0; column < 0 && c < FModel->columnCount(); ++c)
        if (FModel->ColumnField(c)->DataType() == ftMemo) column = c;
    const TField* f = FModel->ColumnField(column);
    FNoteRow = current.isValid() ? current.row() : -1;
    FNoteColumn = f && f->DataType() == ftMemo ? column : -1;
    FNoteLabel->setText(f ? Q(f->DisplayName() + (f->DataType() == ftMemo ? "" : " (read-only)")) : QString("No memo"));
    // A BLOB or graphic is shown as its display text only.
    const int role = f && f->DataType() == ftMemo ? TDataSetModel::TextRole : Qt::DisplayRole;
    FNote->setPlainText(f && FNoteRow >= 0 ? FModel->data(FModel->index(FNoteRow, column), role).toString() : QString());
    FNote->document()->setModified(false);
    FNote->setReadOnly(!FEdit->isChecked() || FNoteColumn < 0 || FNoteRow < 0);
    FSaveNote->setEnabled(false);
}

void TDataWindow::SaveNote() {
    if (FNoteColumn < 0 || FNoteRow < 0 || !FEdit->isChecked() || !FNote->document()->isModified()) return;
    const QModelIndex cell = FModel->index(FNoteRow, FNoteColumn);
    if (!FModel->setData(cell, FNote->toPlainText(), TDataSetModel::TextRole)) {
        FStatus->setText("The note was not saved");
        return;
    }
    FNote->document()->setModified(false);
    FSaveNote->setEnabled(false);
    FStatus->setText("Note saved");
}

bool TDataWindow::GoToRecord(const std::string& term) {
    const size_t eq = term.find('=');
    if (eq == std::string::npos || eq == 0) throw Exception("\"" + term + "\" is not Field=value");
    TField* field = FSet->FieldByName(term.substr(0, eq));
    if (!FSet->Locate(field->FieldName(), apps::ValueFromText(*field, term.substr(eq + 1)), {})) return false;
    // Read rows until the found record's comes.
    for (int row; (row = FModel->CurrentRow()) < 0;) {
        if (!FModel->canFetchMore({})) return false;
        FModel->fetchMore({});
    }
    const QModelIndex found = FModel->index(FModel->CurrentRow(), std::max(FNoteColumn, 0));
    FTable->setCurrentIndex(found);
    FTable->scrollTo(found);
    return true;
}

void TDataWindow::ApplyRange(int key, const std::string& from, const std::string& to) {
    auto split = [](const std::string& text) {
        std::vector<std::string> parts;
        if (text.empty()) return parts;
        std::istringstream in(text);
        for (std::string part; std::getline(in, part, ';');) parts.push_back(part);
        return parts;
    };
    FSet->SetKeyPath(key);
    apps::SetRangeFromText(*FSet, split(from), split(to));
    FModel->Reload();
}

// ---- the dictionary window -------------------------------------------------------

TStudioWindow::TStudioWindow() : Chooser(MenuChooser) {
    setWindowTitle("btrstudio");
    auto* split = new QSplitter;
    FList = new QListWidget;
    split->addWidget(FList);
    auto* right = new QWidget;
    BuildGrids(right);
    split->addWidget(right);
    split->setStretchFactor(1, 3);
    setCentralWidget(split);

    QToolBar* tools = addToolBar("Dictionary");
    QAction* open = tools->addAction("Open dictionary…");
    QAction* save = tools->addAction("Save");
    QAction* create = tools->addAction("Create file");
    QAction* data = tools->addAction("Open data");
    QObject::connect(open, &QAction::triggered, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, "Open a dictionary");
        if (!path.isEmpty()) Run([&] { OpenDictionary(path.toStdString()); });
    });
    QObject::connect(save, &QAction::triggered, this, [this] { Run([this] { Save(); }); });
    QObject::connect(create, &QAction::triggered, this, [this] { Run([this] { CreateDataFile(); }); });
    QObject::connect(data, &QAction::triggered, this, [this] { Run([this] { OpenData(); }); });
    QObject::connect(FList, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row >= 0 && row != FCurrent) Run([this, row] { ShowFile(row); });
    });
    FStatus = new QLabel;
    statusBar()->addWidget(FStatus);
    resize(900, 600);
}

TStudioWindow::~TStudioWindow() {
    FDataWindows.clear();
    // The grids are TComponents owned by FOwner; their widgets must go before
    // the Qt parents that hold them.
    FOwner.reset();
}

void TStudioWindow::BuildGrids(QWidget* host) {
    auto* layout = new QVBoxLayout(host);
    auto make = [&](const char* title, std::vector<const char*> headers) {
        layout->addWidget(new QLabel(title));
        auto* grid = new TDictGrid(FOwner.get());
        grid->SetParentWidget(host);
        grid->SetColCount(static_cast<int>(headers.size()));
        grid->SetRowCount(2);
        for (size_t c = 0; c < headers.size(); ++c) grid->SetCells(static_cast<int>(c), 0, headers[c]);
        grid->SetOptions(grid->Options() + TGridOptions{goEditing});
        grid->SetDefaultColWidth(150);
        grid->OnGetEditOptions = [this](TComponent* s, int c, int r, int& o, int& m) { EditOptions(s, c, r, o, m); };
        grid->OnEditButtonClick = [this](TComponent* s, int c, int r, std::string& t) { ButtonClick(s, c, r, t); };
        grid->OnSetEditText = [this, grid](TComponent*, int c, int r, const std::string& v) {
            if (grid == FFields) Run([&] { CellEdited(c, r, v); });
        };
        // The editor opens the list on F3 itself; without one the grid does.
        grid->OnKeyDown = [this, grid](TComponent*, uint16_t& key, TShiftState) {
            if (key != VK_F3 || grid->EditorMode()) return;
            key = 0;
            Run([this, grid] { OpenList(*grid); });
        };
        layout->addWidget(grid->Widget(), 1);
        return grid;
    };
    FFields = make("Fields (F3 or the button: type list)", {"Name", "Type", "Length", "Offset"});
    FKeyGrid = make("Keys (one row per segment; equal key numbers make one key)", {"Key", "Field", "Flags"});
    // The columns share the grid's width.
    auto fit = [](TDictGrid* grid, std::vector<int> weights) {
        new ResizeWatch(grid->Widget(), [grid, weights] {
            int total = 0;
            for (int w : weights) total += w;
            const int room = std::max(grid->Widget()->width() - 24, 200);
            for (size_t c = 0; c < weights.size(); ++c) grid->SetColWidths(static_cast<int>(c), room * weights[c] / total);
        });
    };
    fit(FFields, {4, 3, 2, 2});
    fit(FKeyGrid, {1, 4, 4});
}

void TStudioWindow::OpenList(TDictGrid& grid) {
    const int col = grid.Col(), row = grid.Row();
    int opts = 0, maxLen = 0;
    EditOptions(&grid, col, row, opts, maxLen);
    if (!(opts & EditOptionButton)) return;
    std::string text = grid.Cells(col, row);
    const std::string old = text;
    ButtonClick(&grid, col, row, text);
    if (text == old) return;
    grid.SetCells(col, row, text);
    if (&grid == FFields) CellEdited(col, row, text);
}

void TStudioWindow::OpenDictionary(const std::string& path) {
    TDictFile dict(path);
    dict.SetReadOnly(true);
    dict.SetActive(true);
    FFiles = apps::ReadDictionary(dict);
    FDictPath = path;
    FCurrent = -1;
    FList->clear();
    for (const apps::FileEntry& f : FFiles) FList->addItem(Q(f.name));
    setWindowTitle(Q("btrstudio — " + path));
    if (!FFiles.empty()) FList->setCurrentRow(0); // shows it
    FStatus->setText(Q(std::to_string(FFiles.size()) + " file(s)"));
}

void TStudioWindow::ShowFile(int index) {
    if (index < 0 || index >= static_cast<int>(FFiles.size())) throw Exception("no such file in the dictionary");
    FFields->HideEditor();
    FKeyGrid->HideEditor();
    FCurrent = index;
    const apps::FileEntry& f = FFiles[static_cast<size_t>(index)];
    FFields->SetRowCount(static_cast<int>(f.fields.size()) + 2); // a free row to add one
    for (int r = 1; r < FFields->RowCount(); ++r)
        for (int c = 0; c < 4; ++c) FFields->SetCells(c, r, "");
    for (size_t i = 0; i < f.fields.size(); ++i) {
        const int r = static_cast<int>(i) + 1;
        FFields->SetCells(fcName, r, f.fields[i].name);
        FFields->SetCells(fcType, r, apps::TypeName(f.fields[i].type));
        FFields->SetCells(fcLength, r, std::to_string(f.fields[i].length));
    }
    FKeyGrid->SetRowCount(static_cast<int>(f.segments.size()) + 2);
    for (int r = 1; r < FKeyGrid->RowCount(); ++r)
        for (int c = 0; c < 3; ++c) FKeyGrid->SetCells(c, r, "");
    int key = 0;
    for (size_t i = 0; i < f.segments.size(); ++i) {
        const int r = static_cast<int>(i) + 1;
        FKeyGrid->SetCells(kcKey, r, std::to_string(key));
        FKeyGrid->SetCells(kcField, r, f.segments[i].field);
        FKeyGrid->SetCells(kcFlags, r, FlagsText(f.segments[i].flags));
        if (!(f.segments[i].flags & kfSegmented)) ++key;
    }
    Refresh();
    FStatus->setText(Q(f.name + ((f.flags & 1) ? ", variable-length" : "") + ", page " + std::to_string(f.pageSize)));
}

void TStudioWindow::Refresh() {
    int32_t offset = 0;
    for (int r = 1; r < FFields->RowCount(); ++r) {
        if (FFields->Cells(fcName, r).empty()) {
            FFields->SetCells(fcOffset, r, "");
            continue;
        }
        FFields->SetCells(fcOffset, r, std::to_string(offset));
        offset += std::atoi(FFields->Cells(fcLength, r).c_str());
    }
    // Always one free row at the end for a new field.
    if (!FFields->Cells(fcName, FFields->RowCount() - 1).empty()) FFields->SetRowCount(FFields->RowCount() + 1);
}

void TStudioWindow::EditOptions(TComponent* sender, int col, int, int& opts, int& maxLen) {
    if (sender == FFields) {
        if (col == fcType) opts = EditOptionButton;
        if (col == fcName) maxLen = static_cast<int>(kDictNameMax);
        if (col == fcLength) maxLen = 5;
    } else {
        if (col == kcField) opts = EditOptionButton;
        if (col == kcKey) maxLen = 3;
    }
}

void TStudioWindow::ButtonClick(TComponent* sender, int col, int, std::string& s) {
    auto* editor = dynamic_cast<TInplaceEdit*>(sender);
    const TComponent* grid = editor ? static_cast<TComponent*>(editor->Grid()) : sender;
    std::vector<std::string> choices;
    if (grid == FFields && col == fcType) {
        for (int i = 1; i < kFieldTypeCount; ++i) choices.emplace_back(Types[static_cast<size_t>(i)].Name);
    } else if (grid == FKeyGrid && col == kcField) {
        for (int r = 1; r < FFields->RowCount(); ++r)
            if (!FFields->Cells(fcName, r).empty()) choices.push_back(FFields->Cells(fcName, r));
    }
    if (choices.empty() || !Chooser) return;
    if (auto picked = Chooser(choices, s)) s = *picked;
}

void TStudioWindow::CellEdited(int col, int row, const std::string& value) {
    if (col == fcType || col == fcLength) {
        const int type = TypeByName(FFields->Cells(fcType, row));
        if (type > 0 && FixedLength(type) > 0 && !Types[static_cast<size_t>(type)].LenEdit) {
            // Only types whose length the user may choose take a typed length.
            const std::string fixed = std::to_string(FixedLength(type));
            if (FFields->Cells(fcLength, row) != fixed) {
                FFields->SetCells(fcLength, row, fixed);
                if (col == fcLength) FStatus->setText(Q(value + ": " + std::string(Types[static_cast<size_t>(type)].Name) + " has the fixed length " + fixed));
            }
        } else if (type > 0 && FFields->Cells(fcLength, row).empty() && FixedLength(type) > 0) {
            FFields->SetCells(fcLength, row, std::to_string(FixedLength(type)));
        }
    }
    Refresh();
}

apps::FileEntry TStudioWindow::FromGrids() const {
    if (FCurrent < 0) throw Exception("no file is shown");
    apps::FileEntry f = FFiles[static_cast<size_t>(FCurrent)];
    f.fields.clear();
    f.segments.clear();
    for (int r = 1; r < FFields->RowCount(); ++r) {
        const std::string name = FFields->Cells(fcName, r);
        if (name.empty()) continue;
        const int type = TypeByName(FFields->Cells(fcType, r));
        if (type < 0) throw Exception("field " + name + ": unknown type \"" + FFields->Cells(fcType, r) + "\"");
        const int32_t len = std::atoi(FFields->Cells(fcLength, r).c_str());
        if (len <= 0) throw Exception("field " + name + ": the length must be a positive number");
        f.fields.push_back({name, type, len});
    }
    std::vector<std::pair<int, apps::SegmentEntry>> rows;
    for (int r = 1; r < FKeyGrid->RowCount(); ++r) {
        const std::string field = FKeyGrid->Cells(kcField, r);
        if (field.empty()) continue;
        const int key = apps::ParseInt(FKeyGrid->Cells(kcKey, r), "a key number in key row " + std::to_string(r));
        bool known = false;
        for (const apps::FieldEntry& x : f.fields) known = known || x.name == field;
        if (!known) throw Exception("key row " + std::to_string(r) + ": " + field + " is not a field");
        rows.push_back({key, {field, FlagsFrom(FKeyGrid->Cells(kcFlags, r), r)}});
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        if (i > 0 && rows[i].first < rows[i - 1].first) throw Exception("keys must be listed in key number order");
        apps::SegmentEntry s = rows[i].second;
        if (i + 1 < rows.size() && rows[i + 1].first == rows[i].first) s.flags |= kfSegmented;
        f.segments.push_back(s);
    }
    return f;
}

void TStudioWindow::Save() {
    FFields->HideEditor();
    FKeyGrid->HideEditor();
    const apps::FileEntry f = FromGrids();
    TDictFile dict(FDictPath);
    dict.SetActive(true);
    apps::RemoveFile(dict, f.name);
    apps::WriteFile(dict, f);
    FFiles[static_cast<size_t>(FCurrent)] = f;
    if (BDictList) BDictList->Refresh(FDictPath); // datasets read the new description
    FStatus->setText(Q("Saved " + f.name));
}

void TStudioWindow::CreateDataFile() {
    if (FCurrent < 0) throw Exception("no file is shown");
    const std::string name = FFiles[static_cast<size_t>(FCurrent)].name;
    if (IsServerPath(FDictPath)) { // beside it on the server
        TDictFile dict(FDictPath);
        dict.SetActive(true);
        try {
            dict.CreateFile(name);
        } catch (const EAbort&) {
            FStatus->setText(Q(name + " was not created"));
            return;
        }
        FStatus->setText(Q("Created " + name));
        return;
    }
    TDictFile dict(std::filesystem::absolute(FDictPath).string());
    dict.SetActive(true);
    // The dictionary names files without a directory: they live beside it.
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(std::filesystem::absolute(FDictPath).parent_path());
    try {
        dict.CreateFile(name);
    } catch (const EAbort&) {
        std::filesystem::current_path(cwd);
        FStatus->setText(Q(name + " was not created"));
        return;
    } catch (...) {
        std::filesystem::current_path(cwd);
        throw;
    }
    std::filesystem::current_path(cwd);
    FStatus->setText(Q("Created " + name));
}

TDataWindow* TStudioWindow::OpenData() {
    if (FCurrent < 0) throw Exception("no file is shown");
    const std::string& name = FFiles[static_cast<size_t>(FCurrent)].name;
    const std::string file = IsServerPath(FDictPath) ? PathBeside(FDictPath, name)
                                                     : (std::filesystem::absolute(FDictPath).parent_path() / name).string();
    FDataWindows.push_back(std::make_unique<TDataWindow>(FDictPath, file));
    FDataWindows.back()->show();
    return FDataWindows.back().get();
}

} // namespace btr::studio
