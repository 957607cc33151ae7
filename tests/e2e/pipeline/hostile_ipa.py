#!/usr/bin/env python3
"""Writes the hostile IPAs of hostile_builds_test.cpp, byte by byte where zipfile would not.

  hostile_ipa.py vms-link OUT   a symbolic link made on VMS: zipinfo -l shows "RWED,RWED,..."
                                where a Unix link shows "l", yet unzip makes the link
  hostile_ipa.py long OUT       an entry that climbs out of the destination, then 40,000 entries
                                with 9.6 MB of names, past the 8 MiB a tool's output is kept
  hostile_ipa.py zeros OUT      1 MiB of deflated zeros that unpacks to 1 GiB
"""
import struct
import sys
import zlib

UNIX, VMS = 3, 2


def write_zip(path, entries):
    """entries: (name, data as stored, method, unpacked size, CRC-32, host, Unix mode)."""
    with open(path, "wb") as out:
        directory = []
        for name, data, method, size, crc, host, mode in entries:
            offset = out.tell()
            name = name.encode()
            out.write(struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, method, 0, 0x21, crc, len(data), size,
                                  len(name), 0) + name + data)
            directory.append(struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, host << 8 | 20, 20, 0, method, 0, 0x21,
                                         crc, len(data), size, len(name), 0, 0, 0, 0, mode << 16, offset) + name)
        start = out.tell()
        out.write(b"".join(directory))
        out.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), out.tell() - start, start, 0))


def stored(name, data, host=UNIX, mode=0o100644):
    return (name, data, 0, len(data), zlib.crc32(data), host, mode)


def main(kind, out):
    if kind == "vms-link":
        write_zip(out, [stored("Payload/Demo.app/Info.plist", b"x"),
                        stored("Payload/Demo.app/_CodeSignature/leak", b"../../../../../secret.txt", VMS, 0o120777)])
    elif kind == "long":
        write_zip(out, [stored("Payload/../../escape.txt", b"outside\n")] +
                  [stored("Payload/Demo.app/%s%06d" % ("n" * 234, i), b"") for i in range(40000)])
    elif kind == "zeros":
        # Blocks ended by a full flush stand alone, so one block of a mebibyte of zeros, repeated,
        # then an empty final block, is a valid stream of a gibibyte of zeros.
        compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
        block = compressor.compress(bytes(1 << 20)) + compressor.flush(zlib.Z_FULL_FLUSH)
        # 0x5B64C2B0 is the CRC-32 of 2**30 zero bytes.
        write_zip(out, [("Payload/Demo.app/zeros", block * 1024 + b"\x03\x00", 8, 1 << 30, 0x5B64C2B0, UNIX,
                         0o100644)])
    else:
        sys.exit("unknown kind %r" % kind)


if __name__ == "__main__":
    main(*sys.argv[1:])
