#!/usr/bin/python3
"""Reads a built type library (MSFT format) back and checks it against the GUIDs widl wrote from the same IDL.

widl has been seen to overwrite the last byte of the library's own LIBID while it writes the type library,
while the GUID file it writes from the parsed IDL stays right. So the LIBID stored in the .tlb must equal
LIBID_* of the GUID file, and every other GUID defined there must be in the library's GUID table. On a
mismatch the .tlb is deleted, so the build fails now and again next time.

usage: CheckTypeLibrary.py LIBRARY.tlb GUIDS_i.c
"""
import os
import re
import struct
import sys
import uuid

HEADER = struct.Struct("<21i")
HELP_DLL_FLAG = 0x100
SEGMENT = struct.Struct("<4i")
GUID_SEGMENT = 5  # index of the GUID table in the segment directory
GUID_ENTRY_SIZE = 24  # GUID, hreftype, next hash


def library_guids(data):
    if data[:4] != b"MSFT":
        raise ValueError("not an MSFT type library")
    header = HEADER.unpack_from(data, 0)
    libid_offset, varflags, type_count = header[2], header[5], header[8]
    directory = HEADER.size + (4 if varflags & HELP_DLL_FLAG else 0) + 4 * type_count
    table_offset, table_length = SEGMENT.unpack_from(data, directory + SEGMENT.size * GUID_SEGMENT)[:2]
    guids = {}
    for at in range(0, table_length, GUID_ENTRY_SIZE):
        guids[at] = uuid.UUID(bytes_le=data[table_offset + at:table_offset + at + 16])
    if libid_offset not in guids:
        raise ValueError("the LIBID offset %d is outside the GUID table" % libid_offset)
    return guids[libid_offset], set(guids.values())


def defined_guids(text):
    hex_list = r"((?:\s*0x[0-9a-fA-F]+\s*,){10}\s*0x[0-9a-fA-F]+)"
    pattern = re.compile(r"MIDL_DEFINE_GUID\(\s*\w+\s*,\s*(\w+)\s*," + hex_list + r"\s*\)")
    found = {}
    for name, numbers in pattern.findall(text):
        values = [int(v, 16) for v in numbers.split(",")]
        found[name] = uuid.UUID(fields=(values[0], values[1], values[2], values[3], values[4],
                                        int.from_bytes(bytes(values[5:11]), "big")))
    return found


def main(tlb_path, guid_path):
    with open(tlb_path, "rb") as f:
        libid, in_library = library_guids(f.read())
    with open(guid_path) as f:
        expected = defined_guids(f.read())
    problems = []
    libids = [g for name, g in expected.items() if name.startswith("LIBID_")]
    if len(libids) != 1:
        problems.append("expected one LIBID in %s, found %d" % (guid_path, len(libids)))
    elif libid != libids[0]:
        problems.append("the LIBID in the library is {%s}, the IDL gives {%s}" % (libid, libids[0]))
    for name, guid in sorted(expected.items()):
        if guid not in in_library:
            problems.append("%s {%s} is not in the library" % (name, guid))
    if problems:
        for p in problems:
            print("%s: %s" % (tlb_path, p), file=sys.stderr)
        os.remove(tlb_path)
        return 1
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1], sys.argv[2]))
