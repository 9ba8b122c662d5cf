// Field values from text and back, as the programs take them from users and
// show them: every value a user gives is stored only when it reads back as
// what the user said.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dataset/btrset.h"

namespace btr::apps {

// A whole number, or std::runtime_error saying the text is not `what`.
int ParseInt(const std::string& text, const std::string& what);

// 1/0, yes/no, true/false, y/n, t/f in any case; nullopt for anything else.
std::optional<bool> ParseBoolean(std::string_view text);

// True when the bytes are well-formed UTF-8.
bool ValidUtf8(std::string_view text);

// The fewest digits that read back as the same double: plain digits for
// 1e-7 <= |v| < 1e21, an exponent outside.
std::string FloatText(double v);
void FloatTextTo(double v, std::string& out);

// A number in one spelling per value ("+012.50" and "12.5e0" give the same),
// for comparing numbers written differently; nullopt when the text is no
// plain decimal number.
std::optional<std::string> CanonicalNumber(std::string_view text);

// The dictionary type (btDecimal ...) of a stored field of a TBDataSet; 0 for
// others.
int32_t DictType(const TField& field);

// A field's value as text: floats with as many digits as read back the same
// value, everything else as the field gives it (UTF-8).
std::string FieldText(const TField& field);
// The same into a string the caller reuses (an export writes every value).
void FieldTextTo(const TField& field, std::string& out);

// What a value is, for typed output (JSON) and for aligning columns.
enum class ValueKind { Text, Number, Boolean, Null };
struct Cell {
    std::string text;
    ValueKind kind = ValueKind::Text;
};
Cell FieldCell(const TField& field);
void FieldCellTo(const TField& field, Cell& cell);
// Numbers, booleans, dates and times: true for fields shown right-aligned.
bool IsNumeric(const TField& field);

// What setting a field from text did.
struct Stored {
    bool same = true;  // the field reads back as the text says
    std::string as;    // the value as it reads back, when not the same
    std::string why;   // a short reason ("a Decimal holds whole numbers"), may be empty
    // `"12.99" would be stored as "12" (a Decimal holds whole numbers)`
    std::string Describe(std::string_view text) const;
};

// Sets `field` (in edit or insert state) from `text` and reads it back.
// Raises what the field raises for text that is no value of its type (and
// for values out of its range); otherwise the field holds the value and the
// result says whether it is what the text says. Empty text clears the field.
Stored SetFieldText(TField& field, std::string_view text);

// A value for a field from its text: numbers for numeric fields, dates as
// YYYY-MM-DD (or DD.MM.YYYY), times as HH:MM[:SS], booleans as ParseBoolean
// reads them, text otherwise.
Variant ValueFromText(const TField& field, const std::string& text);
// A range over the current key's leading segments, one text per segment.
void SetRangeFromText(TBDataSet& ds, const std::vector<std::string>& from, const std::vector<std::string>& to);

std::vector<std::string> FieldNames(TBDataSet& ds);
std::vector<Cell> FieldCells(TBDataSet& ds);
// Every field's cell into cells, whose strings are reused row after row.
void FieldCells(TBDataSet& ds, std::vector<Cell>& cells);

} // namespace btr::apps
