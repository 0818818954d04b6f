"""The image and INF checks must catch what they are there to catch.

Each case damages a copy of the built image or of the INF in one way, or states
one wrong expectation, and asserts that exactly the checks meant for it fail.
Run by ctest with QUORVEX_IMAGE, QUORVEX_INF, QUORVEX_CATALOG, QUORVEX_OBJDUMP,
QUORVEX_CERTIFICATE, QUORVEX_TEST_KEY and QUORVEX_OSSLSIGNCODE set.
"""

import os
import struct
import subprocess
import tempfile
import unittest

import catalog
import check_catalog
import check_image
import check_inf
from pe_image import DIR_BASERELOC, RT_VERSION, PeImage, pe_checksum


def _environment(name):
    value = os.environ.get(name)
    if not value:
        raise RuntimeError("%s is not set; run these tests through ctest" % name)
    return value


IMAGE_ARGS = [
    "--entry", "CamDriverEntry",
    "--import", "ntoskrnl.exe", "--import", "USBD.SYS",
    "--version", "2.1.0.0",
    "--string", "FileDescription=USB Camera Driver File",
    "--string", "OriginalFilename=quorvex.sys",
]  # fmt: skip


class ImageChecks(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(_environment("QUORVEX_IMAGE"), "rb") as f:
            cls.pristine = f.read()
        cls.objdump = _environment("QUORVEX_OBJDUMP")
        cls.certificate = _environment("QUORVEX_CERTIFICATE")
        cls.osslsigncode = _environment("QUORVEX_OSSLSIGNCODE")
        cls.image = PeImage(cls.pristine)

    def failures(self, data, extra_args=(), stamp=True, signed_by=None):
        """Names of the checks that fail on data, written out so objdump reads it too.
        The signature is checked only when asked for: every other damage breaks it."""
        data = bytearray(data)
        if stamp:
            image = PeImage(data)
            struct.pack_into("<I", data, image.checksum_offset, pe_checksum(data, image.checksum_offset))
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, "quorvex.sys")
            with open(path, "wb") as f:
                f.write(data)
            signature = ["--signed-by", signed_by, "--osslsigncode", self.osslsigncode] if signed_by else []
            args = [path] + IMAGE_ARGS + ["--objdump", self.objdump] + signature + list(extra_args)
            results = check_image.run_checks(PeImage(data), check_image.parse_args(args))
        readme = "--readme" in extra_args
        self.assertEqual(len(results), len(check_image.CHECKS) + 1 + bool(signed_by) + readme)
        return {r.name for r in results if not r.ok}

    def patched(self, rva_or_offset, payload, is_rva=True):
        data = bytearray(self.pristine)
        at = self.image.offset_of(rva_or_offset) if is_rva else rva_or_offset
        data[at : at + len(payload)] = payload
        return data

    def header_offset(self, field):
        """File offset of an optional-header field, from the checksum's known place."""
        return self.image.checksum_offset + {"subsystem": 4, "dll": 6, "entry": -48}[field]

    def section_header(self, name):
        (pe,) = struct.unpack_from("<I", self.pristine, 0x3C)
        (opt_size,) = struct.unpack_from("<H", self.pristine, pe + 20)
        index = [s.name for s in self.image.sections].index(name)
        return pe + 24 + opt_size + 40 * index

    def test_built_image_passes(self):
        self.assertEqual(self.failures(self.pristine, stamp=False, signed_by=self.certificate), set())

    def test_signature(self):
        # A code byte changed after signing, the signature taken out, and a
        # certificate other than the signer's: each fails the signature alone, with
        # the checksum stamped again as a tamperer would.
        text = next(s for s in self.image.sections if s.name == ".text")
        changed = self.patched(text.virtual_address, bytes([self.pristine[text.raw_offset] ^ 1]))
        unsigned = bytearray(self.pristine)
        struct.pack_into("<II", unsigned, self.directory_entry(4), 0, 0)
        with tempfile.TemporaryDirectory() as scratch:
            other = os.path.join(scratch, "other.pem")
            subprocess.run(
                ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=Other"]
                + ["-keyout", os.path.join(scratch, "other.key"), "-out", other],
                check=True,
                capture_output=True,
            )
            for name, data, certificate in [
                ("changed byte", changed, self.certificate),
                ("no signature", unsigned, self.certificate),
                ("other certificate", self.pristine, other),
            ]:
                with self.subTest(name):
                    self.assertEqual(self.failures(data, signed_by=certificate), {"signature"})

    def directory_entry(self, index):
        """File offset of a data directory entry: the table starts 48 bytes after the checksum."""
        return self.image.checksum_offset + 48 + 8 * index

    def test_gui_subsystem(self):
        data = bytearray(self.pristine)
        struct.pack_into("<H", data, self.header_offset("subsystem"), 2)
        self.assertEqual(self.failures(data), {"subsystem"})

    def test_entry_point_elsewhere(self):
        data = bytearray(self.pristine)
        struct.pack_into("<I", data, self.header_offset("entry"), self.image.entry_point_rva + 0x10)
        self.assertEqual(self.failures(data), {"entry point"})

    def test_wrong_entry_name(self):
        self.assertEqual(self.failures(self.pristine, ["--entry", "DriverEntry"]), {"entry point"})

    def dll_name_rva(self, dll):
        for name_rva in self._import_name_rvas():
            if self.image.cstring(name_rva) == dll:
                return name_rva
        self.fail("%s is not imported" % dll)

    def _import_name_rvas(self):
        rva = self.image.directory(1)[0]
        while self.image.u32(rva + 12):
            yield self.image.u32(rva + 12)
            rva += 20

    def test_c_runtime_import(self):
        # The exception frame's handler is a kernel import too: it now comes from the runtime.
        data = self.patched(self.dll_name_rva("ntoskrnl.exe"), b"msvcrt.dll\0\0")
        self.assertEqual(self.failures(data), {"imports", "guarded call"})

    def guarded_call_scope(self):
        """RVA of the first scope record of the guarded call's unwind information."""
        _, _, unwind = self.image.runtime_function(self.image.symbol_rva(check_image.GUARDED_CALL))
        codes = self.image.read(unwind + 2, 1)[0]
        return unwind + 4 + 2 * (codes + (codes & 1)) + 8

    def test_guarded_call_that_does_not_catch(self):
        scope = self.guarded_call_scope()
        first, last = struct.unpack("<II", self.image.read(scope, 8))
        for name, rva, payload in [
            ("filter that declines", scope + 8, struct.pack("<I", 0)),
            ("scope that misses the call", scope, struct.pack("<II", last, last + 1)),
            ("no scope", scope - 4, struct.pack("<I", 0)),
        ]:
            with self.subTest(name):
                self.assertEqual(self.failures(self.patched(rva, payload)), {"guarded call"})

    def test_usbd_not_imported(self):
        data = self.patched(self.dll_name_rva("USBD.SYS"), b"USBX.SYS")
        self.assertEqual(self.failures(data), {"imports"})

    def test_import_expected_but_absent(self):
        self.assertEqual(self.failures(self.pristine, ["--import", "HAL.dll"]), {"imports"})

    def test_readme_claims(self):
        # The README's sentence about the imports, right and wrong, and missing.
        for text, failed in [
            ("importing only `ntoskrnl.exe` and\n`USBD.SYS`, with", set()),
            ("importing only `ntoskrnl.exe`, `HAL.dll` and `USBD.SYS`, with", {"readme"}),
            ("importing only `USBD.SYS`.", {"readme"}),
            ("importing from the kernel", {"readme"}),
        ]:
            with self.subTest(text), tempfile.TemporaryDirectory() as scratch:
                readme = os.path.join(scratch, "README.md")
                with open(readme, "w") as f:
                    f.write("It produces `quorvex.sys`, " + text + " a version resource.\n")
                self.assertEqual(self.failures(self.pristine, ["--readme", readme]), failed)

    def version_resource(self):
        rva, size = self.image.resource(RT_VERSION, 1)
        return rva, self.image.read(rva, size)

    def test_wrong_version_expected(self):
        failed = self.failures(self.pristine, ["--version", "2.1.0.1"])
        self.assertEqual(failed, {"fixed version", "version strings"})

    def test_fixed_version_damaged(self):
        rva, data = self.version_resource()
        fixed = data.index(struct.pack("<I", 0xFEEF04BD))
        # dwFileVersionLS: 0.0 becomes 0.1.
        patched = self.patched(rva + fixed + 12, struct.pack("<I", 1))
        self.assertEqual(self.failures(patched), {"fixed version"})

    def test_description_damaged(self):
        rva, data = self.version_resource()
        at = data.index("USB Camera Driver File".encode("utf-16-le"))
        patched = self.patched(rva + at, "USB Camera Driver Fild".encode("utf-16-le"))
        self.assertEqual(self.failures(patched), {"version strings"})

    def test_wrong_description_expected(self):
        failed = self.failures(self.pristine, ["--string", "FileDescription=USB Camera Driver"])
        self.assertEqual(failed, {"version strings"})

    def test_tls_section(self):
        data = self.patched(self.section_header(".rsrc"), b".tls\0\0\0\0", is_rva=False)
        self.assertEqual(self.failures(data), {"sections"})

    def test_writable_code(self):
        at = self.section_header(".text") + 36
        (flags,) = struct.unpack_from("<I", self.pristine, at)
        data = self.patched(at, struct.pack("<I", flags | check_image.IMAGE_SCN_MEM_WRITE), is_rva=False)
        self.assertEqual(self.failures(data), {"sections"})

    def test_global_constructor(self):
        ctor_list = self.image.symbol_rva("__CTOR_LIST__")
        data = self.patched(ctor_list + 8, struct.pack("<Q", self.image.image_base + 0x1000))
        self.assertIn("constructors", self.failures(data))

    def test_c_runtime_symbol(self):
        # Give some short-named defined symbol the name of a C runtime routine.
        data = bytearray(self.pristine)
        index = 0
        while index < self.image.symbol_count:
            entry = self.image.symbol_table_offset + 18 * index
            (section,) = struct.unpack_from("<h", data, entry + 12)
            if data[entry : entry + 4] != b"\0\0\0\0" and section > 0 and data[entry] != ord("."):
                data[entry : entry + 8] = b"atexit\0\0"
                break
            index += 1 + data[entry + 17]
        else:
            self.fail("no short symbol name to rename")
        self.assertEqual(self.failures(data), {"c runtime"})

    def first_relocation_entry(self):
        rva = self.image.directory(DIR_BASERELOC)[0]
        return rva + 8

    def test_32_bit_relocation(self):
        entry = self.first_relocation_entry()
        value = self.image.u16(entry)
        data = self.patched(entry, struct.pack("<H", (3 << 12) | (value & 0xFFF)))
        self.assertEqual(self.failures(data), {"relocations"})

    def test_relocations_stripped(self):
        (pe,) = struct.unpack_from("<I", self.pristine, 0x3C)
        (flags,) = struct.unpack_from("<H", self.pristine, pe + 22)
        data = self.patched(pe + 22, struct.pack("<H", flags | 1), is_rva=False)
        self.assertEqual(self.failures(data), {"relocations"})

    def test_not_a_wdm_driver(self):
        data = bytearray(self.pristine)
        flags = self.image.dll_characteristics & ~check_image.IMAGE_DLLCHARACTERISTICS_WDM_DRIVER
        struct.pack_into("<H", data, self.header_offset("dll"), flags)
        self.assertEqual(self.failures(data), {"driver flags"})

    def test_stale_checksum(self):
        data = bytearray(self.pristine)
        struct.pack_into("<I", data, self.image.checksum_offset, self.image.checksum ^ 1)
        self.assertEqual(self.failures(data, stamp=False), {"checksum"})


