#!/usr/bin/env python3
"""Writes the hand-made bad inputs of corpus/ (run from this directory).

One call is: op (2), flags (1), key number (1), key length (1), data length
(2), fill (1: eight-byte units of data that follow), the data, the key.
Flags: bits 0-1 block (0, 1 open on the real file; 2 zeroed; 3 forged),
0x04 second client, 0x08 no key buffer, 0x10 no block, 0x20 no data buffer,
0x40 open/create the real file, 0x80 no length.
"""
import os
import struct


def call(op, flags=0, keynum=0, keylen=0, datalen=0, data=b"", key=b""):
    data = data + b"\0" * (-len(data) % 8)
    return struct.pack("<HBBBHB", op, flags, keynum, keylen, datalen, len(data) // 8) + data + key[:keylen]


def spec(reclen, page, nkeys, segs, flags=0):
    out = struct.pack("<HHHIHBBH", reclen, page, nkeys, 0, flags, 0, 0, 0)
    for pos, ln, fl, ty in segs:
        out += struct.pack("<HHH4sBB2sBB", pos, ln, fl, b"", ty, 0, b"", 0, 0)
    return out


def extended(total, sig=b"EG", terms=b"", nterms=0, maxrec=5, fields=b"", nfields=0):
    return struct.pack("<H2sHH", total, sig, 0, nterms) + terms + struct.pack("<HH", maxrec, nfields) + fields


cases = {
    "create_short_header": call(14, keylen=4, datalen=10, data=b"\x20\x00"),
    "create_lying_key_count": call(14, keylen=4, datalen=32, data=spec(32, 1024, 90, [(1, 4, 0x100, 1)])),
    "create_segment_past_record": call(14, keylen=4, datalen=32, data=spec(8, 1024, 1, [(7, 4, 0x100, 1)])),
    "create_bad_page": call(14, keylen=4, datalen=32, data=spec(8, 1000, 1, [(1, 4, 0x100, 1)])),
    "create_bad_type": call(14, keylen=4, datalen=32, data=spec(8, 1024, 1, [(1, 4, 0x100, 99)])),
    "create_float_len3": call(14, keylen=4, datalen=32, data=spec(8, 1024, 1, [(1, 3, 0x100, 2)])),
    "create_alt_without_sequence": call(14, keylen=4, datalen=32, data=spec(8, 1024, 1, [(1, 4, 0x120, 0)])),
    "open_then_stat_tiny": call(0, keylen=4) + call(15, flags=2, datalen=3),
    "forged_block_reads": call(12, flags=3, datalen=100) + call(6, flags=3, datalen=100) + call(3, flags=3, datalen=32),
    "zeroed_block_update": call(3, flags=2, datalen=40, data=b"x" * 40),
    "no_block_get": call(12, flags=0x10, datalen=100),
    "no_length_insert": call(2, flags=0x80, datalen=40, data=b"y" * 40, keylen=4),
    "no_data_get": call(12, flags=0x20, datalen=100),
    "short_key_equal": call(5, keylen=2, datalen=100, key=b"\1\0"),
    "key_number_out_of_range": call(12, keynum=77, datalen=100) + call(5, keynum=200, keylen=10, datalen=100),
    "insert_shorter_than_fixed": call(2, keylen=10, datalen=8, data=b"z" * 8),
    "chunk_bad_subfunction": call(23, keynum=254, datalen=24, data=struct.pack("<III", 1, 0x12345678, 1) + b"\0" * 8),
    "chunk_count_lies": call(12, datalen=100) + call(23, keynum=254, datalen=24, data=struct.pack("<III", 1, 0x80000000, 100000)),
    "chunk_past_end": call(23, keynum=254, datalen=32, data=struct.pack("<IIIII", 1, 0x80000000, 1, 9000, 10)),
    "update_chunk_gap": call(12, datalen=100) + call(53, datalen=24, data=struct.pack("<IIII", 0x80000000, 1, 5000, 4) + b"abcd"),
    "truncate_into_fixed": call(12, datalen=100) + call(53, datalen=8, data=struct.pack("<Ii", 0x80000004, 3)),
    "truncate_negative": call(12, datalen=100) + call(53, datalen=8, data=struct.pack("<Ii", 0x80000004, -5)),
    "extended_total_lies": call(12, datalen=100) + call(36, datalen=40, data=extended(60000)),
    "extended_bad_signature": call(12, datalen=100) + call(36, datalen=40, data=extended(16, b"ZZ")),
    "extended_term_overrun": call(12, datalen=100) + call(36, datalen=24,
        data=extended(24, terms=struct.pack("<BHHBB", 0, 200, 0, 1, 0), nterms=1)),
    "extended_bad_connector": call(12, datalen=100) + call(38, datalen=40,
        data=extended(40, terms=struct.pack("<BHHBB", 1, 4, 0, 1, 7) + b"\0\0\0\0", nterms=1)),
    "extended_date_len2": call(12, datalen=100) + call(36, datalen=40,
        data=extended(40, terms=struct.pack("<BHHBB", 3, 2, 0, 1, 0) + b"\0\0", nterms=1, fields=struct.pack("<HH", 4, 0), nfields=1)),
    "extended_fields_past_record": call(12, datalen=100) + call(36, datalen=64,
        data=extended(30, maxrec=0, fields=struct.pack("<HH", 255, 60000), nfields=1)),
    "percentage_out_of_range": call(44, datalen=100, data=struct.pack("<I", 20000)) + call(45, datalen=2),
    "transactions_unbalanced": call(20) + call(21) + call(19) + call(19) + call(1019) + call(20) + call(20),
    "locks_and_unlocks": call(212, datalen=100) + call(412, flags=5, datalen=100) + call(27, keynum=255, datalen=2)
        + call(27, keynum=255, datalen=4, data=struct.pack("<I", 999)) + call(27, keynum=200),
    "stop_mid_transaction": call(19) + call(2, datalen=40, data=b"q" * 40, keylen=10) + call(25) + call(6, datalen=100),
    "unknown_operations": call(99) + call(777) + call(1999) + call(150) + call(64999),
    "owner_games": call(29, keynum=9, datalen=8, data=b"SECRET\0\0") + call(29, datalen=0) + call(30, datalen=3, data=b"bad"),
}
os.makedirs("corpus", exist_ok=True)
for name, data in cases.items():
    with open(os.path.join("corpus", name), "wb") as f:
        f.write(data)
print(len(cases), "inputs")
