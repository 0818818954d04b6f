"""Reads the parts of a PE32+ image that the driver build stamps and checks.

Standard library only, so the build and its checks need nothing beyond python3.
Run as a program, it writes the header checksum into an image:

    python3 pe_image.py --stamp-checksum quorvex.sys
"""

import argparse
import hashlib
import struct
import sys

IMAGE_FILE_MACHINE_AMD64 = 0x8664
PE32_PLUS_MAGIC = 0x20B

# Data directory indexes.
DIR_EXPORT, DIR_IMPORT, DIR_RESOURCE, DIR_EXCEPTION, DIR_SECURITY = 0, 1, 2, 3, 4
DIR_BASERELOC, DIR_TLS = 5, 9

RT_VERSION = 16


class PeError(Exception):
    """The file is not a PE32+ image this module can read."""


class Section:
    def __init__(self, name, virtual_address, virtual_size, raw_offset, raw_size, characteristics):
        self.name = name
        self.virtual_address = virtual_address
        self.virtual_size = virtual_size
        self.raw_offset = raw_offset
        self.raw_size = raw_size
        self.characteristics = characteristics

    def holds(self, rva):
        return self.virtual_address <= rva < self.virtual_address + max(self.virtual_size, self.raw_size)


class Symbol:
    def __init__(self, name, value, section_number, storage_class):
        self.name = name
        self.value = value
        self.section_number = section_number
        self.storage_class = storage_class


