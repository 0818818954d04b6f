"""Makes and reads the driver package's catalog: the SHA-256 digests of its files,
which Windows checks each file against when it installs the package.

A catalog is a PKCS #7 SignedData whose content is a certificate trust list of
catalog members. Each member is keyed by its file's digest and says what the
digest covers: a PE image's Authenticode digest (signature and checksum left
out), or a flat file's digest (the INF). The list and its members carry
name-value attributes (the file name, the system versions). This script writes
the unsigned catalog; osslsigncode signs it.

    python3 catalog.py --out quorvex.unsigned.cat --inf quorvex.inf \\
        --file quorvex.sys --file quorvex.inf --os _v100_X64 --os-attr 2:10.0
"""

import argparse
import datetime
import hashlib
import os
import sys

import der
from check_inf import Inf, models_hardware_ids
from pe_image import PeError, PeImage

SIGNED_DATA = "1.2.840.113549.1.7.2"
CERTIFICATE_TRUST_LIST = "1.3.6.1.4.1.311.10.1"
CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
# Members keyed by SHA-256 digests (catalog version 2).
CATALOG_LIST_MEMBER_V2 = "1.3.6.1.4.1.311.12.1.3"
CAT_NAMEVALUE = "1.3.6.1.4.1.311.12.2.1"
CAT_MEMBERINFO_V2 = "1.3.6.1.4.1.311.12.2.3"
SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
SPC_FLAT_FILE_DATA = "1.3.6.1.4.1.311.2.1.25"
SHA256 = "2.16.840.1.101.3.4.2.1"

# Name-value flags: a text value, readable by everyone, kept with the catalog.
NAMEVALUE_TEXT = 0x10010001


def file_digest(data):
    """(SHA-256 digest, is a PE image) as a catalog member of the file records it."""
    try:
        return PeImage(data).authenticode_digest("sha256"), True
    except PeError:
        return hashlib.sha256(data).digest(), False


# Making -------------------------------------------------------------------------


def _name_value(name, value):
    return der.sequence(
        der.bmp(name), der.integer(NAMEVALUE_TEXT), der.octets(value.encode("utf-16-le") + b"\0\0")
    )


def _attribute(kind, value):
    return der.sequence(der.oid(kind), der.set_of(value))


def _indirect_data(digest, is_pe):
    # What the digest is of: a PE image (SpcPeImageData with an empty file link) or
    # a flat file (the empty link alone).
    empty_link = der.explicit(2, der.implicit_empty(0))
    if is_pe:
        described = der.sequence(
            der.oid(SPC_PE_IMAGE_DATA), der.sequence(b"\x03\x02\x05\xa0", der.explicit(0, empty_link))
        )
    else:
        described = der.sequence(der.oid(SPC_FLAT_FILE_DATA), empty_link)
    return der.sequence(described, der.sequence(der.sequence(der.oid(SHA256), der.null()), der.octets(digest)))


def member(name, data, os_attr):
    digest, is_pe = file_digest(data)
    attributes = [
        _attribute(CAT_MEMBERINFO_V2, der.implicit_empty(2)),
        _attribute(CAT_NAMEVALUE, _name_value("File", name)),
        _attribute(CAT_NAMEVALUE, _name_value("OSAttr", os_attr)),
        _attribute(SPC_INDIRECT_DATA, _indirect_data(digest, is_pe)),
    ]
    return der.sequence(der.octets(digest), der.set_of(*attributes))


def _extension(name, value):
    return der.sequence(der.oid(CAT_NAMEVALUE), der.octets(_name_value(name, value)))


def unsigned_catalog(files, os_name, os_attr, hardware_ids, when):
    """files: [(name, bytes)]. The catalog's identifier derives from the members, so
    the same package always gets the same one."""
    members = [member(name, data, os_attr) for name, data in files]
    identifier = hashlib.sha256(b"".join(members)).digest()[:16]
    extensions = [_extension("OS", os_name)]
    extensions += [_extension("HWID%d" % (i + 1), hwid.lower()) for i, hwid in enumerate(hardware_ids)]
    trust_list = der.sequence(
        der.sequence(der.oid(CATALOG_LIST)),
        der.octets(identifier),
        der.utc_time(when),
        der.sequence(der.oid(CATALOG_LIST_MEMBER_V2), der.null()),
        der.sequence(*members),
        der.explicit(0, der.sequence(*extensions)),
    )
    # No digest algorithms and no signers yet: signing adds them.
    signed_data = der.sequence(
        der.integer(1),
        der.set_of(),
        der.sequence(der.oid(CERTIFICATE_TRUST_LIST), der.explicit(0, trust_list)),
        der.set_of(),
    )
    return der.sequence(der.oid(SIGNED_DATA), der.explicit(0, signed_data))


