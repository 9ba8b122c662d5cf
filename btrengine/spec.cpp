// The create buffer as a file keeps it: header, segments, collating sequence.
#include "btrengine/store.h"

namespace btr::engine {

namespace {

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
void Put16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

} // namespace

// Stored form: the create buffer's header and segments, then the
// collating sequence when there is one.
std::vector<uint8_t> Spec::Serialize() const {
    std::vector<uint8_t> b;
    Put16(b, recordLen);
    Put16(b, pageSize);
    Put16(b, static_cast<uint16_t>(keys.size()));
    b.insert(b.end(), 4, 0);
    Put16(b, fileFlags);
    b.push_back(dupPointers);
    b.push_back(0);
    Put16(b, freePages);
    for (const Segment& s : segments) {
        Put16(b, s.pos);
        Put16(b, s.len);
        Put16(b, s.flags);
        b.insert(b.end(), 4, 0);
        b.push_back(s.type);
        b.push_back(s.nullValue);
        b.insert(b.end(), 4, 0);
    }
    b.insert(b.end(), acs.begin(), acs.end());
    return b;
}

bool Spec::Parse(const uint8_t* p, size_t n, Spec& out) {
    if (n < 16) return false;
    out = Spec{};
    out.recordLen = Get16(p);
    out.pageSize = Get16(p + 2);
    const uint16_t nkeys = Get16(p + 4);
    out.fileFlags = Get16(p + 10);
    out.dupPointers = p[12];
    out.freePages = Get16(p + 14);
    size_t at = 16;
    for (uint16_t k = 0; k < nkeys; ++k) {
        Key key;
        for (;;) {
            if (at + 16 > n || out.segments.size() >= 119) return false;
            Segment s{Get16(p + at), Get16(p + at + 2), Get16(p + at + 4), p[at + 10], p[at + 11]};
            at += 16;
            out.segments.push_back(s);
            key.segments.push_back(s);
            if (!(s.flags & kfSegmented)) break;
        }
        out.keys.push_back(std::move(key));
    }
    if (n >= at + 265 && p[at] == 0xAC) out.acs.assign(p + at, p + at + 265);
    return true;
}

} // namespace btr::engine