class InfChecks(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(_environment("QUORVEX_INF"), encoding="ascii") as f:
            cls.pristine = f.read()
        ids = []
        for product in ("1009", "100A", "100B", "100C", "100D", "100E", "100F"):
            ids += ["--hardware-id", "USB\\VID_04B4&PID_" + product]
        cls.expect = check_inf.parse_args(
            ["quorvex.inf", "--service", "quorvex", "--file", "quorvex.sys", "--catalog", "quorvex.cat"]
            + ["--decoration", "NTamd64"]
            + ["--version", "2.1.0.0", "--class", "USBDevice", "--class-guid", "{88BAE032-5A81-49F0-BC3D-A4FF138216D6}"]
            + ["--allow", "SY:GA", "--allow", "BA:GA", "--allow", "IU:GRGW", "--characteristics", "0x100"]
            + ids
        )

    def failures(self, old=None, new=None):
        text = self.pristine
        if old is not None:
            self.assertIn(old, text)
            text = text.replace(old, new)
        return {name for name, ok, _ in check_inf.run_checks(text, self.expect) if not ok}

    def test_shipped_inf_passes(self):
        self.assertEqual(self.failures(), set())

    def test_missing_product(self):
        self.assertEqual(self.failures("USB\\VID_04B4&PID_100F", "USB\\VID_04B4&PID_100E"), {"models"})

    def test_extra_product(self):
        self.assertEqual(self.failures("USB\\VID_04B4&PID_100F", "USB\\VID_04B4&PID_1010"), {"models"})

    def test_no_amd64_models(self):
        failed = self.failures("Quorvex, NTamd64", "Quorvex, NTx86")
        self.assertEqual(failed, {"models", "files", "service", "security"})

    def test_missing_install_section(self):
        failed = self.failures("[Quorvex_Install.NTamd64]\n", "[Quorvex_Setup.NTamd64]\n")
        self.assertEqual(failed, {"models", "files", "service", "security"})

    def test_class(self):
        self.assertEqual(self.failures("{88BAE032-5A81-", "{88BAE032-5A8"), {"version", "class"})
        self.assertEqual(self.failures("Class       = USBDevice", "Class       = Camera"), {"class"})
        self.assertEqual(self.failures("{88BAE032-5A81-", "{98BAE032-5A81-"), {"class"})

    def test_catalog(self):
        for old, new, failed in [
            ("CatalogFile = quorvex.cat\n", "", {"catalog"}),
            ("CatalogFile = quorvex.cat", "CatalogFile.NTx86 = quorvex.cat", {"catalog"}),
            ("CatalogFile = quorvex.cat", "CatalogFile = quorvex.cat\nCatalogFile.NTamd64 = quorvex.cat", {"catalog"}),
            ("quorvex.sys = 1", "quorvex.sys = 1\nquorvex.cat = 1", {"catalog"}),
            # Names of files the build does not make fail the file list too.
            ("CatalogFile = quorvex.cat", "CatalogFile = other.cat", {"catalog", "files"}),
            ("CatalogFile = quorvex.cat", "CatalogFile = quorvex.cat\nCatalogFile.NTamd64 = other.cat", {"catalog", "files"}),
            ("CatalogFile = quorvex.cat", "CatalogFile = drivers\\quorvex.cat", {"catalog", "files"}),
            ("[Quorvex_CopyFiles]\nquorvex.sys", "[Quorvex_CopyFiles]\nquorvex.sys\nquorvex.cat", {"catalog", "files"}),
            # The platform's own entry wins over the undecorated one.
            ("CatalogFile = quorvex.cat", "CatalogFile = other.cat\nCatalogFile.NTamd64 = quorvex.cat", {"files"}),
        ]:
            with self.subTest(new or "without " + old):
                self.assertEqual(self.failures(old, new), failed)

    def test_version_section(self):
        # As documented: either signature, in any case; a class name of at most 32
        # characters; PnpLockdown 0 or 1.
        for old, new, failed in [
            ('"$WINDOWS NT$"', '"$Windows NT$"', set()),
            ('"$WINDOWS NT$"', '"$Chicago$"', set()),
            ('"$WINDOWS NT$"', '"$Windows 95$"', {"version"}),
            ("PnpLockdown = 1", "PnpLockdown = 2", {"version"}),
            ('ProviderName         = "Quorvex"', 'ProviderName = "%s"' % ("Q" * 257), {"version"}),
        ]:
            with self.subTest(new):
                self.assertEqual(self.failures(old, new), failed)

    def test_security(self):
        for old, new in [
            ("(A;;GRGW;;;IU)", "(A;;GA;;;WD)"),
            ("(A;;GA;;;BA)", ""),
            ("DeviceCharacteristics,0x10001,0x100", "DeviceCharacteristics,0x10001,0x0"),
            ("DeviceCharacteristics,0x10001,0x100", "DeviceCharacteristics,0x0,0x100"),
            ("HKR,,DeviceCharacteristics,0x10001,0x100\n", ""),
            ("AddReg = Quorvex_Device_AddReg\n", ""),
        ]:
            with self.subTest(new or "without " + old):
                self.assertEqual(self.failures(old, new), {"security"})

    def test_wrong_driver_version(self):
        self.assertEqual(self.failures(",2.1.0.0", ",2.0.0.0"), {"version"})

    def test_user_mode_service(self):
        self.assertEqual(self.failures("ServiceType   = 1", "ServiceType   = 16"), {"service"})

    def test_service_not_function_driver(self):
        self.assertEqual(self.failures("quorvex, 0x00000002,", "quorvex, 0x00000000,"), {"service"})

    def test_wrong_service_binary(self):
        self.assertEqual(self.failures("%12%\\quorvex.sys", "%12%\\camera.sys"), {"service"})

    def test_file_without_source_disk(self):
        self.assertEqual(self.failures("quorvex.sys = 1", "quorvex.sys = 2"), {"files"})

    def test_undefined_string(self):
        self.assertEqual(self.failures("%DiskName%", "%DiskLabel%"), {"strings"})

    def test_duplicate_section(self):
        self.assertEqual(self.failures("[Strings]", "[Version]"), {"parse"})


class CatalogChecks(unittest.TestCase):
    """The catalog checks against packages changed after the catalog was made, and
    catalogs made or signed wrongly."""

    @classmethod
    def setUpClass(cls):
        cls.catalog = _environment("QUORVEX_CATALOG")
        cls.certificate = _environment("QUORVEX_CERTIFICATE")
        cls.key = _environment("QUORVEX_TEST_KEY")
        cls.osslsigncode = _environment("QUORVEX_OSSLSIGNCODE")
        with open(_environment("QUORVEX_IMAGE"), "rb") as f:
            cls.image = f.read()
        with open(_environment("QUORVEX_INF"), "rb") as f:
            cls.inf = f.read()

    def failures(self, image=None, inf=None, cat=None, certificate=None):
        """Names of the checks that fail on the package with the parts given
        replaced; `cat` may be a function of the scratch folder that writes one."""
        with tempfile.TemporaryDirectory() as scratch:
            paths = {}
            for name, data in [("quorvex.sys", image or self.image), ("quorvex.inf", inf or self.inf)]:
                paths[name] = os.path.join(scratch, name)
                with open(paths[name], "wb") as f:
                    f.write(data)
            cat_path = cat(scratch) if cat else self.catalog
            args = [cat_path, "--file", paths["quorvex.sys"], "--file", paths["quorvex.inf"]]
            args += ["--inf", paths["quorvex.inf"], "--os", "_v100_X64", "--os-attr", "2:10.0"]
            args += ["--signed-by", certificate or self.certificate, "--osslsigncode", self.osslsigncode]
            results = check_catalog.run_checks(check_catalog.parse_args(args))
        return {r.name for r in results if not r.ok}

    def signed(self, scratch, unsigned, name="made.cat", key=None, certificate=None):
        source = os.path.join(scratch, name + ".unsigned")
        with open(source, "wb") as f:
            f.write(unsigned)
        out = os.path.join(scratch, name)
        subprocess.run(
            [self.osslsigncode, "sign", "-certs", certificate or self.certificate, "-key", key or self.key]
            + ["-h", "sha256", "-in", source, "-out", out],
            check=True,
            capture_output=True,
        )
        return out

    def made(self, files, os_name="_v100_X64", hardware_ids=None):
        import datetime

        ids = check_inf.models_hardware_ids(check_inf.Inf(self.inf.decode("ascii")), "NTamd64")
        when = datetime.datetime.now(datetime.timezone.utc)
        return catalog.unsigned_catalog(files, os_name, "2:10.0", ids if hardware_ids is None else hardware_ids, when)

    def test_built_catalog_passes(self):
        self.assertEqual(self.failures(), set())

    def test_remade_catalog_passes(self):
        # The generator and the reader agree on a catalog made here.
        unsigned = self.made([("quorvex.sys", self.image), ("quorvex.inf", self.inf)])
        self.assertEqual(self.failures(cat=lambda scratch: self.signed(scratch, unsigned)), set())

    def test_package_changed_after_cataloging(self):
        text = bytearray(self.image)
        text[0x400] ^= 1
        self.assertEqual(self.failures(image=bytes(text)), {"members", "image in catalog"})
        self.assertEqual(self.failures(inf=self.inf + b"; edited\r\n"), {"members"})

    def test_members_wrong(self):
        for name, files in [
            ("no INF", [("quorvex.sys", self.image)]),
            ("another file", [("quorvex.sys", self.image), ("quorvex.inf", self.inf), ("x.dll", b"x")]),
            ("INF listed as the image", [("quorvex.sys", self.image), ("quorvex.inf", self.image)]),
        ]:
            with self.subTest(name):
                unsigned = self.made(files)
                self.assertEqual(self.failures(cat=lambda scratch: self.signed(scratch, unsigned)), {"members"})

    def test_list_attributes_wrong(self):
        files = [("quorvex.sys", self.image), ("quorvex.inf", self.inf)]
        for name, unsigned in [
            ("other systems", self.made(files, os_name="_v63_X64")),
            ("a hardware id short", self.made(files, hardware_ids=["USB\\VID_04B4&PID_1009"])),
        ]:
            with self.subTest(name):
                failed = self.failures(cat=lambda scratch: self.signed(scratch, unsigned))
                self.assertEqual(failed, {"list attributes"})

    def test_signature_wrong(self):
        with open(self.catalog, "rb") as f:
            built = f.read()
        unsigned = self.made([("quorvex.sys", self.image), ("quorvex.inf", self.inf)])

        def unsigned_copy(scratch):
            path = os.path.join(scratch, "unsigned.cat")
            with open(path, "wb") as f:
                f.write(unsigned)
            return path

        def other_signer(scratch):
            key, certificate = os.path.join(scratch, "other.key"), os.path.join(scratch, "other.pem")
            subprocess.run(
                ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=Other"]
                + ["-keyout", key, "-out", certificate],
                check=True,
                capture_output=True,
            )
            return self.signed(scratch, unsigned, key=key, certificate=certificate)

        def member_changed(scratch):
            # One byte of a listed digest, after signing.
            data = bytearray(built)
            digest, _ = catalog.file_digest(self.inf)
            at = data.rindex(digest)
            data[at] ^= 1
            path = os.path.join(scratch, "changed.cat")
            with open(path, "wb") as f:
                f.write(data)
            return path

        self.assertEqual(self.failures(cat=unsigned_copy), {"format", "signature", "image in catalog"})
        self.assertEqual(self.failures(cat=other_signer), {"signature", "image in catalog"})
        self.assertEqual(self.failures(cat=member_changed), {"members", "signature", "image in catalog"})


if __name__ == "__main__":
    unittest.main()
