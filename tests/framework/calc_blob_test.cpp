// Calculated and lookup fields, and BLOB values through streams.
#include <gtest/gtest.h>

#include "tests/framework/testutil.h"
#include "tests/support/tempdir.h"

namespace btr::test {
namespace {

template <typename F> F* CalcField(TDataSet& ds, const char* name, TFieldKind kind = fkCalculated) {
    auto* f = new F(&ds);
    f->SetFieldName(name);
    f->SetFieldKind(kind);
    f->SetDataSet(&ds);
    return f;
}

// People with every data field persistent, plus two calculated fields.
struct Calculated {
    Calculated() : ds(PeopleColumns()) {
        ds.SetName("People");
        PersistFields(ds);
        label = CalcField<TStringField>(ds, "Label");
        label->SetSize(12);
        twice = CalcField<TIntegerField>(ds, "Twice");
        ds.OnCalcFields = [this](TDataSet* d) {
            states.push_back(d->State());
            label->SetAsString(d->FieldByName("Name")->AsString() + "!");
            if (!d->FieldByName("Age")->IsNull()) twice->SetAsInteger(d->FieldByName("Age")->AsInteger() * 2);
        };
        ds.Open();
        for (int i = 1; i <= 4; ++i) ds.AppendRecord({i, "N" + std::to_string(i), i * 10});
        ds.First();
    }
    TMemDataSet ds;
    TField* label;
    TField* twice;
    std::vector<TDataSetState> states;
};

TEST(CalculatedFields, LiveInTheCalculatedAreaAndFollowEveryFetch) {
    Calculated c;
    EXPECT_EQ(c.ds.CalcFieldsSize(), (12 + 1 + 1) + (4 + 1));
    EXPECT_EQ(c.label->Offset(), 0);
    EXPECT_EQ(c.twice->Offset(), 14);
    std::vector<std::string> labels;
    for (c.ds.First(); !c.ds.Eof(); c.ds.Next())
        labels.push_back(c.label->AsString() + "/" + c.twice->AsString());
    EXPECT_EQ(labels, (std::vector<std::string>{"N1!/20", "N2!/40", "N3!/60", "N4!/80"}));
    for (TDataSetState s : c.states) EXPECT_EQ(s, dsCalcFields);
    EXPECT_EQ(c.ds.State(), dsBrowse);
    EXPECT_THROW(c.label->SetAsString("x"), EDatabaseError) << "not settable while browsing";
    c.ds.OnCalcFields = [](TDataSet*) { throw EDatabaseError("calc failed"); };
    EXPECT_THROW(c.ds.Prior(), EDatabaseError);
    EXPECT_EQ(c.ds.State(), dsBrowse) << "a failing handler leaves the state intact";
    EXPECT_FALSE(c.ds.ControlsDisabled());
}

TEST(CalculatedFields, RecalculateOnEditsWhenAutoCalcFields) {
    Calculated c;
    c.ds.Edit();
    c.ds.FieldByName("Age")->SetAsInteger(7);
    EXPECT_EQ(c.twice->AsInteger(), 14);
    EXPECT_TRUE(c.ds.Modified());
    c.ds.SetAutoCalcFields(false);
    c.ds.FieldByName("Age")->SetAsInteger(8);
    EXPECT_EQ(c.twice->AsInteger(), 14);
    c.ds.Post();
    EXPECT_EQ(c.twice->AsInteger(), 16) << "calculated again after posting";
    // A new record starts with cleared calculated values.
    c.ds.OnCalcFields = nullptr;
    c.ds.Append();
    EXPECT_TRUE(c.twice->IsNull());
    EXPECT_TRUE(c.label->OldValue().IsNull()) << "calculated fields have no old value";
    c.ds.Cancel();
}

TEST(CalculatedFields, TheCalculationBufferIsKnownWithoutCalculatedFields) {
    auto ds = People(3);
    ds->Next();  // record 2 was the last one fetched
    const TDataSetState saved = ds->SetTempState(dsCalcFields);
    const int id = CurrentId(*ds);
    ds->RestoreState(saved);
    EXPECT_EQ(id, 2);
}

// Orders whose CustName is looked up by CustId in Customers.
struct Orders {
    Orders() : customers({{"Id", ftInteger}, {"Name", ftString, 10}}), orders({{"No", ftInteger}, {"CustId", ftInteger}}) {
        customers.Open();
        customers.AppendRecord({1, "Ann"});
        customers.AppendRecord({2, "Bob"});
        customers.First();
        PersistFields(orders);
        name = CalcField<TStringField>(orders, "CustName", fkLookup);
        name->SetSize(10);
        name->SetLookupDataSet(&customers);
        name->SetKeyFields("CustId");
        name->SetLookupKeyFields("Id");
        name->SetLookupResultField("Name");
    }
    std::vector<std::string> Names() {
        std::vector<std::string> n;
        for (orders.First(); !orders.Eof(); orders.Next()) n.push_back(name->AsString());
        return n;
    }
    TMemDataSet customers;
    TMemDataSet orders;
    TField* name;
};

TEST(LookupFields, MustBeCompleteAndTakeTheirValueFromTheLookupDataSet) {
    Orders o;
    EXPECT_THROW(o.name->SetLookupDataSet(&o.orders), EDatabaseError);
    o.name->SetLookupResultField("");
    EXPECT_THROW(o.orders.Open(), EDatabaseError);
    o.name->SetLookupResultField("Name");
    o.name->SetKeyFields("Nope");
    EXPECT_THROW(o.orders.Open(), EDatabaseError);
    EXPECT_FALSE(o.orders.Active());
    o.name->SetKeyFields("CustId");
    o.orders.Open();
    o.orders.AppendRecord({10, 2});
    o.orders.AppendRecord({11, 1});
    o.orders.AppendRecord({12, 9});
    EXPECT_EQ(o.Names(), (std::vector<std::string>{"Bob", "Ann", ""}));
    o.orders.Last();
    EXPECT_TRUE(o.name->IsNull());
    EXPECT_EQ(CurrentId(o.customers), 1) << "the lookup dataset stays where it was";
    // Choosing a lookup value sets the key field.
    o.orders.Edit();
    o.name->SetValue("Bob");
    EXPECT_EQ(o.orders.FieldByName("CustId")->AsInteger(), 2);
    o.orders.Post();
    EXPECT_EQ(o.Names(), (std::vector<std::string>{"Bob", "Ann", "Bob"}));
    o.customers.Close();
    EXPECT_EQ(o.Names(), (std::vector<std::string>{"", "", ""})) << "a closed lookup dataset gives null";
    {
        TMemDataSet temporary({{"Id", ftInteger}});
        o.name->SetLookupDataSet(&temporary);
    }
    EXPECT_EQ(o.name->LookupDataSet(), nullptr) << "a lookup dataset that went is forgotten";
}

TEST(LookupFields, ACycleOfLookupsEnds) {
    Orders o;
    // Customers look back into Orders: the inner lookups find nothing
    // instead of recursing or moving a cursor in the middle of a fetch.
    o.customers.Close();
    PersistFields(o.customers);
    auto* back = CalcField<TIntegerField>(o.customers, "AnyOrder", fkLookup);
    back->SetLookupDataSet(&o.orders);
    back->SetKeyFields("Id");
    back->SetLookupKeyFields("CustId");
    back->SetLookupResultField("No");
    o.customers.Open();
    o.orders.Open();
    o.orders.AppendRecord({10, 2});
    o.orders.AppendRecord({11, 1});
    EXPECT_EQ(o.Names(), (std::vector<std::string>{"Bob", "Ann"}));
    o.customers.First();
    EXPECT_EQ(back->AsInteger(), 11);
}

// A dataset with a BLOB and a memo, one record stored.
struct Blobs {
    Blobs() : ds({{"Id", ftInteger}, {"Data", ftBlob}, {"Text", ftMemo}}) {
        ds.SetName("Blobs");
        ds.Open();
        ds.AppendRecord({1});
        data = static_cast<TBlobField*>(ds.FieldByName("Data"));
        text = static_cast<TBlobField*>(ds.FieldByName("Text"));
    }
    TMemDataSet ds;
    TBlobField* data;
    TBlobField* text;
};

TEST(BlobFields, WrittenContentIsReadBackBeforeAndAfterPostingAndGoesWithACancel) {
    Blobs b;
    b.ds.Append();
    b.ds.FieldByName("Id")->SetAsInteger(2);
    b.data->SetAsString(std::string("a\0b", 3));
    EXPECT_TRUE(b.data->Modified());
    EXPECT_FALSE(b.data->IsNull());
    EXPECT_EQ(b.data->AsString(), std::string("a\0b", 3));
    EXPECT_EQ(b.data->BlobSize(), 3);
    b.ds.Post();
    EXPECT_FALSE(b.data->Modified());
    b.ds.First();
    EXPECT_TRUE(b.data->IsNull()) << "record 1 has no value";
    b.ds.Next();
    EXPECT_EQ(b.data->Value(), Variant(std::string("a\0b", 3)));
    // Cancelling discards what was written; browsing writes nothing.
    b.ds.Edit();
    b.data->SetAsString("second");
    b.data->Clear();
    EXPECT_TRUE(b.data->IsNull());
    b.ds.Cancel();
    EXPECT_FALSE(b.data->Modified());
    EXPECT_THROW(b.data->SetAsString("x"), EDatabaseError);
    EXPECT_THROW(b.data->Clear(), EDatabaseError);
    EXPECT_EQ(b.data->Value(), Variant(std::string("a\0b", 3)));
}

TEST(BlobFields, MemosAreTextAndStreamsLoadAndSave) {
    Blobs b;
    test::TempDir dir;
    b.ds.Edit();
    b.text->SetAsString("Заметка");
    EXPECT_EQ(b.text->AsAnsiString(), "\xC7\xE0\xEC\xE5\xF2\xEA\xE0");
    EXPECT_EQ(b.text->AsString(), "Заметка");
    TMemoryStream source;
    source.WriteBuffer("0123456789", 10);
    source.SetPosition(7);
    b.data->LoadFromStream(source);  // the whole stream, from its start
    b.ds.Post();
    TMemoryStream saved;
    b.data->SaveToStream(saved);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(saved.Memory()), 10), "0123456789");
    b.data->SaveToFile(dir.File("blob.bin"));
    b.ds.Edit();
    b.text->LoadFromFile(dir.File("blob.bin"));
    b.ds.Post();
    EXPECT_EQ(b.text->AsString(), "0123456789");
    EXPECT_THROW(b.text->LoadFromFile(dir.File("missing")), EInOutError);
}

} // namespace
} // namespace btr::test
