// Partial records (chunks) and extended reads: the operations that carry a
// request structure in the data buffer.
#include <algorithm>
#include <vector>

#include "btrengine/state.h"

namespace btr::engine {

namespace {

constexpr uint32_t kRandomChunks = 0x80000000u;
constexpr uint32_t kDirectChunks = 0x80000001u;
constexpr uint32_t kNextInRecord = 0x40000000u;
constexpr uint32_t kTruncate = 0x80000004u;

// One chunk of a descriptor, offsets already made absolute.
struct Chunk {
    uint32_t offset = 0, length = 0;
    uint64_t address = 0;
};

// Reads `count` chunk entries at `at`; next-in-record offsets count from the
// end of the chunk before.
std::vector<Chunk> ParseChunks(const uint8_t* p, size_t size, size_t at, uint32_t sub, uint32_t count) {
    const uint32_t base = sub & ~kNextInRecord;
    if (base != kRandomChunks && base != kDirectChunks) Fail(62);
    const size_t each = base == kDirectChunks ? 16 : 8;
    if (count == 0 || count > (size - at) / each) Fail(62);
    std::vector<Chunk> chunks(count);
    uint64_t end = 0;
    for (uint32_t i = 0; i < count; ++i, at += each) {
        Chunk& ch = chunks[i];
        const uint64_t offset = Get32(p + at) + ((sub & kNextInRecord) && i > 0 ? end : 0);
        if (offset > UINT32_MAX) Fail(62);
        ch.offset = static_cast<uint32_t>(offset);
        ch.length = Get32(p + at + 4);
        if (base == kDirectChunks) {
            ch.address = Get64(p + at + 8);
            if (!ch.address && ch.length) Fail(62);
        }
        end = uint64_t{ch.offset} + ch.length;
    }
    return chunks;
}

void* Address(uint64_t a) { return reinterpret_cast<void*>(static_cast<uintptr_t>(a)); }

} // namespace

// Get direct / chunk: position (4), subfunction (4), count (4), chunks.
int GetChunks(const Call& c, Handle& h) {
    if (!c.HasData(12)) Fail(62);
    const size_t cap = static_cast<size_t>(*c.dataLen);
    const uint32_t pos = Get32(c.data), sub = Get32(c.data + 4), count = Get32(c.data + 8);
    const std::vector<Chunk> chunks = ParseChunks(c.data, cap, 12, sub, count);
    const bool direct = (sub & ~kNextInRecord) == kDirectChunks;
    auto row = ReadRecord(h, pos);
    if (!row) Fail(43);
    const std::string& rec = row->data;
    std::string out;
    uint64_t transferred = 0;
    for (size_t i = 0; i < chunks.size(); ++i) {
        const Chunk& ch = chunks[i];
        if (ch.offset >= rec.size()) {
            if (i == 0) Fail(103);
            break;
        }
        const size_t n = std::min<size_t>(ch.length, rec.size() - ch.offset); // cut short at the end
        if (direct) std::memcpy(Address(ch.address), rec.data() + ch.offset, n);
        else out.append(rec, ch.offset, n);
        transferred += n;
        if (n < ch.length) break;
    }
    int status = 0;
    if (!direct) {
        if (out.size() > cap) {
            out.resize(cap);
            status = 22;
        }
        std::memcpy(c.data, out.data(), out.size());
        transferred = out.size();
    }
    c.Returned(static_cast<int32_t>(std::min<uint64_t>(transferred, INT32_MAX)));
    return status;
}

// Update chunk on the current record: subfunction (4), then either a count
// and chunks, or for truncation the offset to cut at.
int UpdateChunks(const Call& c, Handle& h) {
    if (!c.HasData(8)) Fail(62);
    const size_t cap = static_cast<size_t>(*c.dataLen);
    const uint32_t sub = Get32(c.data);
    Changing changing(h);
    const uint16_t fixed = h.file->spec.recordLen;
    Rewrite(h, changing, [&](const std::string& old) {
        std::string rec = old;
        if (sub == kTruncate) {
            const int32_t at = static_cast<int32_t>(Get32(c.data + 4));
            if (at < fixed) Fail(28);
            if (static_cast<size_t>(at) < rec.size()) rec.resize(static_cast<size_t>(at));
            return rec;
        }
        const std::vector<Chunk> chunks = ParseChunks(c.data, cap, 8, sub, Get32(c.data + 4));
        const bool direct = (sub & ~kNextInRecord) == kDirectChunks;
        size_t inline_ = 8 + chunks.size() * (direct ? 16 : 8); // where the data follows the descriptor
        for (const Chunk& ch : chunks) {
            if (ch.offset > rec.size()) Fail(103); // it would leave a gap
            const uint64_t end = uint64_t{ch.offset} + ch.length;
            if (end > rec.size() && !h.file->spec.VariableLength()) Fail(103);
            if (end > INT32_MAX) Fail(62);
            const uint8_t* src;
            if (direct) {
                src = static_cast<const uint8_t*>(Address(ch.address));
            } else {
                if (ch.length > cap - inline_) Fail(62);
                src = c.data + inline_;
                inline_ += ch.length;
            }
            if (end > rec.size()) rec.resize(static_cast<size_t>(end));
            if (ch.length) std::memcpy(rec.data() + ch.offset, src, ch.length);
        }
        return rec;
    });
    return 0;
}

// ---- extended reads --------------------------------------------------------------

namespace {

struct Term {
    uint8_t type = 0;
    uint16_t len = 0, offset = 0;
    uint8_t comp = 0, connector = 0;
    uint16_t otherOffset = 0;
    std::string value;
};

struct Request {
    bool current = false; // "UC": the current record is examined first
    uint16_t maxReject = 0, maxRecords = 0;
    std::vector<Term> terms;
    std::vector<std::pair<uint16_t, uint16_t>> fields; // length, offset
};

Request ParseRequest(const uint8_t* p, size_t cap) {
    auto need = [cap](size_t at, size_t n) {
        if (at + n > cap) Fail(62);
    };
    need(0, 8);
    const size_t total = Get16(p);
    if (total > cap || total < 12) Fail(62);
    Request r;
    r.current = p[2] == 'U' && p[3] == 'C';
    if (!r.current && !(p[2] == 'E' && p[3] == 'G')) Fail(62);
    r.maxReject = Get16(p + 4);
    const uint16_t nterms = Get16(p + 6);
    size_t at = 8;
    for (uint16_t i = 0; i < nterms; ++i) {
        need(at, 7);
        Term t;
        t.type = p[at];
        t.len = Get16(p + at + 1);
        t.offset = Get16(p + at + 3);
        t.comp = p[at + 5];
        t.connector = p[at + 6];
        at += 7;
        const int op = t.comp & 0x1F;
        if (!ValidTypeLength(t.type, t.len) || t.len > 255 || op < 1 || op > 6 || t.connector > 2) Fail(62);
        if ((t.connector == 0) != (i + 1 == nterms)) Fail(62);
        if (t.comp & 64) {
            need(at, 2);
            t.otherOffset = Get16(p + at);
            at += 2;
        } else {
            need(at, t.len);
            t.value.assign(reinterpret_cast<const char*>(p + at), t.len);
            at += t.len;
        }
        r.terms.push_back(std::move(t));
    }
    need(at, 4);
    r.maxRecords = Get16(p + at);
    const uint16_t nfields = Get16(p + at + 2);
    at += 4;
    for (uint16_t i = 0; i < nfields; ++i) {
        need(at, 4);
        r.fields.emplace_back(Get16(p + at), Get16(p + at + 2));
        at += 4;
    }
    return r;
}

int CompareField(const Term& t, const uint8_t* a, const uint8_t* b, const uint8_t* acs) {
    Key key;
    const auto flags = static_cast<uint16_t>(kfExtType | ((t.comp & 32) ? kfAltCol : 0) | ((t.comp & 128) ? kfNoCase : 0));
    key.segments.push_back(Segment{1, t.len, flags, t.type, 0});
    return EncodeValue(key, a, acs).compare(EncodeValue(key, b, acs));
}

// Terms in strict left-to-right order: true before "or" accepts, false
// before "and" rejects, otherwise the next term decides.
bool Matches(const std::vector<Term>& terms, const std::string& rec, const uint8_t* acs) {
    bool value = true;
    for (const Term& t : terms) {
        const auto* base = reinterpret_cast<const uint8_t*>(rec.data());
        const bool inside = size_t{t.offset} + t.len <= rec.size() &&
                            (!(t.comp & 64) || size_t{t.otherOffset} + t.len <= rec.size());
        value = false;
        if (inside) {
            const uint8_t* b = (t.comp & 64) ? base + t.otherOffset : reinterpret_cast<const uint8_t*>(t.value.data());
            const int cmp = CompareField(t, base + t.offset, b, acs);
            switch (t.comp & 0x1F) {
            case 1: value = cmp == 0; break;
            case 2: value = cmp > 0; break;
            case 3: value = cmp < 0; break;
            case 4: value = cmp != 0; break;
            case 5: value = cmp >= 0; break;
            default: value = cmp <= 0; break;
            }
        }
        if (value && t.connector == 2) return true;
        if (!value && t.connector == 1) return false;
    }
    return value;
}

// Where a handle stands, to step back when a record does not fit.
struct Place {
    bool logical;
    std::string kv;
    int64_t seq;
    uint32_t pos, ppos, lpos;
    int64_t version;
    std::string image;
};

Place PlaceOf(const Handle& h) { return Place{h.logical, h.kv, h.seq, h.pos, h.ppos, h.lpos, h.version, h.image}; }
void Restore(Handle& h, const Place& p) {
    h.DropCursor();
    h.logical = p.logical;
    h.kv = p.kv;
    h.seq = p.seq;
    h.pos = p.pos;
    h.ppos = p.ppos;
    h.lpos = p.lpos;
    h.version = p.version;
    h.image = p.image;
}

} // namespace

int Extended(const Call& c, Handle& h, int op) {
    if (!c.data || !c.dataLen) Fail(22);
    const size_t cap = static_cast<size_t>(c.Capacity());
    const Request r = ParseRequest(c.data, cap);
    const bool physical = op >= 38;
    const bool forward = op == 36 || op == 38;
    const int path = physical ? -1 : c.keyNum;
    if (!physical) {
        if (path >= static_cast<int>(h.file->spec.keys.size())) Fail(6);
        if (!h.logical) Fail(8);
        if (h.keyNum != path) Fail(7);
    } else if (!h.ppos) {
        Fail(8);
    }
    std::string answer(2, '\0');
    uint16_t found = 0, rejected = 0;
    std::chrono::steady_clock::time_point deadline{}; // of the lock waits, set by the first
    int status = 0;
    bool first = true;
    for (;;) {
        const Place before = PlaceOf(h);
        const bool wasFirst = first;
        const uint64_t seen = c.bias ? h.Changes() : 0;
        Row row;
        if (first && r.current && h.pos) {
            auto cur = ReadRecord(h, h.pos);
            if (!cur) Fail(8);
            row = std::move(*cur);
            row.kv = h.kv;
            row.seq = h.seq;
        } else if (!Advance(h, path, forward, row)) {
            status = 9;
            break;
        }
        first = false;
        if (physical) {
            h.pos = h.ppos = row.pos;
            h.version = row.version;
            h.image = row.data;
            h.logical = false;
        } else {
            SetLogical(h, row, path);
        }
        if (!Matches(r.terms, row.data, h.file->spec.AcsTable())) {
            if (r.maxReject && ++rejected >= r.maxReject) {
                status = 60;
                break;
            }
            continue;
        }
        std::string extracted;
        for (auto [len, off] : r.fields) {
            if (size_t{off} + len > row.data.size()) {
                const size_t have = off < row.data.size() ? row.data.size() - off : 0;
                extracted.append(row.data, std::min<size_t>(off, row.data.size()), have);
                extracted.append(len - have, '\0');
            } else {
                extracted.append(row.data, off, len);
            }
        }
        if (answer.size() + 6 + extracted.size() > cap || extracted.size() > UINT16_MAX) {
            Restore(h, before); // not examined: the next read starts with it
            status = found ? 0 : 97;
            break;
        }
        if (c.bias) {
            try {
                if (TakeLock(c, h, row.pos, deadline) || h.Changes() != seen) {
                    // The record may have changed since it was read (the
                    // holder waited for changed it, or another client did
                    // before the lock): examine it again as it is now.
                    Unhold(c, h, row.pos);
                    Restore(h, before);
                    first = wasFirst;
                    continue;
                }
            } catch (const Status& s) {
                Restore(h, before);
                status = s.code;
                break;
            }
        }
        const auto n = static_cast<uint16_t>(extracted.size());
        answer += static_cast<char>(n & 0xFF);
        answer += static_cast<char>(n >> 8);
        uint8_t posBytes[4];
        Put32(posBytes, row.pos);
        answer.append(reinterpret_cast<char*>(posBytes), 4);
        answer += extracted;
        if (++found == r.maxRecords) break;
    }
    answer[0] = static_cast<char>(found & 0xFF);
    answer[1] = static_cast<char>(found >> 8);
    std::memcpy(c.data, answer.data(), answer.size());
    c.Returned(static_cast<int32_t>(answer.size()));
    return status;
}

} // namespace btr::engine
