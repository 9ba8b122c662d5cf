#include "gui/datasetmodel.h"

#include <algorithm>

#include "gui/controls.h"

namespace btr {

namespace {

QString FromUtf8(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// Sets a flag for the life of a scope.
struct BusyScope {
    bool& flag;
    bool old;
    explicit BusyScope(bool& f) : flag(f), old(f) { flag = true; }
    ~BusyScope() { flag = old; }
};

} // namespace

// The model's view of the dataset's notifications.
class TDataSetModel::Link : public TDataLink {
public:
    explicit Link(TDataSetModel& model) : FModel(model) {}

protected:
    void ActiveChanged() override { FModel.Reload(); }
    void LayoutChanged() override { FModel.Reload(); }
    void DataSetChanged() override {
        if (!FModel.FBusy) FModel.Reload();
    }
    void DataSetScrolled(int) override {}
    void RecordChanged(TField*) override {
        if (FModel.FBusy) return;
        const int row = FModel.CurrentRow();
        if (row < 0) return;
        FModel.FRows[static_cast<size_t>(row)] = FModel.ReadRow();
        emit FModel.dataChanged(FModel.index(row, 0), FModel.index(row, FModel.columnCount() - 1));
    }

private:
    TDataSetModel& FModel;
};

TDataSetModel::TDataSetModel(TDataSet* DataSet, QObject* parent)
    : QAbstractTableModel(parent), FDataSet(DataSet), FSource(std::make_unique<TDataSource>()),
      FLink(std::make_unique<Link>(*this)) {
    FSource->SetDataSet(FDataSet);
    FLink->SetDataSource(FSource.get());
    Reload();
}

TDataSetModel::~TDataSetModel() {
    FLink->SetDataSource(nullptr);
}

void TDataSetModel::RebuildColumns() {
    FColumns.clear();
    if (!FDataSet || !FDataSet->Active()) return;
    for (int i = 0; i < FDataSet->FieldCount(); ++i) {
        TField* f = FDataSet->Fields()[i];
        if (f->Visible()) FColumns.push_back(f);
    }
}

void TDataSetModel::Reload() {
    beginResetModel();
    FRows.clear();
    FNextBatch = FBatchSize;
    RebuildColumns();
    FAtEnd = FColumns.empty() || !FDataSet->Active() || FDataSet->IsEmpty();
    endResetModel();
}

TDataSetModel::Row TDataSetModel::ReadRow() const {
    Row r;
    r.Bookmark = FDataSet->GetBookmark();
    r.Ends.reserve(FColumns.size());
    FRowText.clear();
    for (TField* f : FColumns) {
        f->DisplayTextTo(FCell);
        FRowText += FCell;
        r.Ends.push_back(static_cast<uint32_t>(FRowText.size()));
    }
    r.Texts = FRowText; // one allocation of the row's size
    for (size_t i = 0; i < FColumns.size(); ++i)
        if (FColumns[i]->IsBlob()) {
            r.Values.resize(FColumns.size());
            r.Values[i] = FromUtf8(FColumns[i]->Text());
        }
    return r;
}

QString TDataSetModel::CellText(const Row& row, size_t column) {
    const uint32_t start = column == 0 ? 0 : row.Ends[column - 1];
    return QString::fromUtf8(row.Texts.data() + start, static_cast<qsizetype>(row.Ends[column] - start));
}

void TDataSetModel::SetReadOnly(bool Value) {
    if (Value == FReadOnly) return;
    FReadOnly = Value;
    if (rowCount() > 0) emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
}

TField* TDataSetModel::ColumnField(int column) const {
    return column >= 0 && column < columnCount() ? FColumns[static_cast<size_t>(column)] : nullptr;
}

namespace {

bool IsNumber(const TField& f) {
    switch (f.DataType()) {
    case ftSmallint: case ftInteger: case ftWord: case ftFloat: return true;
    default: return false;
    }
}

} // namespace

int TDataSetModel::CurrentRow() const {
    if (!FDataSet || !FDataSet->Active() || FDataSet->IsEmpty()) return -1;
    const TBookmark current = FDataSet->GetBookmark();
    for (size_t i = 0; i < FRows.size(); ++i)
        if (FDataSet->CompareBookmarks(BookmarkData(FRows[i].Bookmark), BookmarkData(current)) == 0)
            return static_cast<int>(i);
    return -1;
}

bool TDataSetModel::canFetchMore(const QModelIndex& parent) const { return !parent.isValid() && !FAtEnd; }

void TDataSetModel::fetchMore(const QModelIndex& parent) {
    if (parent.isValid() || FAtEnd) return;
    std::vector<Row> batch;
    RunHandled([&] {
        BusyScope busy(FBusy);
        FDataSet->CheckBrowseMode();
        const TBookmark start = FDataSet->GetBookmark();
        FDataSet->DisableControls();
        try {
            if (FRows.empty()) {
                FDataSet->First();
            } else {
                FDataSet->GotoBookmark(FRows.back().Bookmark);
                FDataSet->Next();
            }
            while (!FDataSet->Eof() && static_cast<int>(batch.size()) < FNextBatch) {
                batch.push_back(ReadRow());
                FDataSet->Next();
            }
            FAtEnd = FDataSet->Eof();
            if (!start.empty() && FDataSet->BookmarkValid(start)) FDataSet->GotoBookmark(start);
        } catch (...) {
            FAtEnd = true; // never retry a fetch that failed on every scroll
            FDataSet->EnableControls();
            throw;
        }
        FDataSet->EnableControls();
    });
    FNextBatch = std::min(FNextBatch * 2, FBatchSize * kBatchGrowth);
    if (batch.empty()) return;
    const int first = static_cast<int>(FRows.size());
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(batch.size()) - 1);
    for (Row& r : batch) FRows.push_back(std::move(r));
    endInsertRows();
}

int TDataSetModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(FRows.size());
}

int TDataSetModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(FColumns.size());
}

QVariant TDataSetModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount()) return {};
    const Row& row = FRows[static_cast<size_t>(index.row())];
    const auto column = static_cast<size_t>(index.column());
    switch (role) {
    case Qt::DisplayRole: case Qt::EditRole: case Qt::ToolTipRole: return CellText(row, column);
    case TextRole: return column < row.Values.size() && FColumns[column]->IsBlob() ? row.Values[column] : CellText(row, column);
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(Qt::Alignment((IsNumber(*FColumns[column]) ? Qt::AlignRight : Qt::AlignLeft) |
                                                 Qt::AlignVCenter));
    default: return {};
    }
}

QVariant TDataSetModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole) return {};
    if (orientation == Qt::Vertical) return section + 1;
    if (section < 0 || section >= columnCount()) return {};
    return FromUtf8(FColumns[static_cast<size_t>(section)]->DisplayName());
}

Qt::ItemFlags TDataSetModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = QAbstractTableModel::flags(index);
    if (index.isValid() && index.column() < columnCount() && !FReadOnly && FDataSet->CanModify() &&
        FColumns[static_cast<size_t>(index.column())]->CanModify() && !FColumns[static_cast<size_t>(index.column())]->IsBlob())
        f |= Qt::ItemIsEditable;
    return f;
}

bool TDataSetModel::GoToRow(int row) {
    const TBookmark& b = FRows[static_cast<size_t>(row)].Bookmark;
    if (!FDataSet->BookmarkValid(b)) return false;
    FDataSet->GotoBookmark(b);
    return true;
}

bool TDataSetModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount()) return false;
    TField* field = FColumns[static_cast<size_t>(index.column())];
    const bool memo = role == TextRole && field->DataType() == ftMemo && !FReadOnly && FDataSet->CanModify() &&
                      field->CanModify();
    if (!memo && (role != Qt::EditRole || !(flags(index) & Qt::ItemIsEditable))) return false;
    // A text given back unchanged is no edit: writing it could change a
    // value its text does not hold exactly.
    if (value.toString() == data(index, role).toString()) return true;
    bool posted = false;
    RunHandled([&] {
        BusyScope busy(FBusy);
        FDataSet->CheckBrowseMode();
        if (!GoToRow(index.row())) return;
        FDataSet->Edit();
        try {
            field->SetText(value.toString().toStdString());
            FDataSet->Post();
        } catch (...) {
            FDataSet->Cancel(); // a refused value leaves the record as it was
            throw;
        }
        FRows[static_cast<size_t>(index.row())] = ReadRow();
        posted = true;
    });
    if (posted) emit dataChanged(index.siblingAtColumn(0), index.siblingAtColumn(columnCount() - 1));
    return posted;
}

} // namespace btr
