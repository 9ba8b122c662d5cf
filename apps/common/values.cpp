#include "apps/common/values.h"

#include <cstdio>
#include <stdexcept>

#include "framework/datetime.h"

namespace btr::apps {

int ParseInt(const std::string& text, const std::string& what) {
    try {
        size_t used = 0;
        const int v = std::stoi(text, &used);
        if (used == text.size()) return v;
    } catch (const std::exception&) {
    }
    throw std::runtime_error("\"" + text + "\" is not " + what);
}

Variant ValueFromText(const TField& field, const std::string& text) {
    switch (field.DataType()) {
    case ftSmallint: case ftInteger: case ftWord:
        return Variant(static_cast<long long>(ParseInt(text, "a whole number for " + field.FieldName())));
    case ftFloat:
        try {
            size_t used = 0;
            const double v = std::stod(text, &used);
            if (used == text.size()) return Variant(v);
        } catch (const std::exception&) {
        }
        throw std::runtime_error("\"" + text + "\" is not a number for " + field.FieldName());
    case ftBoolean: return Variant(text == "1" || text == "true" || text == "True" || text == "yes");
    case ftDate: {
        int y = 0, m = 0, d = 0;
        char tail = 0;
        TDateTime date = 0;
        if (std::sscanf(text.c_str(), "%d-%d-%d%c", &y, &m, &d, &tail) != 3 || !TryEncodeDate(y, m, d, date))
            throw std::runtime_error("\"" + text + "\" is not a date (YYYY-MM-DD) for " + field.FieldName());
        return Variant::FromDateTime(date);
    }
    case ftTime: {
        int h = 0, mi = 0, s = 0;
        TDateTime time = 0;
        const int n = std::sscanf(text.c_str(), "%d:%d:%d", &h, &mi, &s);
        if (n < 2 || !TryEncodeTime(h, mi, s, 0, time))
            throw std::runtime_error("\"" + text + "\" is not a time (HH:MM[:SS]) for " + field.FieldName());
        return Variant::FromDateTime(time);
    }
    default: return Variant(text);
    }
}

void SetRangeFromText(TBDataSet& ds, const std::vector<std::string>& from, const std::vector<std::string>& to) {
    const int32_t path = ds.DataFile()->KeyPath();
    std::vector<const TField*> segments;
    for (const auto& k : *ds.DictKeys())
        if (k->Number == path) segments.push_back(ds.FieldByName(k->Name));
    auto values = [&](const std::vector<std::string>& texts) {
        if (texts.size() > segments.size())
            throw std::runtime_error(std::to_string(texts.size()) + " values for a key of " + std::to_string(segments.size()) +
                             " segment(s)");
        std::vector<Variant> out;
        for (size_t i = 0; i < texts.size(); ++i) out.push_back(ValueFromText(*segments[i], texts[i]));
        return out;
    };
    ds.SetRange(values(from), values(to));
}

std::vector<std::string> FieldNames(TBDataSet& ds) {
    std::vector<std::string> out;
    for (int i = 0; i < ds.FieldCount(); ++i) out.push_back(ds.Fields()[i]->FieldName());
    return out;
}

std::vector<std::string> FieldTexts(TBDataSet& ds) {
    std::vector<std::string> out;
    for (int i = 0; i < ds.FieldCount(); ++i) out.push_back(ds.Fields()[i]->AsString());
    return out;
}

} // namespace btr::apps
