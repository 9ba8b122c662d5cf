// TRecordKey: one key of an open Btrieve file laid over the dataset's record
// image. Its segments are the file's own (type, flags and length from the
// file's statistics); the dictionary only says which field each segment
// covers. Every keyed read and every range test of the dataset builds and
// compares keys through it, so they all see the order the engine keeps.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/keyorder.h"

namespace btr {

class TBtrieveFile;
class TBKeyList;
class TBFieldList;

class TRecordKey {
public:
    // Key `Number` of the open `File`, over a record image of `RecordSize`
    // bytes. A segment the dictionary names is read at its field's offset,
    // any other at the file's own position. Raises EBtrieve, naming the key
    // and the field, when a segment would reach past the record image.
    TRecordKey(const TBtrieveFile& File, int Number, const TBKeyList& Keys, const TBFieldList& Fields,
               uint16_t RecordSize, const std::string& FileName);

    int Number() const { return FNumber; }
    size_t Count() const { return FSegments.size(); }
    // The dictionary field segment i covers; empty when the dictionary names none.
    const std::string& FieldName(size_t i) const { return FSegments[i].field; }

    // Puts the engine key into File's key buffer: the first `Named` segments
    // from `Image`, the others at their smallest (or, with `Largest`, their
    // largest) value in key order.
    void Make(TBtrieveFile& File, const uint8_t* Image, size_t Named, bool Largest) const;
    // The ordered bytes of the first `N` segments of `Image`: two images
    // compare as their keys' leading segments do in the engine.
    void Encode(const uint8_t* Image, size_t N, std::string& Out) const;

private:
    struct Segment {
        KeySegment seg;
        uint16_t ofs = 0; // in the record image
        std::string field;
    };
    int FNumber;
    std::vector<Segment> FSegments;
    const uint8_t* FCollation; // the file object's table, or null
};

} // namespace btr
