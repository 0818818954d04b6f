"""The few DER encodings a catalog is made of, and a reader for them.

Standard library only. Values are bytes; every encoder returns one whole element
(tag, length, contents).
"""

import datetime

SEQUENCE, SET, OCTET_STRING, OID, INTEGER, NULL, BMP_STRING, UTC_TIME = 0x30, 0x31, 0x04, 0x06, 0x02, 0x05, 0x1E, 0x17


class DerError(Exception):
    """The bytes are not the DER element they were taken for."""


def element(tag, contents):
    size = len(contents)
    if size < 0x80:
        length = bytes([size])
    else:
        raw = size.to_bytes((size.bit_length() + 7) // 8, "big")
        length = bytes([0x80 | len(raw)]) + raw
    return bytes([tag]) + length + contents


def sequence(*items):
    return element(SEQUENCE, b"".join(items))


def set_of(*items):
    # DER orders a SET OF by the encodings of its members.
    return element(SET, b"".join(sorted(items)))


def octets(value):
    return element(OCTET_STRING, value)


def integer(value):
    return element(INTEGER, value.to_bytes(value.bit_length() // 8 + 1, "big", signed=True))


def null():
    return element(NULL, b"")


def bmp(text):
    return element(BMP_STRING, text.encode("utf-16-be"))


def oid(dotted):
    parts = [int(p) for p in dotted.split(".")]
    body = bytearray([40 * parts[0] + parts[1]])
    for part in parts[2:]:
        chunk = [part & 0x7F]
        part >>= 7
        while part:
            chunk.append(0x80 | (part & 0x7F))
            part >>= 7
        body += bytes(reversed(chunk))
    return element(OID, bytes(body))


def utc_time(when):
    return element(UTC_TIME, when.astimezone(datetime.timezone.utc).strftime("%y%m%d%H%M%SZ").encode("ascii"))


def explicit(number, *items):
    return element(0xA0 | number, b"".join(items))


def implicit_empty(number):
    return element(0x80 | number, b"")


# Reading ------------------------------------------------------------------------


def read(data, at=0):
    """(tag, contents, offset after the element) of the element at `at`."""
    if at + 2 > len(data):
        raise DerError("element cut short at offset %d" % at)
    tag, first = data[at], data[at + 1]
    at += 2
    if first < 0x80:
        size = first
    else:
        count = first & 0x7F
        if count == 0 or count > 4 or at + count > len(data):
            raise DerError("bad length at offset %d" % (at - 1))
        size = int.from_bytes(data[at : at + count], "big")
        at += count
    if at + size > len(data):
        raise DerError("element runs past its container at offset %d" % at)
    return tag, data[at : at + size], at + size


def children(contents):
    """The (tag, contents) of each element inside a constructed element's contents."""
    found, at = [], 0
    while at < len(contents):
        tag, value, at = read(contents, at)
        found.append((tag, value))
    return found


def expect(item, tag, what):
    if item[0] != tag:
        raise DerError("%s: tag 0x%02x, expected 0x%02x" % (what, item[0], tag))
    return item[1]


def whole(data, tag, what):
    """The contents of `data`, which must be exactly one element of `tag`."""
    found, value, end = read(data)
    if end != len(data):
        raise DerError("%s: %d bytes after the element" % (what, len(data) - end))
    return expect((found, value), tag, what)


def oid_text(contents):
    first = contents[0]
    parts = [min(first // 40, 2), first - 40 * min(first // 40, 2)]
    value = 0
    for byte in contents[1:]:
        value = (value << 7) | (byte & 0x7F)
        if not byte & 0x80:
            parts.append(value)
            value = 0
    return ".".join(str(p) for p in parts)