class PeImage:
    def __init__(self, data):
        self.data = bytes(data)
        self._parse_headers()

    @classmethod
    def load(cls, path):
        with open(path, "rb") as f:
            return cls(f.read())

    # Headers --------------------------------------------------------------

    def _parse_headers(self):
        d = self.data
        if len(d) < 0x40 or d[:2] != b"MZ":
            raise PeError("no MZ header")
        (pe_offset,) = struct.unpack_from("<I", d, 0x3C)
        if d[pe_offset : pe_offset + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        coff = pe_offset + 4
        (
            self.machine,
            n_sections,
            self.timestamp,
            self.symbol_table_offset,
            self.symbol_count,
            opt_size,
            self.file_characteristics,
        ) = struct.unpack_from("<HHIIIHH", d, coff)
        opt = coff + 20
        (self.magic,) = struct.unpack_from("<H", d, opt)
        if self.magic != PE32_PLUS_MAGIC:
            raise PeError("not a PE32+ image (optional header magic 0x%x)" % self.magic)
        (self.entry_point_rva,) = struct.unpack_from("<I", d, opt + 16)
        (self.image_base, self.section_alignment, self.file_alignment) = struct.unpack_from("<QII", d, opt + 24)
        self.checksum_offset = opt + 64
        (self.checksum, self.subsystem, self.dll_characteristics) = struct.unpack_from("<IHH", d, opt + 64)
        (n_dirs,) = struct.unpack_from("<I", d, opt + 108)
        self.directories = [struct.unpack_from("<II", d, opt + 112 + 8 * i) for i in range(n_dirs)]
        self.sections = []
        for i in range(n_sections):
            at = opt + opt_size + 40 * i
            raw_name = d[at : at + 8].rstrip(b"\0").decode("latin-1")
            vsize, va, rsize, roff = struct.unpack_from("<IIII", d, at + 8)
            (chars,) = struct.unpack_from("<I", d, at + 36)
            self.sections.append(Section(raw_name, va, vsize, roff, rsize, chars))
        # Long section names ("/4") point into the string table; resolve them.
        for s in self.sections:
            if s.name.startswith("/") and s.name[1:].isdigit():
                s.name = self._string_table_entry(int(s.name[1:])) or s.name

    def directory(self, index):
        if index >= len(self.directories):
            return (0, 0)
        return self.directories[index]

    # Addressing -------------------------------------------------------------

    def section_of(self, rva):
        for s in self.sections:
            if s.holds(rva):
                return s
        return None

    def offset_of(self, rva):
        s = self.section_of(rva)
        if s is None or rva - s.virtual_address >= s.raw_size:
            raise PeError("RVA 0x%x is not backed by file data" % rva)
        return s.raw_offset + rva - s.virtual_address

    def read(self, rva, size):
        at = self.offset_of(rva)
        return self.data[at : at + size]

    def u16(self, rva):
        return struct.unpack_from("<H", self.data, self.offset_of(rva))[0]

    def u32(self, rva):
        return struct.unpack_from("<I", self.data, self.offset_of(rva))[0]

    def u64(self, rva):
        return struct.unpack_from("<Q", self.data, self.offset_of(rva))[0]

    def cstring(self, rva):
        at = self.offset_of(rva)
        end = self.data.index(b"\0", at)
        return self.data[at:end].decode("latin-1")

    # COFF symbol table ---------------------------------------------------------

    def _string_table_entry(self, offset):
        if not self.symbol_table_offset:
            return None
        table = self.symbol_table_offset + 18 * self.symbol_count
        end = self.data.find(b"\0", table + offset)
        return self.data[table + offset : end].decode("latin-1") if end >= 0 else None

    def symbols(self):
        """The COFF symbol table the GNU linker leaves in an unstripped image."""
        result = []
        if not self.symbol_table_offset:
            return result
        i = 0
        while i < self.symbol_count:
            at = self.symbol_table_offset + 18 * i
            raw = self.data[at : at + 8]
            value, section_number, _type, storage_class, aux = struct.unpack_from("<IhHBB", self.data, at + 8)
            if raw[:4] == b"\0\0\0\0":
                name = self._string_table_entry(struct.unpack_from("<I", raw, 4)[0])
            else:
                name = raw.rstrip(b"\0").decode("latin-1")
            result.append(Symbol(name, value, section_number, storage_class))
            i += 1 + aux
        return result

    def symbol_rva(self, name):
        """RVA of a symbol defined in a section, or None."""
        for sym in self.symbols():
            if sym.name == name and 0 < sym.section_number <= len(self.sections):
                return self.sections[sym.section_number - 1].virtual_address + sym.value
        return None

    # Imports -------------------------------------------------------------------

    def imports(self):
        """{dll name: [imported names or '#ordinal']} from the import directory."""
        result = {}
        for dll, name in self.import_slots().values():
            result.setdefault(dll, []).append(name)
        return result

    def import_slots(self):
        """{RVA of an import address table slot: (dll name, imported name or '#ordinal')},
        in the order of the import directory."""
        rva, size = self.directory(DIR_IMPORT)
        result = {}
        if not rva:
            return result
        at = rva
        while True:
            original_thunks, _, _, name_rva, thunks = struct.unpack("<IIIII", self.read(at, 20))
            if not (original_thunks or name_rva or thunks):
                break
            dll = self.cstring(name_rva)
            thunk, slot = original_thunks or thunks, thunks
            while True:
                entry = self.u64(thunk)
                if entry == 0:
                    break
                if entry & (1 << 63):
                    result[slot] = (dll, "#%d" % (entry & 0xFFFF))
                else:
                    result[slot] = (dll, self.cstring((entry & 0x7FFFFFFF) + 2))
                thunk += 8
                slot += 8
            at += 20
        return result

    def runtime_function(self, rva):
        """(begin, end, unwind info RVA) of the exception directory entry that covers
        rva, or None."""
        at, size = self.directory(DIR_EXCEPTION)
        for entry in range(at, at + size - size % 12, 12):
            begin, end, unwind = struct.unpack("<III", self.read(entry, 12))
            if begin <= rva < end:
                return begin, end, unwind
        return None

    # Base relocations ---------------------------------------------------------

    def base_relocation_types(self):
        """{relocation type: count} over every block of the base relocation table."""
        rva, size = self.directory(DIR_BASERELOC)
        counts = {}
        at, end = rva, rva + size
        while at < end:
            _page, block_size = struct.unpack("<II", self.read(at, 8))
            if block_size < 8:
                raise PeError("base relocation block of size %d" % block_size)
            for i in range((block_size - 8) // 2):
                kind = self.u16(at + 8 + 2 * i) >> 12
                counts[kind] = counts.get(kind, 0) + 1
            at += block_size
        return counts

    # Resources ------------------------------------------------------------------

    def resource(self, type_id, name_id=None):
        """(rva, size) of the first resource of a type (and name), or None."""
        root, _ = self.directory(DIR_RESOURCE)
        if not root:
            return None
        entry = self._resource_child(root, root, type_id)
        if entry is None:
            return None
        entry = self._resource_child(root, entry, name_id)
        if entry is None:
            return None
        entry = self._resource_child(root, entry, None)
        if entry is None:
            return None
        data_rva, size = struct.unpack("<II", self.read(entry, 8))
        return data_rva, size

    def _resource_child(self, root, directory, wanted):
        named, numbered = struct.unpack("<HH", self.read(directory + 12, 4))
        for i in range(named + numbered):
            ident, target = struct.unpack("<II", self.read(directory + 16 + 8 * i, 8))
            if wanted is not None and (ident & 0x80000000 or ident != wanted):
                continue
            return root + (target & 0x7FFFFFFF)
        return None

    # Checksum ----------------------------------------------------------------------

    def computed_checksum(self):
        return pe_checksum(self.data, self.checksum_offset)

    # Authenticode digest -------------------------------------------------------------

    def authenticode_digest(self, algorithm="sha256"):
        """The digest a signature or a catalog holds for the image: every byte but
        the header checksum, the certificate table's directory entry and the
        certificate table itself (the file offset in that entry, at the end of the
        file), so that signing or stamping the image leaves it unchanged."""
        security_entry = self.checksum_offset + 48 + 8 * DIR_SECURITY
        offset, size = self.directory(DIR_SECURITY)
        end = offset if size else len(self.data)
        digest = hashlib.new(algorithm)
        digest.update(self.data[: self.checksum_offset])
        digest.update(self.data[self.checksum_offset + 4 : security_entry])
        digest.update(self.data[security_entry + 8 : end])
        return digest.digest()


def pe_checksum(data, checksum_offset):
    """The optional header checksum: a folded 16-bit sum of the file, the checksum
    field itself counted as zero, plus the file length."""
    padded = bytes(data) + (b"\0" if len(data) % 2 else b"")
    words = struct.unpack("<%dH" % (len(padded) // 2), padded)
    total = sum(words) - sum(struct.unpack_from("<HH", padded, checksum_offset))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def stamp_checksum(path):
    with open(path, "rb") as f:
        data = bytearray(f.read())
    image = PeImage(data)
    struct.pack_into("<I", data, image.checksum_offset, pe_checksum(data, image.checksum_offset))
    with open(path, "wb") as f:
        f.write(data)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stamp-checksum", metavar="IMAGE", required=True)
    args = parser.parse_args(argv)
    stamp_checksum(args.stamp_checksum)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
