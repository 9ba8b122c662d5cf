// Field classes: native formats, conversions, null handling, lookup by
// name, persistent fields and their binding.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "tests/framework/testutil.h"

namespace btr::test {
namespace {

std::vector<MemColumn> AllTypes() {
    return {{"S", ftString, 5},  {"C", ftFixedChar, 1}, {"SI", ftSmallint}, {"I", ftInteger},
            {"W", ftWord},       {"F", ftFloat},        {"D", ftDate},      {"T", ftTime},
            {"DT", ftDateTime},  {"B", ftBoolean},      {"BL", ftBlob},     {"M", ftMemo},
            {"G", ftGraphic}};
}

// A dataset of every type with one new record being edited.
struct Editing {
    Editing() : ds(AllTypes()) {
        ds.SetName("All");
        ds.Open();
        ds.Append();
    }
    TField* F(const char* name) { return ds.FieldByName(name); }
    TMemDataSet ds;
};

TEST(FieldClasses, DefaultFieldsFollowTheirDefinitions) {
    Editing e;
    EXPECT_TRUE(e.ds.DefaultFields());
    // The other classes show in how they treat their values below.
    EXPECT_NE(dynamic_cast<TGraphicField*>(e.F("G")), nullptr);
    const int sizes[] = {6, 2, 2, 4, 2, 8, 4, 4, 8, 2, 0, 0, 0};
    for (int i = 0; i < e.ds.FieldCount(); ++i) {
        EXPECT_EQ(e.ds.Fields()[i]->DataSize(), sizes[i]) << e.ds.Fields()[i]->FieldName();
        EXPECT_EQ(e.ds.Fields()[i]->FieldNo(), i + 1);
    }
    e.ds.Cancel();
    e.ds.Close();
    EXPECT_EQ(e.ds.FieldCount(), 0) << "default fields go with closing";
}

TEST(FieldClasses, EveryFieldStartsNullAndClearsToNull) {
    Editing e;
    for (TField* f : e.ds.Fields()) {
        EXPECT_TRUE(f->IsNull()) << f->FieldName();
        EXPECT_TRUE(f->Value().IsNull()) << f->FieldName();
        EXPECT_EQ(f->AsString(), "") << f->FieldName();
    }
    EXPECT_EQ(e.F("I")->AsInteger(), 0);
    EXPECT_EQ(e.F("F")->AsFloat(), 0.0);
    EXPECT_FALSE(e.F("B")->AsBoolean());
    EXPECT_EQ(e.F("D")->AsDateTime(), 0.0);
    const Variant values[] = {"ab", "x", -5, 70000, 65535, 2.5, Variant::FromDateTime(EncodeDate(2001, 2, 3)),
                              Variant::FromDateTime(EncodeTime(1, 2, 3, 0)), Variant::FromDateTime(1.5), true,
                              "bytes", "memo", "pic"};
    std::string reused = "left over from before";
    for (int i = 0; i < e.ds.FieldCount(); ++i) {
        TField* f = e.ds.Fields()[i];
        f->SetValue(values[i]);
        EXPECT_FALSE(f->IsNull()) << f->FieldName();
        EXPECT_EQ(f->Value(), values[i]) << f->FieldName();
        f->AsStringTo(reused); // the text a scan reads into one string
        EXPECT_EQ(reused, f->AsString()) << f->FieldName();
        f->Clear();
        f->AsStringTo(reused);
        EXPECT_EQ(reused, "") << f->FieldName();
        EXPECT_TRUE(f->IsNull()) << f->FieldName();
        f->SetValue(values[i]);
        f->SetValue(Null());
        EXPECT_TRUE(f->IsNull()) << f->FieldName();
    }
}

TEST(FieldClasses, StringsAreCodePage1251WithinTheirSize) {
    Editing e;
    TField* s = e.F("S");
    s->SetAsString("Привет, мир");
    EXPECT_EQ(s->AsString(), "Приве");  // cut to Size characters
    EXPECT_EQ(s->AsAnsiString(), "\xCF\xF0\xE8\xE2\xE5");
    char native[6];
    ASSERT_TRUE(s->GetData(native));
    EXPECT_EQ(std::string(native), "\xCF\xF0\xE8\xE2\xE5");
    s->SetAsAnsiString("\xDF");  // "Я"
    EXPECT_EQ(s->AsString(), "Я");
    s->SetAsString("");
    EXPECT_FALSE(s->IsNull()) << "empty text is a value";
    s->SetAsString(" 12 ");
    EXPECT_EQ(s->AsInteger(), 12);
    s->SetAsFloat(2.5);
    EXPECT_DOUBLE_EQ(s->AsFloat(), 2.5);
    s->SetAsBoolean(true);
    EXPECT_EQ(s->AsString(), "True");
    EXPECT_TRUE(s->AsBoolean());
    s->SetAsString("abc");
    EXPECT_THROW(s->AsInteger(), EConvertError);
    e.F("C")->SetAsString("xyz");
    EXPECT_EQ(e.F("C")->AsString(), "x");
}

TEST(FieldClasses, IntegersKeepTheirRangeAndNativeWidth) {
    Editing e;
    TField* si = e.F("SI");
    si->SetAsInteger(-32768);
    int16_t raw16;
    ASSERT_TRUE(si->GetData(&raw16));
    EXPECT_EQ(raw16, -32768);
    EXPECT_THROW(si->SetAsInteger(32768), EDatabaseError);
    EXPECT_EQ(si->AsInteger(), -32768) << "a refused value leaves the old one";
    TField* w = e.F("W");
    w->SetAsInteger(65535);
    uint16_t raw;
    ASSERT_TRUE(w->GetData(&raw));
    EXPECT_EQ(raw, 65535);
    EXPECT_THROW(w->SetAsInteger(-1), EDatabaseError);
    EXPECT_THROW(w->SetValue(70000), EDatabaseError);
    TField* i = e.F("I");
    i->SetAsString(" -2147483648 ");
    EXPECT_EQ(i->AsInteger(), INT32_MIN);
    EXPECT_THROW(i->SetAsString("2147483648"), EDatabaseError);
    EXPECT_THROW(i->SetAsString("12a"), EDatabaseError);
    EXPECT_THROW(i->SetValue("twelve"), EConvertError);
    i->SetAsFloat(2.5);
    EXPECT_EQ(i->AsInteger(), 2);  // half to even
    i->SetAsFloat(-3.5);
    EXPECT_EQ(i->AsString(), "-4");
    EXPECT_THROW(i->SetAsFloat(1e30), EDatabaseError);
    i->SetAsString("");
    EXPECT_TRUE(i->IsNull());
    auto* bounded = static_cast<TIntegerField*>(i);
    bounded->SetMinValue(1);
    bounded->SetMaxValue(9);
    EXPECT_THROW(i->SetAsInteger(10), EDatabaseError);
    EXPECT_EQ(ErrorOf([&] { i->SetAsInteger(0); }), "0 is not a valid value for field 'I'. The allowed range is 1 to 9");
    EXPECT_THROW(si->AsDateTime(), EDatabaseError);
    EXPECT_THROW(si->SetAsBoolean(true), EDatabaseError);
}

TEST(FieldClasses, FloatsRefuseValuesNoStoredFormatHolds) {
    Editing e;
    TField* f = e.F("F");
    f->SetAsString("1,25");
    EXPECT_DOUBLE_EQ(f->AsFloat(), 1.25);
    EXPECT_EQ(f->AsString(), "1.25");
    f->SetAsFloat(2.5);
    EXPECT_EQ(f->AsInteger(), 2);
    EXPECT_THROW(f->SetAsFloat(std::nan("")), EDatabaseError);
    EXPECT_THROW(f->SetAsFloat(INFINITY), EDatabaseError);
    EXPECT_THROW(f->SetAsString("1.5x"), EDatabaseError);
    EXPECT_DOUBLE_EQ(f->AsFloat(), 2.5);
    f->SetAsFloat(3e10);
    EXPECT_THROW(f->AsInteger(), EConvertError);
    auto* bounded = static_cast<TFloatField*>(f);
    bounded->SetMinValue(-1);
    bounded->SetMaxValue(1);
    EXPECT_THROW(f->SetAsFloat(1.01), EDatabaseError);
    f->SetAsInteger(1);
    EXPECT_EQ(f->Value(), Variant(1.0));
}

TEST(FieldClasses, BooleansUseAllBitsAndTheirTexts) {
    Editing e;
    auto* b = static_cast<TBooleanField*>(e.F("B"));
    b->SetAsBoolean(true);
    int16_t raw;
    ASSERT_TRUE(b->GetData(&raw));
    EXPECT_EQ(raw, -1);
    const int16_t highByteOnly = 0x0100;
    b->SetData(&highByteOnly);
    EXPECT_TRUE(b->AsBoolean());
    EXPECT_EQ(b->AsString(), "True");
    b->SetAsString("f");
    EXPECT_FALSE(b->AsBoolean());
    b->SetAsString("TR");
    EXPECT_TRUE(b->AsBoolean());
    EXPECT_THROW(b->SetAsString("yes"), EDatabaseError);
    b->SetDisplayValues("Да;Нет");
    b->SetAsString("нет");
    EXPECT_EQ(b->AsString(), "Нет");
    b->SetDisplayValues("Yes;Y");
    EXPECT_THROW(b->SetAsString("maybe"), EDatabaseError);
    b->SetAsString("Y");  // a whole word wins over a prefix of the other
    EXPECT_FALSE(b->AsBoolean());
    b->SetAsString("Ye");
    EXPECT_TRUE(b->AsBoolean());
    EXPECT_THROW(b->AsInteger(), EDatabaseError);
    b->SetValue("false");
    EXPECT_FALSE(b->AsBoolean());
}

TEST(FieldClasses, DatesAndTimesUseDayNumbersAndMilliseconds) {
    Editing e;
    const TDateTime when = EncodeDate(2000, 2, 29) + EncodeTime(13, 14, 15, 160);
    e.F("D")->SetAsDateTime(when);
    int32_t day;
    ASSERT_TRUE(e.F("D")->GetData(&day));
    EXPECT_EQ(day, EncodeDayNumber(2000, 2, 29));
    EXPECT_DOUBLE_EQ(e.F("D")->AsDateTime(), EncodeDate(2000, 2, 29)) << "the time part is dropped";
    EXPECT_EQ(e.F("D")->AsString(), "2000-02-29");
    e.F("T")->SetAsDateTime(when);
    int32_t ms;
    ASSERT_TRUE(e.F("T")->GetData(&ms));
    EXPECT_EQ(ms, ((13 * 60 + 14) * 60 + 15) * 1000 + 160);
    EXPECT_EQ(e.F("T")->AsString(), "13:14:15.160");
    e.F("DT")->SetAsDateTime(when);
    EXPECT_DOUBLE_EQ(e.F("DT")->AsFloat(), when);
    e.F("D")->SetAsString("01.01.1900");
    EXPECT_DOUBLE_EQ(e.F("D")->AsDateTime(), 2.0);
    e.F("T")->SetAsString("23:59");
    EXPECT_EQ(e.F("T")->Value(), Variant::FromDateTime(EncodeTime(23, 59, 0, 0)));
    e.F("DT")->SetAsString("1899-12-29 06:00");
    EXPECT_DOUBLE_EQ(e.F("DT")->AsDateTime(), -1.25);
    EXPECT_THROW(e.F("D")->SetAsString("2001-02-29"), EDatabaseError);
    EXPECT_THROW(e.F("D")->SetAsDateTime(5e6), EConvertError);  // beyond year 9999
    EXPECT_DOUBLE_EQ(e.F("D")->AsDateTime(), 2.0);
    const int32_t badDay = 0;  // a dataset handing over nonsense is caught, not wrapped
    e.F("D")->SetData(&badDay);
    EXPECT_THROW(e.F("D")->AsDateTime(), EConvertError);
    EXPECT_THROW(e.F("D")->AsBoolean(), EDatabaseError);
}

TEST(FieldClasses, TextEventsReplaceTheDefaultText) {
    Editing e;
    TField* i = e.F("I");
    i->SetAsInteger(5);
    i->OnGetText = [](TField* f, std::string& text, bool display) {
        text = (display ? "#" : "") + std::to_string(f->AsInteger());
    };
    i->OnSetText = [](TField* f, const std::string& text) { f->SetAsInteger(std::stoi(text) * 2); };
    EXPECT_EQ(i->Text(), "5");
    EXPECT_EQ(i->DisplayText(), "#5");
    i->SetText("4");
    EXPECT_EQ(i->AsInteger(), 8);
    EXPECT_EQ(e.F("BL")->DisplayText(), "(blob)");
    e.F("BL")->SetAsString("x");
    EXPECT_EQ(e.F("BL")->DisplayText(), "(BLOB)");
    EXPECT_EQ(e.F("M")->DisplayText(), "(memo)");

    // Into a string a view reuses cell after cell: each text whole, an event
    // that appends sees it empty.
    e.F("S")->OnGetText = [](TField*, std::string& text, bool) { text += "+"; };
    e.F("F")->SetAsFloat(2.5);
    e.F("D")->SetAsDateTime(EncodeDate(2001, 2, 3));
    std::string reused = "left over from before";
    for (TField* f : e.ds.Fields()) {
        f->DisplayTextTo(reused);
        EXPECT_EQ(reused, f->DisplayText()) << f->FieldName();
    }
    e.F("S")->DisplayTextTo(reused);
    EXPECT_EQ(reused, "+");
}

TEST(FieldLookup, NamesListsValuesAndChanges) {
    auto ds = People(2);
    EXPECT_EQ(ds->FieldByName("name"), ds->FindField("NAME"));
    EXPECT_EQ(ds->FindField("Missing"), nullptr);
    EXPECT_EQ(ErrorOf([&] { ds->FieldByName("Missing"); }), "People: Field 'Missing' not found");
    const auto list = ds->GetFieldList(" Age ; Id;");
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]->FieldName(), "Age");
    EXPECT_EQ(list[1]->FieldName(), "Id");
    EXPECT_THROW(ds->GetFieldList("Id;;Age"), EDatabaseError);
    size_t pos = 0;
    std::vector<std::string> names;
    const std::string text = "A; B ;C";
    while (pos < text.size()) names.push_back(ExtractFieldName(text, pos));
    EXPECT_EQ(names, (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(ds->GetFieldNames(), (std::vector<std::string>{"Id", "Name", "Age"}));
    EXPECT_EQ(ds->FieldValues("Name"), Variant("N1"));
    EXPECT_EQ(ds->FieldValues("Id;Age"), VarArrayOf({1, 10}));
    ds->Edit();
    ds->SetFieldValues("Name;Age", VarArrayOf({"New", 5}));
    EXPECT_EQ(ds->GetFieldValue("Age"), Variant(5));
    EXPECT_THROW(ds->SetFieldValues("Name;Age", VarArrayOf({"x"})), EDatabaseError);
    EXPECT_THROW(ds->SetFieldValues("Name;Age", "x"), EDatabaseError);
    EXPECT_THROW(ds->FieldValues(""), EDatabaseError);
    EXPECT_THROW(ds->Fields()[3], EDatabaseError);
    // OnChange follows the user's edits only.
    ds->Post();
    std::vector<std::string> changes;
    ds->FieldByName("Name")->OnChange = [&](TField* f) { changes.push_back(f->AsString()); };
    ds->Edit();
    ds->FieldByName("Name")->SetAsString("A");
    ds->FieldByName("Age")->SetAsInteger(1);
    ds->Post();
    ds->Next();
    ds->Last();
    EXPECT_EQ(changes, (std::vector<std::string>{"A"}));
}

TEST(PersistentFields, BindToDefinitionsReadWhileClosedAndOutliveTheirDataset) {
    TComponent form;
    auto ds = std::make_unique<TMemDataSet>(PeopleColumns());
    ds->FieldDefs().Update();
    ASSERT_EQ(ds->FieldDefs().Count(), 3);
    EXPECT_EQ(ds->FieldDefs()[2].FieldNo(), 3);
    EXPECT_EQ(ds->FieldDefs().Find("age").DataType(), ftSmallint);
    EXPECT_THROW(ds->FieldDefs().Find("x"), EDatabaseError);
    EXPECT_THROW(ds->FieldDefs().Add("ID", ftInteger), EDatabaseError);
    EXPECT_THROW(ds->FieldDefs().Add("X", ftString, -1), EDatabaseError);
    EXPECT_THROW(ds->FieldDefs().Add("", ftString, 1), EDatabaseError);
    TFieldDef unknown(nullptr, "U", ftUnknown, 0, false, 9);
    EXPECT_THROW(unknown.CreateField(nullptr), EDatabaseError);
    EXPECT_EQ(ds->FieldCount(), 0) << "reading the definitions makes no fields";
    auto add = [&](TField* f, const char* name) {
        f->SetFieldName(name);
        f->SetDataSet(ds.get());
        return f;
    };
    TField* id = add(new TIntegerField(&form), "Id");
    ds->Open();
    EXPECT_FALSE(ds->DefaultFields());
    EXPECT_EQ(ds->FieldCount(), 1) << "only the persistent field";
    EXPECT_EQ(id->FieldNo(), 1);
    EXPECT_THROW(id->SetFieldName("Age"), EDatabaseError) << "not while open";
    EXPECT_THROW(id->SetDataSet(nullptr), EDatabaseError);
    ds->AppendRecord({3});
    EXPECT_EQ(id->AsInteger(), 3);
    ds->Close();
    EXPECT_EQ(ds->FieldCount(), 1) << "persistent fields stay after closing";

    TField* wrongType = add(new TStringField(&form), "Age");
    EXPECT_THROW(ds->Open(), EDatabaseError);
    EXPECT_FALSE(ds->Active());
    delete wrongType;
    EXPECT_EQ(ds->FieldCount(), 1) << "a destroyed field leaves its dataset";

    auto* wrongSize = new TStringField(&form);
    wrongSize->SetSize(10);
    add(wrongSize, "Name");
    EXPECT_NE(ErrorOf([&] { ds->Open(); }).find("Size mismatch for field 'Name', expecting: 20 actual: 10"),
              std::string::npos);
    wrongSize->SetDataSet(nullptr);
    TField* missing = add(new TIntegerField(&form), "Nope");
    EXPECT_THROW(ds->Open(), EDatabaseError);
    missing->SetDataSet(nullptr);
    EXPECT_THROW(add(new TIntegerField(&form), "ID"), EDatabaseError) << "a second field of one name";

    ds.reset();
    EXPECT_EQ(id->DataSet(), nullptr);
    EXPECT_THROW(id->AsInteger(), EDatabaseError);
}

} // namespace
} // namespace btr::test
