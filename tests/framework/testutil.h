// Shared pieces of the framework tests: a filled in-memory dataset, a data
// link that records what it is told, a view over a dataset, and checks.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/framework/memdataset.h"

namespace btr::test {

inline std::vector<MemColumn> PeopleColumns() {
    return {{"Id", ftInteger}, {"Name", ftString, 20}, {"Age", ftSmallint}};
}

// Opens a dataset of `rows` people: Id i, Name "N<i>", Age i * 10.
inline std::unique_ptr<TMemDataSet> People(int rows, TComponent* owner = nullptr) {
    auto ds = std::make_unique<TMemDataSet>(PeopleColumns(), owner);
    ds->SetName("People");
    ds->Open();
    for (int i = 1; i <= rows; ++i) ds->AppendRecord({i, std::string("N").append(std::to_string(i)), i * 10});
    ds->First();
    return ds;
}

inline int CurrentId(TDataSet& ds) { return ds.FieldByName("Id")->AsInteger(); }

// The Id of every record, walking from the first one (or back from the last).
inline std::vector<int> Ids(TDataSet& ds, bool backward = false) {
    std::vector<int> ids;
    if (backward)
        for (ds.Last(); !ds.Bof(); ds.Prior()) ids.push_back(CurrentId(ds));
    else
        for (ds.First(); !ds.Eof(); ds.Next()) ids.push_back(CurrentId(ds));
    return ids;
}

// Makes every field definition a persistent field the dataset owns.
inline void PersistFields(TDataSet& ds) {
    ds.FieldDefs().Update();
    for (int i = 0; i < ds.FieldDefs().Count(); ++i) ds.FieldDefs()[i].CreateField(&ds);
}

// The message of the E that `action` raises; "" when it raises nothing.
template <typename E = EDatabaseError, typename F> std::string ErrorOf(F action) {
    try {
        action();
    } catch (const E& e) {
        return e.what();
    }
    return "";
}

// Writes the name of every open, close, edit and scroll event and of every
// Internal* call into `log`.
inline void LogEvents(TMemDataSet& ds, std::vector<std::string>& log) {
#define BTR_EVENT(name) {&TDataSet::name, #name}
    const std::pair<TDataSet::TDataSetNotifyEvent TDataSet::*, const char*> events[] = {
        BTR_EVENT(BeforeOpen),   BTR_EVENT(AfterOpen),   BTR_EVENT(BeforeClose),  BTR_EVENT(AfterClose),
        BTR_EVENT(BeforeInsert), BTR_EVENT(AfterInsert), BTR_EVENT(BeforeEdit),   BTR_EVENT(AfterEdit),
        BTR_EVENT(BeforePost),   BTR_EVENT(AfterPost),   BTR_EVENT(BeforeCancel), BTR_EVENT(AfterCancel),
        BTR_EVENT(BeforeDelete), BTR_EVENT(AfterDelete), BTR_EVENT(BeforeScroll), BTR_EVENT(AfterScroll),
        BTR_EVENT(OnNewRecord)};
#undef BTR_EVENT
    for (const auto& e : events) ds.*e.first = [&log, name = e.second](TDataSet*) { log.push_back(name); };
    ds.OnInternal = [&log](const std::string& call) { log.push_back(call); };
}

class RecordingLink : public TDataLink {
public:
    std::vector<std::string> Events;
    std::string PendingName;  // written into Name when asked for pending edits

    // The Id of every row this link shows.
    std::vector<int> RowIds() {
        std::vector<int> ids;
        const int saved = ActiveRecord();
        for (int i = 0; i < RecordCount(); ++i) {
            SetActiveRecord(i);
            ids.push_back(CurrentId(*DataSet()));
        }
        SetActiveRecord(saved);
        return ids;
    }

protected:
    void ActiveChanged() override { Events.push_back(Active() ? "active" : "inactive"); }
    void DataSetChanged() override { Events.push_back("changed"); }
    void DataSetScrolled(int distance) override { Events.push_back("scrolled " + std::to_string(distance)); }
    void RecordChanged(TField* field) override { Events.push_back(field ? "record " + field->FieldName() : "record"); }
    void EditingChanged() override { Events.push_back(Editing() ? "editing" : "not editing"); }
    void CheckBrowseMode() override { Events.push_back("check browse"); }
    void UpdateData() override {
        Events.push_back("update data");
        if (!PendingName.empty()) DataSet()->FieldByName("Name")->SetAsString(PendingName);
    }
};

// A dataset of `count` people shown by a view of `rows` records; the view
// has heard nothing yet.
struct Viewed {
    explicit Viewed(int count, int rows = 3, bool errorAtEnds = false) : ds(People(count)) {
        ds->EndsWithError = errorAtEnds;
        source.SetDataSet(ds.get());
        link.SetDataSource(&source);
        link.SetBufferCount(rows);
        link.Events.clear();
    }
    std::vector<std::string> Take() { return std::exchange(link.Events, {}); }
    std::unique_ptr<TMemDataSet> ds;
    TDataSource source;
    RecordingLink link;
};

} // namespace btr::test
