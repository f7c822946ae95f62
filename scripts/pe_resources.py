#!/usr/bin/env python3
"""List the resources of a PE executable, one per line: TYPE NAME LANGUAGE SIZE.

Types, names and languages are printed as numbers, or as their strings for
named ones; SIZE is the resource's size in bytes. Exits 1 when the file is not
a PE image or its resource directory does not read.
"""
import struct
import sys


class PeError(Exception):
    pass


def read_sections(data):
    if data[:2] != b"MZ":
        raise PeError("no MZ header")
    (pe,) = struct.unpack_from("<I", data, 0x3C)
    if data[pe : pe + 4] != b"PE\0\0":
        raise PeError("no PE signature")
    count, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    (magic,) = struct.unpack_from("<H", data, optional)
    # The data directories follow the fixed fields, which PE32+ makes longer.
    directories = optional + (96 if magic == 0x10B else 112)
    resource_rva, resource_size = struct.unpack_from("<II", data, directories + 2 * 8)
    sections = []
    table = optional + optional_size
    for i in range(count):
        virtual_size, rva, raw_size, raw_offset = struct.unpack_from(
            "<IIII", data, table + i * 40 + 8
        )
        sections.append((rva, max(virtual_size, raw_size), raw_offset))
    return resource_rva, resource_size, sections


def file_offset(sections, rva):
    for start, size, raw in sections:
        if start <= rva < start + size:
            return raw + rva - start
    raise PeError(f"RVA {rva:#x} is in no section")


def entry_id(data, base, name):
    if name & 0x80000000:
        at = base + (name & 0x7FFFFFFF)
        (length,) = struct.unpack_from("<H", data, at)
        return data[at + 2 : at + 2 + 2 * length].decode("utf-16-le")
    return str(name)


def entries(data, base, offset):
    named, numbered = struct.unpack_from("<HH", data, base + offset + 12)
    for i in range(named + numbered):
        name, target = struct.unpack_from("<II", data, base + offset + 16 + i * 8)
        yield entry_id(data, base, name), target


def list_resources(data):
    rva, size, sections = read_sections(data)
    if rva == 0 or size == 0:
        return []
    base = file_offset(sections, rva)
    found = []
    # Three levels: type, name, language; the leaves give each resource's size.
    for type_id, names in entries(data, base, 0):
        for name_id, languages in entries(data, base, names & 0x7FFFFFFF):
            for language, leaf in entries(data, base, languages & 0x7FFFFFFF):
                if leaf & 0x80000000:
                    raise PeError("resource directory deeper than three levels")
                _, resource_size = struct.unpack_from("<II", data, base + leaf)
                found.append((type_id, name_id, language, resource_size))
    return found


def main():
    if len(sys.argv) != 2:
        print("usage: pe_resources.py EXE", file=sys.stderr)
        return 2
    with open(sys.argv[1], "rb") as f:
        data = f.read()
    try:
        for row in list_resources(data):
            print(*row)
    except (PeError, struct.error, UnicodeDecodeError) as e:
        print(f"{sys.argv[1]}: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
