// btrtool demo DIR: a dictionary, a master and a detail file with generated
// records, and a short tour of them.
#include <cstdio>
#include <filesystem>
#include <random>

#include "apps/btrtool/cli.h"
#include "apps/common/dictionary.h"
#include "apps/btrtool/records.h"
#include "framework/datetime.h"

namespace btr::tool {

using namespace btr::apps;

namespace {

// Draws in a fixed order (not inside one expression, whose order the
// compiler picks), so every build generates the same data.
int Draw(std::mt19937& rng, int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); }

TDateTime DrawDate(std::mt19937& rng, int fromYear, int years) {
    const int y = fromYear + Draw(rng, years);
    const int m = 1 + Draw(rng, 12);
    const int d = 1 + Draw(rng, 28);
    return EncodeDate(y, m, d);
}

// Names in 1251 (ZString(WIN)), towns in 866 (ZString(DOS)); the dataset
// converts both to and from UTF-8.
const char* kDescription = R"(file CLIENTS.DAT page=2048
field Code Longint
field Name ZString(WIN) 31
field Town ZString(DOS) 21
field Since Date
field Balance Decimal 8
key Code
key Town+Name dup mod nocase

file ORDERS.DAT page=2048 variable
field Number Longint
field Client Longint
field Placed Date
field Amount RS float
field Note MEMO
key Number
key Client+Placed dup
)";

const char* kSurnames[] = {"Иванов", "Петров", "Сидоров", "Кузнецов", "Смирнов", "Попов", "Волков",
                           "Соколов", "Лебедев", "Новиков", "Морозов", "Орлов", "Зайцев", "Павлов"};
const char* kInitials[] = {"А.", "Б.", "В.", "Г.", "Д.", "Е.", "Ж.", "И.", "К.", "Л."};
const char* kTowns[] = {"Москва", "Тула", "Казань", "Самара", "Омск", "Пермь", "Тверь", "Курск"};
const char* kNotes[] = {"Доставка курьером до двери.", "Оплата при получении; позвонить за час.",
                        "Самовывоз со склада на ул. Ленина, 5.", "Срочно! Упаковать в плёнку."};

constexpr int kClients = 1000;
constexpr int kOrders = 4000;

void MakeDictionary(const std::string& dictPath, const std::string& dir) {
    TDictFile dict(dictPath);
    dict.CreateFile();
    dict.SetActive(true);
    for (const FileEntry& f : ParseDescription(kDescription)) WriteFile(dict, f);
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    try {
        dict.CreateFile("CLIENTS.DAT");
        dict.CreateFile("ORDERS.DAT");
    } catch (...) {
        std::filesystem::current_path(cwd);
        throw;
    }
    std::filesystem::current_path(cwd);
}

void FillClients(TBDataSet& ds, std::mt19937& rng, Progress& bar) {
    EngineTransaction tx;
    for (int code = 1; code <= kClients; ++code) {
        ds.Append();
        ds.FieldByName("Code")->SetAsInteger(code);
        const std::string surname = kSurnames[Draw(rng, std::size(kSurnames))];
        const std::string initial = kInitials[Draw(rng, std::size(kInitials))];
        ds.FieldByName("Name")->SetAsString(surname + " " + initial);
        ds.FieldByName("Town")->SetAsString(kTowns[Draw(rng, std::size(kTowns))]);
        ds.FieldByName("Since")->SetAsDateTime(DrawDate(rng, 2000, 25));
        ds.FieldByName("Balance")->SetAsInteger(Draw(rng, 200000) - 50000); // whole roubles
        ds.Post();
        bar.Step();
    }
    tx.Commit();
}

void FillOrders(TBDataSet& ds, std::mt19937& rng, Progress& bar) {
    EngineTransaction tx;
    for (int number = 1; number <= kOrders; ++number) {
        ds.Append();
        ds.FieldByName("Number")->SetAsInteger(number);
        ds.FieldByName("Client")->SetAsInteger(1 + Draw(rng, kClients));
        ds.FieldByName("Placed")->SetAsDateTime(DrawDate(rng, 2024, 3));
        ds.FieldByName("Amount")->SetAsFloat(Draw(rng, 10000000) / 10000.0);
        // A memo: its text goes into the record's variable part.
        if (number % 3 == 0) ds.FieldByName("Note")->SetAsString(kNotes[Draw(rng, std::size(kNotes))]);
        ds.Post();
        bar.Step();
    }
    tx.Commit();
}