# Reading ------------------------------------------------------------------------


class Member:
    def __init__(self, identifier):
        self.identifier = identifier
        self.names = {}  # name-value attributes
        self.kind = None  # SPC_PE_IMAGE_DATA or SPC_FLAT_FILE_DATA
        self.algorithm = None
        self.digest = None


class Catalog:
    def __init__(self):
        self.usage = None
        self.member_algorithm = None
        self.members = []
        self.names = {}  # the list's own name-value attributes
        self.signers = 0


def _read_name_value(contents):
    name, flags, value = der.children(contents)
    text = der.expect(value, der.OCTET_STRING, "name-value value").decode("utf-16-le").rstrip("\0")
    return der.expect(name, der.BMP_STRING, "name-value name").decode("utf-16-be"), text


def _read_indirect_data(m, contents):
    described, digest_info = der.children(contents)
    m.kind = der.oid_text(der.expect(der.children(described[1])[0], der.OID, "indirect data type"))
    algorithm, digest = der.children(der.expect(digest_info, der.SEQUENCE, "digest info"))
    m.algorithm = der.oid_text(der.children(algorithm[1])[0][1])
    m.digest = der.expect(digest, der.OCTET_STRING, "member digest")


def _read_member(contents):
    identifier, attributes = der.children(contents)
    m = Member(der.expect(identifier, der.OCTET_STRING, "member identifier"))
    for _, attribute in der.children(der.expect(attributes, der.SET, "member attributes")):
        kind, values = der.children(attribute)
        kind = der.oid_text(der.expect(kind, der.OID, "attribute type"))
        for tag, value in der.children(der.expect(values, der.SET, "attribute values")):
            if kind == CAT_NAMEVALUE:
                name, text = _read_name_value(value)
                m.names[name] = text
            elif kind == SPC_INDIRECT_DATA:
                _read_indirect_data(m, value)
    return m


def read_catalog(data):
    """The catalog in `data`; raises der.DerError if it is not one."""
    outer = der.children(der.whole(data, der.SEQUENCE, "catalog"))
    if der.oid_text(der.expect(outer[0], der.OID, "content type")) != SIGNED_DATA:
        raise der.DerError("not a PKCS #7 SignedData")
    signed = der.children(der.expect(der.children(outer[1][1])[0], der.SEQUENCE, "signed data"))
    content_type, content = der.children(der.expect(signed[2], der.SEQUENCE, "content"))
    if der.oid_text(content_type[1]) != CERTIFICATE_TRUST_LIST:
        raise der.DerError("the signed content is not a certificate trust list")
    fields = der.children(der.children(content[1])[0][1])
    catalog = Catalog()
    catalog.signers = len(der.children(der.expect(signed[-1], der.SET, "signer infos")))
    catalog.usage = der.oid_text(der.children(fields[0][1])[0][1])
    catalog.member_algorithm = der.oid_text(der.children(fields[3][1])[0][1])
    for tag, value in fields[4:]:
        if tag == der.SEQUENCE:
            catalog.members = [_read_member(m) for _, m in der.children(value)]
        elif tag == 0xA0:
            for _, extension in der.children(der.children(value)[0][1]):
                kind, blob = der.children(extension)
                if der.oid_text(kind[1]) == CAT_NAMEVALUE:
                    name, text = _read_name_value(der.whole(blob[1], der.SEQUENCE, "extension value"))
                    catalog.names[name] = text
    return catalog


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True)
    parser.add_argument("--inf", required=True, help="the package's INF, for its hardware ids")
    parser.add_argument("--file", action="append", required=True, help="a file of the package, by path")
    parser.add_argument("--decoration", default="NTamd64", help="the INF's platform decoration")
    parser.add_argument("--os", dest="os_name", required=True, help="the systems, e.g. _v100_X64")
    parser.add_argument("--os-attr", required=True, help="the members' system versions, e.g. 2:10.0")
    args = parser.parse_args(argv)
    files = []
    for path in args.file:
        with open(path, "rb") as f:
            files.append((os.path.basename(path), f.read()))
    with open(args.inf, encoding="ascii") as f:
        hardware_ids = models_hardware_ids(Inf(f.read()), args.decoration)
    when = datetime.datetime.now(datetime.timezone.utc)
    with open(args.out, "wb") as f:
        f.write(unsigned_catalog(files, args.os_name, args.os_attr, hardware_ids, when))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
