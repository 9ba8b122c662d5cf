// A local file's database, looked at or changed behind the engine's back
// (only while no connection of this process has it open: a second one,
// closed again, would drop the locks of the others).
#pragma once

#include <sqlite3.h>

#include <string>

namespace btr::test {

// Runs SQL on the database; true when it ran.
inline bool Tamper(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK && sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    return sqlite3_close(db) == SQLITE_OK && ok;
}

// The first value a query answers, as text ("" for none or NULL; "error"
// when it fails), of a file that no process has open (read as it stands,
// nothing made beside it).
inline std::string Peek(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    std::string value = "error";
    sqlite3_stmt* st = nullptr;
    if (sqlite3_open_v2(("file:" + path + "?immutable=1").c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI,
                        nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK) {
        const int rc = sqlite3_step(st);
        const unsigned char* text = rc == SQLITE_ROW ? sqlite3_column_text(st, 0) : nullptr;
        value = rc == SQLITE_ROW || rc == SQLITE_DONE ? (text ? reinterpret_cast<const char*>(text) : "") : "error";
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return value;
}

// What an older file lacks: the record counter kept beside the records.
constexpr const char* kDropCounter =
    "DROP TRIGGER reccount_insert; DROP TRIGGER reccount_delete; DROP TABLE reccount";

// The counter's count beside the records' ("n/count"), "" without a counter.
inline std::string CounterAndCount(const std::string& path) {
    const std::string objects = Peek(path, "SELECT count(*) FROM sqlite_master WHERE name LIKE 'reccount%'");
    if (objects != "3") return objects == "0" ? "" : "damaged";
    return Peek(path, "SELECT (SELECT n FROM reccount WHERE id=1) || '/' || (SELECT count(*) FROM rec)");
}

} // namespace btr::test
