#include "apps/btrstudio/studio.h"

#include <QComboBox>
#include <QCursor>
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

#include <filesystem>
#include <sstream>

#include "apps/common/values.h"
#include "dictionary/dictcache.h"
#include "gui/controls.h"
#include "platform/codepage.h"
#include "platform/exceptions.h"

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

TDataWindow::TDataWindow(const std::string& dict, const std::string& file, QWidget* parent) : QWidget(parent) {
    setWindowTitle(Q(std::filesystem::path(file).filename().string()));
    FSet = std::make_unique<TBDataSet>();
    FSet->SetDictName(dict);
    FSet->SetBaseName(file);
    FSet->Open();
    FModel = std::make_unique<TDataSetModel>(FSet.get());

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
    bar->addWidget(new QLabel("Key"));
    bar->addWidget(FKeys);
    bar->addWidget(FFrom);
    bar->addWidget(FTo);
    bar->addWidget(apply);
    layout->addLayout(bar);
    FTable = new QTableView;
    FTable->setModel(FModel.get());
    layout->addWidget(FTable);
    QObject::connect(apply, &QPushButton::clicked, this, [this] {
        Run([this] {
            ApplyRange(FKeys->currentData().toInt(), FFrom->text().toStdString(), FTo->text().toStdString());
        });
    });
    resize(700, 450);
}

TDataWindow::~TDataWindow() {
    FTable->setModel(nullptr);
    FModel.reset();
    FSet.reset();
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
        layout->addWidget(grid->Widget(), 1);
        return grid;
    };
    FFields = make("Fields (F3 or the button: type list)", {"Name", "Type", "Length", "Offset"});
    FKeyGrid = make("Keys (one row per segment; equal key numbers make one key)", {"Key", "Field", "Flags"});
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
    const auto file = std::filesystem::absolute(FDictPath).parent_path() / FFiles[static_cast<size_t>(FCurrent)].name;
    FDataWindows.push_back(std::make_unique<TDataWindow>(FDictPath, file.string()));
    FDataWindows.back()->show();
    return FDataWindows.back().get();
}

} // namespace btr::studio
