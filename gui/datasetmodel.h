// A Qt item model over any TDataSet: the dataset's visible fields are the
// columns, its records the rows. Rows are fetched as views scroll (through
// the dataset's own navigation, a batch at a time), edits go through
// Edit/Post and the field's SetText (so its OnSetText sees them), and the
// model follows the dataset's data events. Numbers are aligned to the
// right; a cell's tooltip is its whole text. BLOB values are never edited
// in a cell: their display text (as "(MEMO)") is no value to write back.
#pragma once

#include <QAbstractTableModel>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/dataset.h"

namespace btr {

class TDataSetModel : public QAbstractTableModel {
    Q_OBJECT

public:
    // The dataset stays the caller's and must outlive the model.
    explicit TDataSetModel(TDataSet* DataSet, QObject* parent = nullptr);
    ~TDataSetModel() override;

    TDataSet* DataSet() const { return FDataSet; }
    // Records read by the first fetch after a reload (64): a screen shows at
    // once. Each later fetch reads twice as many as the one before, up to
    // kBatchGrowth times as many: a long scroll takes few fetches.
    void SetBatchSize(int Value) { FBatchSize = FNextBatch = Value > 0 ? Value : 1; }
    static constexpr int kBatchGrowth = 32;
    // A read-only model offers no cell for editing and refuses setData.
    bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool Value);

    // The role of a cell's value as the field's Text (a memo's whole text,
    // line breaks and all). Memo cells take it through setData even though
    // they offer no editor; other BLOB cells never do.
    static constexpr int TextRole = Qt::UserRole + 1;
    // The field of a column, null outside.
    TField* ColumnField(int column) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

    // Forgets every row read so far and starts again from the first record.
    void Reload();
    // The row of the dataset's current record, -1 when it was not read yet.
    int CurrentRow() const;

private:
    class Link;
    // A record as the view shows it. The texts stay UTF-8, end to end in one
    // string, until a cell is shown: a million rows read are a million
    // strings, not ten million.
    struct Row {
        TBookmark Bookmark;
        std::string Texts;
        std::vector<uint32_t> Ends;  // where each column's text ends in Texts
        std::vector<QString> Values; // TextRole, kept only for BLOB columns
    };

    Row ReadRow() const;
    static QString CellText(const Row& row, size_t column);
    void RebuildColumns();
    // Moves the dataset to a row's record; false when it is gone.
    bool GoToRow(int row);

    TDataSet* FDataSet;
    std::unique_ptr<TDataSource> FSource;
    std::unique_ptr<Link> FLink;
    std::vector<TField*> FColumns;
    std::vector<Row> FRows;
    bool FAtEnd = false;
    bool FBusy = false; // our own navigation: its events are not news
    bool FReadOnly = false;
    int FBatchSize = 64;
    int FNextBatch = 64; // rows the next fetch reads
    mutable std::string FCell, FRowText; // a row's texts on their way into it
};

} // namespace btr
