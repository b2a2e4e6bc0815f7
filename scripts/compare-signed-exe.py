#!/usr/bin/env python3
"""Checks a signed quellix.exe against an unsigned build of the same source.

Usage: compare-signed-exe.py SIGNED.exe UNSIGNED.exe

Authenticode signing leaves the image as it was except for what it adds: the
certificate table entry of the optional header (its file offset and size), the PE
checksum, zero padding to an 8-byte boundary at the end of the file, and the
signature (a WIN_CERTIFICATE holding PKCS#7 signed data) after it. This says
"same program" when that is all that differs, and names the first other difference
otherwise (exit status 1). So a published signed exe can be checked against one's
own reproducible build.
"""
import struct
import sys

SECURITY_DIRECTORY = 4
WIN_CERT_REVISION_2_0 = 0x0200
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002


def fields(image):
    """The file offsets of the checksum and of the certificate table entry."""
    if image[:2] != b"MZ":
        raise ValueError("not a PE image (no MZ header)")
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE image (no PE signature)")
    optional = pe + 24
    magic = struct.unpack_from("<H", image, optional)[0]
    directories = optional + {0x10B: 96, 0x20B: 112}[magic]
    return optional + 64, directories + 8 * SECURITY_DIRECTORY


def pe_checksum(image, checksum_at):
    """The checksum Windows computes: 16-bit one's-complement-style sum plus length."""
    data = image[:checksum_at] + b"\0\0\0\0" + image[checksum_at + 4:]
    if len(data) % 2:
        data += b"\0"
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return ((total & 0xFFFF) + (total >> 16) & 0xFFFF) + len(image)


def compare(signed, unsigned):
    """None when signed is unsigned plus a signature, else what differs."""
    checksum_at, security_at = fields(unsigned)
    if fields(signed) != (checksum_at, security_at):
        return "the headers are laid out differently"
    if unsigned[security_at:security_at + 8] != bytes(8):
        return "the unsigned exe already has a certificate table"
    allowed = set(range(checksum_at, checksum_at + 4)) | set(range(security_at, security_at + 8))
    for at in range(len(unsigned)):
        if at < len(signed) and signed[at] != unsigned[at] and at not in allowed:
            return "byte 0x%x differs (%02x, unsigned %02x)" % (at, signed[at], unsigned[at])
    table, size = struct.unpack_from("<II", signed, security_at)
    if table != (len(unsigned) + 7) // 8 * 8 or table + size != len(signed) or size < 8:
        return "the certificate table (0x%x, %d bytes) is not all that was added" % (table, size)
    if signed[len(unsigned):table] != bytes(table - len(unsigned)):
        return "the padding before the certificate table is not zero"
    length, revision, kind = struct.unpack_from("<IHH", signed, table)
    if length > size or revision != WIN_CERT_REVISION_2_0 or kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA:
        return "the certificate table holds no Authenticode signature"
    checksum = struct.unpack_from("<I", signed, checksum_at)[0]
    if checksum != pe_checksum(signed, checksum_at):
        return "the PE checksum 0x%08x is not the signed file's" % checksum
    return None


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip().splitlines()[2])
    with open(sys.argv[1], "rb") as f:
        signed = f.read()
    with open(sys.argv[2], "rb") as f:
        unsigned = f.read()
    try:
        difference = compare(signed, unsigned)
    except (ValueError, KeyError, struct.error) as e:
        difference = "unreadable: %s" % e
    if difference is not None:
        print("%s is not %s plus a signature: %s" % (sys.argv[1], sys.argv[2], difference))
        sys.exit(1)
    print("%s is %s plus a signature" % (sys.argv[1], sys.argv[2]))


if __name__ == "__main__":
    main()
