// The model a Qt program shows records through: TDataSetModel over a
// TBDataSet against QSqlTableModel over the same records in SQLite, each in a
// QTableView on the offscreen platform. Two times for each: the first screen
// (opening the file or the database, the model, the view shown and painted)
// and the scroll to the end (the view at its bottom again and again, the
// model fetching as it goes, until every record is in). Both models fetch
// as the view scrolls; neither is told how many records there are.
//
//   model_bench [N [RUNS [dataset|qt]]]      default 1000000 records, 3 runs, both
//
// The two take turns, RUNS times, and each keeps its best times; a third
// argument runs one alone (for a profiler).
#include <QApplication>
#include <QScrollBar>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlTableModel>
#include <QStandardItemModel>
#include <QTableView>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <string>

#include "bench/common/tenfields.h"
#include "gui/datasetmodel.h"

using namespace btr;

namespace {

// A table view that counts the times it painted its cells.
class CountingView : public QTableView {
public:
    int Paints = 0;

protected:
    void paintEvent(QPaintEvent* e) override {
        QTableView::paintEvent(e);
        ++Paints;
    }
};

struct Times {
    double open = std::numeric_limits<double>::max(); // the file or database and the model, before the view
    double firstScreen = std::numeric_limits<double>::max();
    double toEnd = std::numeric_limits<double>::max();
    int rows = 0;
    int fetches = 0;
    long privateKb = 0; // after the scroll, model and view alive
};

// Shows a model in a view; `open` makes the model (opening what it reads).
void Measure(const std::function<QAbstractItemModel*()>& open, Times& best) {
    const double t0 = bench::Now();
    QAbstractItemModel* model = open();
    const double opened = bench::Now();
    CountingView view;
    view.resize(1280, 800);
    view.setModel(model);
    view.show();
    while (view.Paints == 0) QApplication::processEvents();
    const double t1 = bench::Now();
    int fetches = 0;
    while (model->canFetchMore(QModelIndex())) {
        view.scrollToBottom();
        QApplication::processEvents();
        ++fetches;
    }
    const int painted = view.Paints;
    view.scrollToBottom();
    while (view.Paints == painted) QApplication::processEvents();
    const double t2 = bench::Now();
    best.open = std::min(best.open, opened - t0);
    best.firstScreen = std::min(best.firstScreen, t1 - t0);
    best.toEnd = std::min(best.toEnd, t2 - t1);
    best.rows = model->rowCount();
    best.fetches = fetches;
    best.privateKb = bench::PrivateKb();
}

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const int n = argc > 1 ? std::atoi(argv[1]) : 1000000;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const std::string only = argc > 3 ? argv[3] : "";
    if (n <= 0 || (only != "" && only != "dataset" && only != "qt")) {
        std::fprintf(stderr, "usage: model_bench [N [RUNS [dataset|qt]]]\n");
        return 2;
    }
    bench::ScratchDir dir;
    const std::string db = (dir.Path() / "data.db").string();
    {
        std::printf("making %d records...\n", n);
        std::fflush(stdout);
        TBDataSet ds;
        bench::CreateTenFieldFile(dir.Path(), n, ds);
        bench::CopyToSqlite(ds, db);
    }
    {
        // Qt's first paint loads fonts and fills its caches: neither model
        // should pay for that.
        QStandardItemModel warm(40, 10);
        for (int r = 0; r < 40; ++r)
            for (int c = 0; c < 10; ++c) warm.setItem(r, c, new QStandardItem(QString("Имя 0123456789.-:%1").arg(r * c)));
        CountingView view;
        view.resize(1280, 800);
        view.setModel(&warm);
        view.show();
        while (view.Paints == 0) QApplication::processEvents();
    }
    const long before = bench::PrivateKb();

    Times ours, qt;
    for (int r = 0; r < runs; ++r) {
        if (only != "qt") {
            TBDataSet ds;
            std::unique_ptr<TDataSetModel> model;
            Measure(
                [&] {
                    ds.SetDictName((dir.Path() / "DICT.DAT").string());
                    ds.SetBaseName((dir.Path() / "DATA.DAT").string());
                    ds.Open();
                    model = std::make_unique<TDataSetModel>(&ds);
                    return model.get();
                },
                ours);
        }
        if (only != "dataset") {
            QSqlDatabase qdb = QSqlDatabase::addDatabase("QSQLITE", "bench");
            std::unique_ptr<QSqlTableModel> model;
            Measure(
                [&] {
                    qdb.setDatabaseName(QString::fromStdString(db));
                    if (!qdb.open()) {
                        std::fprintf(stderr, "model_bench: Qt SQL cannot open the SQLite table (%s); is libqt6sql6-sqlite installed?\n",
                                     qdb.lastError().text().toStdString().c_str());
                        std::exit(1);
                    }
                    for (const char* p : bench::kSqlitePragmas) QSqlQuery(p, qdb).exec();
                    model = std::make_unique<QSqlTableModel>(nullptr, qdb);
                    model->setTable("data");
                    model->setSort(0, Qt::AscendingOrder);
                    model->select();
                    return model.get();
                },
                qt);
            model.reset();
            qdb.close();
            qdb = QSqlDatabase();
            QSqlDatabase::removeDatabase("bench");
        }
    }

    std::printf("%d records of ten fields in a 1280x800 QTableView, offscreen, best of %d runs\n\n", n, runs);
    std::printf("| model | first screen (of it opening) | scroll to the end | fetches | private memory after |\n"
                "|---|---:|---:|---:|---:|\n");
    std::printf("| TDataSetModel over TBDataSet | %.1f ms (%.1f ms) | %.2f s | %d | %ld MB |\n", ours.firstScreen * 1e3,
                ours.open * 1e3, ours.toEnd, ours.fetches, ours.privateKb / 1024);
    std::printf("| QSqlTableModel over SQLite | %.1f ms (%.1f ms) | %.2f s | %d | %ld MB |\n", qt.firstScreen * 1e3,
                qt.open * 1e3, qt.toEnd, qt.fetches, qt.privateKb / 1024);
    std::printf("\nTDataSetModel / QSqlTableModel time: first screen %.2f, scroll to the end %.2f (below 1: faster)\n",
                ours.firstScreen / qt.firstScreen, ours.toEnd / qt.toEnd);
    std::printf("private memory before the models: %ld MB\n", before / 1024);
    if ((only != "qt" && ours.rows != n) || (only != "dataset" && qt.rows != n)) {
        std::printf("rows shown differ: %d and %d of %d\n", ours.rows, qt.rows, n);
        return 1;
    }
    return 0;
}
