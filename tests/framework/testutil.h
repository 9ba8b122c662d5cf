// Shared pieces of the framework tests: a filled in-memory dataset and a
// data link that records what it is told.
#pragma once

#include <memory>
#include <string>
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
    for (int i = 1; i <= rows; ++i) ds->AppendRecord({i, "N" + std::to_string(i), i * 10});
    ds->First();
    return ds;
}

inline int CurrentId(TDataSet& ds) { return ds.FieldByName("Id")->AsInteger(); }

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
    void LayoutChanged() override { Events.push_back("layout"); }
    void UpdateData() override {
        Events.push_back("update data");
        if (!PendingName.empty()) DataSet()->FieldByName("Name")->SetAsString(PendingName);
    }
};

} // namespace btr::test
