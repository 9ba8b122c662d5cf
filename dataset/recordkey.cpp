#include "dataset/recordkey.h"

#include <array>

#include "dictionary/dictcache.h"
#include "engine/btrfile.h"
#include "platform/format.h"

namespace btr {

TRecordKey::TRecordKey(const TBtrieveFile& File, int Number, const TBKeyList& Keys, const TBFieldList& Fields,
                       uint16_t RecordSize, const std::string& FileName)
    : FNumber(Number), FCollation(File.CollatingTable()) {
    // The dictionary's segments of this key, in order.
    std::vector<const TBKey*> named;
    for (const auto& k : Keys)
        if (k->Number == Number) named.push_back(k.get());
    for (int s = File.KeyStart(Number); s > 0 && s <= File.SegmentCnt(); ++s) {
        const KeyDef& d = File.KeyList(s);
        Segment seg;
        seg.seg = KeySegment{d.KeyPos, d.KeyLen, d.KeyFlags, d.KeyType, d.NullValue};
        const size_t i = FSegments.size();
        const TBField* field = i < named.size() ? Fields.FindFieldExact(named[i]->Name) : nullptr;
        const int64_t ofs = field ? field->BegOfs : int64_t(d.KeyPos) - 1;
        if (field) seg.field = field->Name;
        if (ofs < 0 || ofs + d.KeyLen > RecordSize)
            throw EBtrieve(Format("Key %d of \"%s\": its segment %d (%s, %d bytes) reaches past the %d-byte record",
                                  {Number, FileName, int(i + 1), field ? field->Name : std::string("no field"),
                                   int(d.KeyLen), int(RecordSize)}));
        seg.ofs = static_cast<uint16_t>(ofs);
        FSegments.push_back(std::move(seg));
        if (!(d.KeyFlags & kfSegmented)) break;
    }
}

void TRecordKey::Make(TBtrieveFile& File, const uint8_t* Image, size_t Named, bool Largest) const {
    // Every segment's bytes end to end fit the engine's 255-byte key.
    std::array<uint8_t, 256> extremes;
    std::vector<const void*> values;
    values.reserve(FSegments.size());
    size_t at = 0;
    for (size_t i = 0; i < FSegments.size(); ++i) {
        const Segment& s = FSegments[i];
        if (i < Named || at + s.seg.len > extremes.size()) {
            values.push_back(Image + s.ofs);
            continue;
        }
        SegmentExtreme(s.seg, Largest, FCollation, extremes.data() + at);
        values.push_back(extremes.data() + at);
        at += s.seg.len;
    }
    File.MakeKey(values);
}

void TRecordKey::Encode(const uint8_t* Image, size_t N, std::string& Out) const {
    Out.clear();
    for (size_t i = 0; i < N && i < FSegments.size(); ++i)
        EncodeSegment(Out, FSegments[i].seg, Image + FSegments[i].ofs, FCollation);
}

} // namespace btr
