// btrstudio's windows: a dictionary's files with their fields and keys in
// dictionary grids, and a file's records in a table.
#pragma once

#include <QMainWindow>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "apps/common/dictionary.h"
#include "dataset/btrset.h"
#include "gui/datasetmodel.h"
#include "platform/component.h"
#include "tools/dictgrid.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QModelIndex;
class QPlainTextEdit;
class QPushButton;
class QTableView;

namespace btr::studio {

// Picks one of `choices` for the drop-down of a grid cell; nullopt leaves
// the cell as it is. Replaceable, so tests can choose without a menu.
using TChooser = std::function<std::optional<std::string>(const std::vector<std::string>& choices,
                                                          const std::string& current)>;

// The records of one data file: a key selector, range fields, the table and
// the note panel, which shows the current record's memo whole. The window
// opens read-only; the Edit switch lets cells and the note be changed, and
// a value a field would store differently is refused with the reason.
class TDataWindow : public QWidget {
public:
    TDataWindow(const std::string& dict, const std::string& file, QWidget* parent = nullptr);
    ~TDataWindow() override;

    TBDataSet& DataSet() { return *FSet; }
    TDataSetModel& Model() { return *FModel; }
    QTableView* Table() const { return FTable; }
    QComboBox* KeySelector() const { return FKeys; }
    QPushButton* EditSwitch() const { return FEdit; }
    QPlainTextEdit* NoteEditor() const { return FNote; }
    QPushButton* SaveNoteButton() const { return FSaveNote; }
    QLabel* Status() const { return FStatus; }
    // Chooses key path `key` and the range from/to (texts per segment, ';'
    // between segments; empty: open at that end).
    void ApplyRange(int key, const std::string& from, const std::string& to);
    // Makes the first record holding Field=value current; false when none does.
    bool GoToRecord(const std::string& term);
    // Spreads the columns over the table's width by the fields' display widths.
    void FitColumns();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void SetEditing(bool on);
    void ShowNote(const QModelIndex& current);
    void SaveNote();

    std::unique_ptr<TBDataSet> FSet;
    std::unique_ptr<TDataSetModel> FModel;
    QTableView* FTable;
    QComboBox* FKeys;
    QLineEdit *FFrom, *FTo;
    QPushButton* FEdit;
    QLabel* FNoteLabel;
    QPlainTextEdit* FNote;
    QPushButton* FSaveNote;
    QLabel* FStatus;
    int FNoteRow = -1, FNoteColumn = -1;
};

class TStudioWindow : public QMainWindow {
public:
    TStudioWindow();
    ~TStudioWindow() override;

    // Reads the dictionary and lists its files; the first is shown.
    void OpenDictionary(const std::string& path);
    void ShowFile(int index);
    // Writes the grids back as the file's description.
    void Save();
    // Creates the data file from the (saved) description, beside the dictionary.
    void CreateDataFile();
    // Opens the data file's records in a window of their own.
    TDataWindow* OpenData();

    const std::string& DictionaryPath() const { return FDictPath; }
    int CurrentFile() const { return FCurrent; }
    TDictGrid& FieldGrid() { return *FFields; }
    TDictGrid& KeyGrid() { return *FKeyGrid; }
    QListWidget* FileList() const { return FList; }
    TChooser Chooser;

    // Field grid columns and key grid columns.
    enum { fcName = 0, fcType, fcLength, fcOffset };
    enum { kcKey = 0, kcField, kcFlags };

private:
    void BuildGrids(QWidget* host);
    // F3 on a cell with a list opens it without opening the cell's editor.
    void OpenList(TDictGrid& grid);
    void EditOptions(TComponent* sender, int col, int row, int& opts, int& maxLen);
    void ButtonClick(TComponent* sender, int col, int row, std::string& s);
    void CellEdited(int col, int row, const std::string& value);
    apps::FileEntry FromGrids() const;
    void Refresh();

    std::string FDictPath;
    std::vector<apps::FileEntry> FFiles;
    int FCurrent = -1;
    std::unique_ptr<TComponent> FOwner = std::make_unique<TComponent>(); // owns the grids
    TDictGrid* FFields;
    TDictGrid* FKeyGrid;
    QListWidget* FList;
    QLabel* FStatus;
    std::vector<std::unique_ptr<TDataWindow>> FDataWindows;
};

} // namespace btr::studio
