#!/usr/bin/env python3
"""Writes the hand-made bad inputs of corpus/ in the driver's command format
(see driver.h). Run it from anywhere; it replaces the files it knows.

Blocks: 0 fixed.btr (client A), 1 fixed.btr (B), 2 var.btr (A), 3 fixed.btr
read-only (default client), 4 and 7 zeroed, 5 forged, 6 stale.
Paths for open/create by the first key byte: 0 fixed, 1 var, 2 new, 3 notdb,
4 trunc, 5 empty, 6 a directory, 7 through a missing directory, 8-15 copies of
fixed damaged behind the engine's back (see kDamage in driver.cpp).
"""
import os
import struct

A, B, DEFAULT, FORGED = 0, 1, 2, 3
FIXED, VAR, NEW, NOTDB, TRUNC, EMPTY, DIRECTORY, NODIR = range(8)
SHORT, LONG, EMPTYREC, SEGPAST, CUTSPEC, NOTABLE, BADLEN, NOACS = range(8, 16)


def call(op, block=0, client=A, keynum=0, keylen=255, data=b"", cap=None, key=b"",
         nokey=False, nodata=False, noblock=False, nolen=False, neglen=False):
    cap = len(data) if cap is None else cap
    sel = block | noblock << 3 | client << 4 | nokey << 6 | nodata << 7
    flags = nolen | neglen << 1
    key = key[:keylen]
    return (struct.pack("<BHBBBBHH", 1, op, sel, keynum, keylen, flags, cap, len(data)) + data +
            struct.pack("<B", len(key)) + key)


def forge(frm, at, xor):
    return struct.pack("<BBBB", 0xFE, frm, at, xor)


def copy(frm, to):
    return struct.pack("<BBB", 0xFD, frm, to)


def client_id(text):
    return b"\xff" + text.ljust(16, b"\0")[:16]


def u16(v):
    return struct.pack("<H", v & 0xFFFF)


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def spec(reclen, page, nkeys, segs, flags=0):
    out = struct.pack("<HHHIHBBH", reclen, page, nkeys, 0, flags, 0, 0, 0)
    for pos, ln, fl, ty in segs:
        out += struct.pack("<HHH4sBB2sBB", pos, ln, fl, b"", ty, 0, b"", 0, 0)
    return out


def create(path, data, keynum=0, cap=None):
    return call(14, block=7, keynum=keynum, data=data, cap=cap, key=bytes([path]))


def open_(path, block=7, mode=0, owner=b"", client=A):
    return call(0, block=block, client=client, keynum=mode, data=owner, key=bytes([path]))


def term(ftype, length, offset, comp, conn, const):
    return struct.pack("<BHHBB", ftype, length, offset, comp, conn) + const


def extended(terms, nterms, total=None, sig=b"EG", reject=0, maxrec=5, fields=b"", nfields=0):
    body = struct.pack("<2sHH", sig, reject, nterms) + terms + struct.pack("<HH", maxrec, nfields) + fields
    total = len(body) + 2 if total is None else total
    return u16(total) + body


def chunk_get(pos, sub, count, chunks):
    return u32(pos) + u32(sub) + u32(count) + b"".join(u32(o) + u32(n) for o, n in chunks)


def rec40(key, name=b"zz"):
    r = bytearray(40)
    r[0:4] = struct.pack("<i", key)
    r[4:4 + len(name)] = name
    return bytes(r)


FIRST, NEXT, EQUAL = 12, 6, 5


def every_read_and_write(block):
    """Opens nothing: every kind of read, then changes, on an open block."""
    ext = extended(term(0, 4, 4, 2, 0, b"name"), 1, maxrec=20, fields=u16(40) + u16(0), nfields=1)
    out = b""
    for k in range(3):
        out += call(FIRST, block=block, keynum=k, cap=60) + b"".join(call(NEXT, block=block, keynum=k, cap=60)
                                                                    for _ in range(12))
        out += call(13, block=block, keynum=k, cap=60) + call(7, block=block, keynum=k, cap=60)
        out += call(44, block=block, keynum=k, data=u32(5000), cap=60) + call(45, block=block, keynum=k, cap=4)
        out += call(36, block=block, keynum=k, data=ext, cap=1000) + call(EQUAL, block=block, keynum=k, cap=60,
                                                                             data=b"", key=bytes(40))
    out += call(33, block=block, cap=60) + b"".join(call(24, block=block, cap=60) for _ in range(12))
    out += call(38, block=block, data=ext, cap=1000) + call(15, block=block, cap=2000)
    for pos in (1, 2, 3, 5, 6, 9):
        out += call(23, block=block, keynum=1, data=u32(pos), cap=60)
        out += call(23, block=block, keynum=254, data=chunk_get(pos, 0x80000000, 1, [(30, 20)]), cap=60)
        out += call(3, block=block, data=rec40(1000 + pos, b"changed"), cap=40)
        out += call(23, block=block, keynum=2, data=u32(pos), cap=60) + call(4, block=block)
    return out + call(2, block=block, data=rec40(2000), cap=40) + call(1, block=block)

