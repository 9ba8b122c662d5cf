// Field values from text and back, as the programs take them from users.
#pragma once

#include <string>
#include <vector>

#include "dataset/btrset.h"

namespace btr::apps {

// A whole number, or std::runtime_error saying the text is not `what`.
int ParseInt(const std::string& text, const std::string& what);

// A value for a field from its text: numbers for numeric fields, dates as
// YYYY-MM-DD, times as HH:MM[:SS], text otherwise.
Variant ValueFromText(const TField& field, const std::string& text);
// A range over the current key's leading segments, one text per segment.
void SetRangeFromText(TBDataSet& ds, const std::vector<std::string>& from, const std::vector<std::string>& to);

std::vector<std::string> FieldNames(TBDataSet& ds);
std::vector<std::string> FieldTexts(TBDataSet& ds); // UTF-8

} // namespace btr::apps