int Demo(const Args& a) {
    a.Expect(1, 1, {"yes"});
    const std::filesystem::path dir = std::filesystem::absolute(a.At(0, "DIR"));
    std::filesystem::create_directories(dir);
    const std::string dict = (dir / "DEMO.DIC").string();
    // One question for the whole demo rather than one per file.
    bool exists = false;
    for (const char* name : {"DEMO.DIC", "CLIENTS.DAT", "ORDERS.DAT"}) exists = exists || std::filesystem::exists(dir / name);
    if (exists && !Ask("replace the demo files in " + dir.string() + " (DEMO.DIC, CLIENTS.DAT, ORDERS.DAT)?"))
        throw std::runtime_error(dir.string() + " holds demo files, left as they were (--yes replaces them)");
    AgreeSilently(); // the library's questions about the same files
    MakeDictionary(dict, dir.string());
    std::printf("Created %s with CLIENTS.DAT and ORDERS.DAT in %s\n", std::filesystem::path(dict).filename().c_str(),
                dir.c_str());

    std::mt19937 rng(20261206);
    TBDataSet clients, orders;
    OpenDataSet(clients, dict, (dir / "CLIENTS.DAT").string(), std::nullopt, std::nullopt);
    OpenDataSet(orders, dict, (dir / "ORDERS.DAT").string(), std::nullopt, std::nullopt);
    {
        Progress bar("generating", kClients + kOrders);
        FillClients(clients, rng, bar);
        FillOrders(orders, rng, bar);
    }
    std::printf("CLIENTS.DAT: %d records, ORDERS.DAT: %d records\n\n", clients.DataFile()->NumberOfRecords(),
                orders.DataFile()->NumberOfRecords());

    std::printf("Clients 1-5 (key 0, a range on Code):\n");
    clients.SetRange({Variant(1)}, {Variant(5)});
    auto table = MakeWriter("table", stdout);
    table->Header(FieldNames(clients));
    for (clients.First(); !clients.Eof(); clients.Next()) table->Row(FieldCells(clients));
    table->End();

    std::printf("\nOrders of client 7 (key 1: Client, Placed), with the client's name looked up:\n");
    orders.Close();
    orders.SetKeyPath(1);
    orders.Open();
    orders.SetRange({Variant(7)}, {Variant(7)});
    const Variant name = clients.Lookup("Code", Variant(7), "Name");
    const Variant town = clients.Lookup("Code", Variant(7), "Town");
    std::printf("client 7: %s, %s\n", name.AsString().c_str(), town.AsString().c_str());
    table = MakeWriter("table", stdout);
    table->Header({"Number", "Placed", "Amount"});
    for (orders.First(); !orders.Eof(); orders.Next())
        table->Row({FieldCell(*orders.FieldByName("Number")), FieldCell(*orders.FieldByName("Placed")),
                    FieldCell(*orders.FieldByName("Amount"))});
    table->End();

    std::printf("\nFirst client in Тула by key 1 (Town, Name), found by Locate:\n");
    clients.Close();
    clients.SetIndexFields("Town;Name");
    clients.Open();
    if (clients.Locate("Town", Variant("Тула"), {})) {
        table = MakeWriter("table", stdout);
        table->Header(FieldNames(clients));
        table->Row(FieldCells(clients));
        table->End();
    }
    std::printf("\nTry: btrtool dict show %s ORDERS.DAT\n     btrtool browse %s %s --key 1 --from Казань --limit 5\n",
                dict.c_str(), dict.c_str(), (dir / "CLIENTS.DAT").c_str());
    return 0;
}

const RegisterCommand kDemo({"demo", "DIR",
                             "Creates a dictionary and two related files (clients and their orders, Cyrillic text in "
                             "code pages 866 and 1251, dates, decimals, memos) in DIR, fills them and shows a few "
                             "reads. An existing demo in DIR is replaced only when you agree (--yes agrees).",
                             {"yes"},
                             Demo});

} // namespace

} // namespace btr::tool