cases = {
    "create_short_header": create(NEW, b"\x20\x00\x00\x04" + b"\0" * 6),
    "create_lying_key_count": create(NEW, spec(32, 1024, 90, [(1, 4, 0x100, 1)])),
    "create_segment_past_record": create(NEW, spec(8, 1024, 1, [(7, 4, 0x100, 1)])),
    "create_bad_page_and_lengths": create(NEW, spec(8, 1000, 1, [(1, 4, 0x100, 1)]))
    + create(NEW, spec(2, 1024, 1, [(1, 2, 0x100, 1)]))
    + create(NEW, spec(8, 1024, 1, [(1, 0, 0, 0)]))
    + create(NEW, spec(300, 1024, 1, [(1, 256, 0, 0)])),
    "create_bad_types": create(NEW, spec(8, 1024, 1, [(1, 4, 0x100, 99)]))
    + create(NEW, spec(8, 1024, 1, [(1, 3, 0x100, 2)]))
    + create(NEW, spec(8, 1024, 1, [(1, 3, 0x100, 1)]))
    + create(NEW, spec(8, 1024, 1, [(1, 8, 0x100, 3)])),
    "create_collation_bad": create(NEW, spec(8, 1024, 1, [(1, 4, 0x120, 0)]))
    + create(NEW, spec(8, 1024, 1, [(1, 4, 0x020, 0)]) + b"\xab" + b"BADSEQ  " + bytes(256))
    + create(NEW, spec(8, 1024, 1, [(1, 4, 0x020, 0)]) + b"\xac" + b"SHORT"),
    "create_segments_that_never_end": create(NEW, spec(16, 1024, 2, [(1, 4, 0x110, 1), (5, 4, 0x110, 1)]))
    + create(NEW, spec(16, 1024, 1, [(1, 4, 0x111, 1), (5, 4, 0x100, 1)])),
    "create_over_open_and_foreign_files": create(FIXED, spec(16, 1024, 1, [(1, 4, 0x100, 1)]))
    + create(NOTDB, spec(16, 1024, 1, [(1, 4, 0x100, 1)]), keynum=255)
    + create(NOTDB, spec(16, 1024, 1, [(1, 4, 0x100, 1)]))
    + open_(NOTDB) + call(2, block=7, data=bytes(16)) + create(DIRECTORY, spec(16, 1024, 1, [(1, 4, 0x100, 1)]))
    + create(NODIR, spec(16, 1024, 1, [(1, 4, 0x100, 1)])) + create(EMPTY, spec(16, 1024, 1, [(1, 4, 0x100, 1)])),
    "open_bad_files": open_(NOTDB) + open_(TRUNC) + open_(EMPTY) + open_(DIRECTORY) + open_(NODIR) + open_(NEW)
    + call(15, block=7, data=b"", cap=3) + open_(FIXED, block=0) + open_(VAR, mode=0x7F) + open_(FIXED, mode=252),
    "lying_lengths": call(FIRST, cap=3) + call(FIRST, cap=100, neglen=True) + call(2, data=rec40(500), cap=39)
    + call(2, data=rec40(501), nolen=True) + call(24, cap=0, nodata=True) + call(FIRST, block=2, cap=17)
    + call(3, block=2, data=b"x" * 15) + call(15, cap=60000, neglen=True) + call(22, cap=3),
    "null_pointers": call(FIRST, noblock=True, cap=64) + call(FIRST, nodata=True, cap=64)
    + call(FIRST, nokey=True, cap=64) + call(EQUAL, keylen=0, data=bytes(64), cap=64)
    + call(EQUAL, keylen=3, cap=64, key=b"\0\0\0") + call(2, nodata=True, cap=40) + call(0, noblock=True, key=b"\0")
    + call(14, nodata=True, key=b"\2") + call(26, cap=14) + call(26, nolen=True),
    "forged_and_stale_blocks": forge(0, 8, 0x01) + call(FIRST, block=5, cap=40) + forge(0, 0, 0xFF)
    + call(3, block=5, data=rec40(1)) + forge(0, 12, 0x80) + call(4, block=5) + forge(2, 127, 0x33)
    + call(1, block=5) + call(FIRST, block=6, cap=40) + call(3, block=4, data=rec40(2)) + call(4, block=4)
    + copy(0, 7) + call(1, block=7) + call(NEXT, block=0, cap=40) + call(1, block=0) + call(1, block=0),
    "block_of_another_client": call(FIRST, block=0, client=B, cap=40) + call(FIRST, block=1, client=DEFAULT, cap=40)
    + client_id(b"intruder") + call(3, block=0, client=FORGED, data=rec40(3)) + call(1, block=2, client=FORGED),
    "key_numbers_out_of_range": call(FIRST, keynum=3, cap=40) + call(FIRST, keynum=200, cap=40)
    + call(FIRST, keynum=254, cap=40) + call(FIRST, keynum=255, cap=40) + call(2, keynum=9, data=rec40(77))
    + call(44, keynum=9, data=u32(5000)) + call(45, keynum=77, cap=4) + call(NEXT, keynum=1, cap=40),
    "currency_on_another_key": call(FIRST, keynum=1, cap=40) + call(NEXT, keynum=2, cap=40)
    + call(NEXT + 50, keynum=1, cap=0) + call(3, data=rec40(999)) + call(7, keynum=0, cap=40),
    "extended_bad_headers": call(FIRST, cap=40) + call(36, data=extended(b"", 0, total=5000))
    + call(36, data=extended(b"", 0, sig=b"XX")) + call(36, data=b"\x04\x00EG")
    + call(37, data=extended(b"", 0, total=1)) + call(38, data=extended(b"", 0, maxrec=0xFFFF, nfields=0xFFFF)),
    "extended_term_overrun": call(FIRST, cap=40) + call(36, data=extended(term(0, 200, 4, 1, 0, b"ab"), 1))
    + call(36, data=extended(term(1, 4, 60000, 1, 0, b"\0" * 4), 1))
    + call(36, data=extended(term(1, 4, 0, 1, 1, b"\0" * 4), 1))
    + call(36, data=extended(term(1, 4, 0, 9, 0, b"\0" * 4), 1))
    + call(36, data=extended(term(1, 4, 0, 1 + 64, 0, u16(65000)), 1))
    + call(36, data=extended(term(3, 2, 0, 1, 0, b"\0\0"), 1))
    + call(36, data=extended(b"", 40)),
    "extended_fields_past_record": call(FIRST, block=2, cap=40)
    + call(38, block=2, data=extended(b"", 0, maxrec=3, fields=u16(100) + u16(60000), nfields=1), cap=600)
    + call(38, block=2, data=extended(b"", 0, maxrec=3, fields=u16(0) + u16(4), nfields=1))
    + call(39, block=2, data=extended(b"", 0, sig=b"UC", maxrec=3, fields=u16(60000) + u16(0), nfields=1), cap=40)
    + call(36, block=0, data=extended(b"", 0, reject=1, maxrec=1, fields=u16(40) + u16(0), nfields=1), cap=30),
    "chunk_bad_descriptors": call(FIRST, cap=40) + call(22, cap=4)
    + call(23, keynum=254, data=chunk_get(1, 0x12345678, 1, [(0, 4)]))
    + call(23, keynum=254, data=chunk_get(1, 0x80000000, 0xFFFFFFFF, [(0, 4)]))
    + call(23, keynum=254, data=chunk_get(1, 0x80000000, 1, [(40, 4)]))
    + call(23, keynum=254, data=chunk_get(1, 0xC0000000, 2, [(0xFFFFFFF0, 0x20), (0xFFFFFFF0, 4)]))
    + call(23, keynum=254, data=chunk_get(1, 0x80000001, 1, [(0, 4)]) + bytes(8))
    + call(23, keynum=254, data=chunk_get(1, 0x80000000, 1, [(0, 0xFFFFFFFF)]), cap=12)
    + call(23, keynum=254, data=b"\1\0\0\0\0\0\0\x80", cap=8),
    "update_chunk_bad": call(FIRST, block=2, cap=300)
    + call(53, block=2, data=u32(0x80000000) + u32(1) + u32(5000) + u32(4) + b"abcd")
    + call(53, block=2, data=u32(0x80000000) + u32(1) + u32(0) + u32(60000) + b"abcd")
    + call(53, block=2, data=u32(0x80000000) + u32(0xFFFFFFFF) + u32(0) + u32(1))
    + call(53, block=2, data=u32(0x80000004) + u32(-5))
    + call(53, block=2, data=u32(0x80000004) + u32(8))
    + call(53, block=2, data=u32(0x80000004) + u32(0x7FFFFFFF))
    + call(53, block=2, data=u32(0x80000001) + u32(1) + u32(0) + u32(4) + bytes(8))
    + call(53, block=0, data=u32(0x80000000) + u32(1) + u32(38) + u32(8) + b"12345678")
    + call(53, block=2, data=u32(0xC0000000) + u32(2) + u32(16) + u32(4) + u32(0xFFFFFFFE) + u32(4) + b"abcdefgh"),
    "transactions_unbalanced": call(20) + call(21) + call(19) + call(19) + call(1019, client=B)
    + call(2, data=rec40(600)) + call(2, block=1, client=B, data=rec40(601)) + call(25, client=A)
    + call(20) + call(1019 + 200) + call(2, data=rec40(602)) + call(1, block=0) + call(21) + call(20),
    "locks_across_clients": call(FIRST + 200, cap=40) + call(FIRST, block=1, client=B, cap=40)
    + call(3, block=1, client=B, data=rec40(-40)) + call(FIRST + 100, block=1, client=B, cap=40)
    + call(FIRST + 400, cap=40) + call(NEXT + 300, cap=40) + call(27, keynum=255, data=u32(99999))
    + call(27, keynum=255, nodata=True, cap=4) + call(27, keynum=254) + call(27, keynum=7)
    + call(4, block=1, client=B),
    "owner_games": call(29, block=2, keynum=1, data=b"secret\0\0", key=b"secret") + call(29, block=2, data=b"again")
    + call(30, block=2, data=b"wrong") + call(29, block=0, keynum=9, data=b"x") + call(29, block=0, data=b"")
    + call(1, block=2) + open_(VAR, block=2) + open_(VAR, block=7, owner=b"secret"),
    "percentages_out_of_range": call(44, data=u32(20000)) + call(44, data=u32(0xFFFFFFFF)) + call(44, data=u16(5))
    + call(45, block=4, cap=4) + call(45, cap=2) + call(44, keynum=255, data=u32(10000))
    + call(44, block=2, keynum=1, data=u32(5000)),
    "unknown_operations": b"".join(call(op, cap=8) for op in (16, 17, 31, 32, 40, 50, 99, 140, 153, 500, 999, 1000,
                                                               1053, 1419, 1519, 65535)),
    "delete_then_continue": call(FIRST, cap=40) + call(4) + call(NEXT, cap=40) + call(4) + call(4)
    + call(3, data=rec40(5)) + call(24, cap=40) + call(35, cap=40) + call(22, cap=4),
    "read_only_writes": call(FIRST, block=3, client=DEFAULT, cap=40) + call(2, block=3, client=DEFAULT, data=rec40(9))
    + call(3, block=3, client=DEFAULT, data=rec40(-40)) + call(4, block=3, client=DEFAULT)
    + call(29, block=3, client=DEFAULT, data=b"owner"),
    "duplicates_and_autoincrement": call(2, data=rec40(-40)) + call(2, block=2, data=bytes(16), cap=60000)
    + call(2, block=2, data=bytes(8), cap=8) + call(2, block=2, data=b"\1\0\0\0" + bytes(12))
    + call(FIRST, block=2, cap=16) + call(3, block=2, data=b"\2\0\0\0" + bytes(12)),
    "get_direct_bad_positions": call(23, data=u32(0), cap=40) + call(23, data=u32(0xFFFFFFFF), cap=40)
    + call(FIRST, cap=40) + call(22, cap=4) + call(4) + call(23, data=u32(1), cap=40) + call(23, data=u32(2), cap=3)
    + call(23, keynum=9, data=u32(2), cap=40) + call(23, keynum=200, data=u32(2), cap=40),
    "stat_tiny_buffers": call(15, cap=15) + call(15, cap=16) + call(15, cap=17, keylen=0, nokey=True)
    + call(15, block=2, cap=0) + call(15, block=4, cap=100),
    "stop_and_reset_midway": call(19) + call(FIRST + 400, cap=40) + call(2, data=rec40(700))
    + call(28, client=A) + call(NEXT, cap=40) + call(19, client=DEFAULT)
    + call(2, block=3, client=DEFAULT, data=rec40(701)) + call(25, client=DEFAULT, noblock=True),
}
cases.update({"damaged_" + name: open_(path, block=7) + every_read_and_write(7)
              for name, path in (("short_records", SHORT), ("long_records", LONG), ("empty_record", EMPTYREC),
                                 ("segment_past_record", SEGPAST), ("spec_cut_short", CUTSPEC),
                                 ("key_table_missing", NOTABLE), ("bad_key_length", BADLEN),
                                 ("collation_missing", NOACS))})


def main():
    here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(here, exist_ok=True)
    for name, data in cases.items():
        with open(os.path.join(here, name), "wb") as f:
            f.write(data)
    print(len(cases), "inputs")


if __name__ == "__main__":
    main()
