// A Qt item model over any TDataSet: the dataset's visible fields are the
// columns, its records the rows. Rows are fetched as views scroll (through
// the dataset's own navigation, a batch at a time), edits go through
// Edit/Post, and the model follows the dataset's data events.
#pragma once

#include <QAbstractTableModel>
#include <memory>
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
    // Records read per fetch.
    void SetBatchSize(int Value) { FBatchSize = Value > 0 ? Value : 1; }

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
    struct Row {
        TBookmark Bookmark;
        std::vector<QString> Texts;
    };

    Row ReadRow() const;
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
    int FBatchSize = 64;
};

} // namespace btr
