"""Checks that a linked driver image is one the Windows kernel will load as ours.

Every expectation comes from the command line, so the build states them once:

    python3 check_image.py quorvex.sys --entry CamDriverEntry \
        --import ntoskrnl.exe --import USBD.SYS \
        --version 2.1.0.0 --string "FileDescription=USB Camera Driver File" \
        [--objdump x86_64-w64-mingw32-objdump] \
        [--signed-by test-certificate.pem --osslsigncode osslsigncode] \
        [--readme README.md]

Prints one line per check and exits non-zero if any failed.
"""

import argparse
import os
import re
import struct
import subprocess
import sys

from pe_image import DIR_BASERELOC, DIR_TLS, IMAGE_FILE_MACHINE_AMD64, RT_VERSION, PeError, PeImage

IMAGE_SUBSYSTEM_NATIVE = 1
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE = 0x0040
IMAGE_DLLCHARACTERISTICS_WDM_DRIVER = 0x2000
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000
IMAGE_REL_BASED_ABSOLUTE = 0
IMAGE_REL_BASED_DIR64 = 10
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD
PAGE_SIZE = 0x1000

# Sections only a user-mode runtime gives an image: thread-local storage (the
# kernel never runs TLS callbacks or allocates TLS slots for a driver) and the C
# runtime's initialiser tables.
FORBIDDEN_SECTIONS = {".tls", ".CRT", ".ctors", ".dtors", ".init_array", ".fini_array"}

# Startup and support code of the mingw C runtime; none may be linked in.
CRT_SYMBOLS = {
    "mainCRTStartup",
    "WinMainCRTStartup",
    "DllMainCRTStartup",
    "_CRT_INIT",
    "__main",
    "__do_global_ctors",
    "__do_global_dtors",
    "_pei386_runtime_relocator",
    "atexit",
    "_onexit",
    "__cxa_atexit",
    "__cxa_guard_acquire",
}


class Result:
    def __init__(self, name, ok, detail):
        self.name = name
        self.ok = ok
        self.detail = detail

    def __str__(self):
        return "%s - %s: %s" % ("ok  " if self.ok else "FAIL", self.name, self.detail)


# Image layout ------------------------------------------------------------------


def check_machine(image, expect):
    ok = image.machine == IMAGE_FILE_MACHINE_AMD64
    return ok, "machine 0x%x, PE32+" % image.machine


def check_subsystem(image, expect):
    return image.subsystem == IMAGE_SUBSYSTEM_NATIVE, "subsystem %d (native is 1)" % image.subsystem


def check_entry_point(image, expect):
    target = image.symbol_rva(expect.entry)
    if target is None:
        return False, "no symbol %s in the image's symbol table" % expect.entry
    section = image.section_of(image.entry_point_rva)
    if section is None or not section.characteristics & IMAGE_SCN_MEM_EXECUTE:
        return False, "entry point 0x%x is not in executable code" % image.entry_point_rva
    ok = image.entry_point_rva == target
    return ok, "entry point 0x%x, %s at 0x%x" % (image.entry_point_rva, expect.entry, target)


def check_relocatable(image, expect):
    # The kernel maps a driver wherever it finds room, far above 4 GiB: the image
    # needs its base relocations, and a 32-bit absolute one (HIGHLOW) there
    # could not hold the relocated address.
    if image.file_characteristics & IMAGE_FILE_RELOCS_STRIPPED:
        return False, "base relocations stripped"
    if not image.dll_characteristics & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE:
        return False, "not marked DYNAMIC_BASE"
    types = image.base_relocation_types()
    if not types.get(IMAGE_REL_BASED_DIR64):
        return False, "no 64-bit base relocations (%s)" % types
    others = {t: n for t, n in types.items() if t not in (IMAGE_REL_BASED_ABSOLUTE, IMAGE_REL_BASED_DIR64)}
    return not others, "relocation types %s" % dict(sorted(types.items()))


def check_driver_flags(image, expect):
    ok = bool(image.dll_characteristics & IMAGE_DLLCHARACTERISTICS_WDM_DRIVER)
    return ok, "DllCharacteristics 0x%04x (WDM_DRIVER 0x2000)" % image.dll_characteristics


def check_sections(image, expect):
    # No page both writable and executable, page-aligned sections: what
    # memory integrity requires of a driver image.
    problems = []
    for s in image.sections:
        if s.characteristics & IMAGE_SCN_MEM_WRITE and s.characteristics & IMAGE_SCN_MEM_EXECUTE:
            problems.append("%s is writable and executable" % s.name)
        if s.name in FORBIDDEN_SECTIONS:
            problems.append("%s section present" % s.name)
    if image.section_alignment != PAGE_SIZE:
        problems.append("section alignment 0x%x" % image.section_alignment)
    if image.directory(DIR_TLS) != (0, 0):
        problems.append("TLS directory present")
    names = " ".join(s.name for s in image.sections)
    return not problems, "; ".join(problems) if problems else names


def check_checksum(image, expect):
    computed = image.computed_checksum()
    return image.checksum == computed, "header 0x%08x, computed 0x%08x" % (image.checksum, computed)


# Imports and runtime -----------------------------------------------------------


def check_imports(image, expect):
    # Exactly the libraries stated: one more is a dependency nobody decided on, one
    # fewer means the statement has gone stale.
    imported = list(image.imports())
    present = {name.lower() for name in imported}
    wanted = {name.lower() for name in expect.imports}
    problems = []
    foreign = [name for name in imported if name.lower() not in wanted]
    missing = [name for name in expect.imports if name.lower() not in present]
    if foreign:
        problems.append("imports from %s" % ", ".join(foreign))
    if missing:
        problems.append("does not import %s" % ", ".join(missing))
    return not problems, "; ".join(problems) if problems else "imports %s" % ", ".join(imported)


README_IMPORTS = re.compile(r"importing only ((?:`[^`]+`(?:,\s*|\s+and\s+)?)+)")


def check_readme_imports(image, expect):
    # What the README tells a reader the image imports, against the image.
    with open(expect.readme, encoding="utf-8") as f:
        text = f.read()
    claims = README_IMPORTS.findall(text)
    if not claims:
        return False, "no \"importing only `...`\" sentence in %s" % os.path.basename(expect.readme)
    imported = sorted(name.lower() for name in image.imports())
    wrong = [c for c in claims if sorted(n.lower() for n in re.findall(r"`([^`]+)`", c)) != imported]
    if wrong:
        said = ", ".join(re.findall(r"`([^`]+)`", wrong[0]))
        return False, "the README says the image imports %s; it imports %s" % (said, ", ".join(image.imports()))
    return True, "the README names the image's imports"


def _pointer_list(image, symbol):
    """Entries of a -1 ... 0 bracketed pointer list the GNU linker builds."""
    rva = image.symbol_rva(symbol)
    if rva is None:
        return None
    if image.u64(rva) != 0xFFFFFFFFFFFFFFFF:
        return ["bad list head 0x%x" % image.u64(rva)]
    entries = []
    rva += 8
    while image.u64(rva) != 0:
        entries.append("0x%x" % image.u64(rva))
        rva += 8
    return entries


def check_no_constructors(image, expect):
    # Nothing runs a driver's static constructors or destructors.
    problems = []
    for symbol in ("__CTOR_LIST__", "__DTOR_LIST__"):
        entries = _pointer_list(image, symbol)
        if entries is None:
            problems.append("no %s symbol to inspect" % symbol)
        elif entries:
            problems.append("%s holds %s" % (symbol, ", ".join(entries)))
    start = image.symbol_rva("__RUNTIME_PSEUDO_RELOC_LIST__")
    end = image.symbol_rva("__RUNTIME_PSEUDO_RELOC_LIST_END__")
    if start != end:
        problems.append("runtime pseudo-relocations present")
    return not problems, "; ".join(problems) if problems else "constructor and destructor lists empty"


def check_no_c_runtime(image, expect):
    defined = {s.name for s in image.symbols() if s.section_number > 0}
    linked = sorted(defined & CRT_SYMBOLS)
    return not linked, ("C runtime symbols %s" % ", ".join(linked)) if linked else "no C runtime symbols"


# Version resource ---------------------------------------------------------------


def _version_blocks(data, at, end):
    """Yields (key, value bytes, value type, children) of the blocks in data[at:end]."""
    while at + 6 <= end:
        length, value_length, value_type = struct.unpack_from("<HHH", data, at)
        if length == 0:
            break
        key_end = at + 6
        while data[key_end : key_end + 2] != b"\0\0":
            key_end += 2
        key = data[at + 6 : key_end].decode("utf-16-le")
        value_at = (key_end + 2 + 3) & ~3
        value_size = value_length * 2 if value_type == 1 else value_length
        value = data[value_at : value_at + value_size]
        children_at = (value_at + value_size + 3) & ~3
        yield key, value, value_type, (children_at, at + length)
        at = (at + length + 3) & ~3


def read_version_resource(image):
    """(fixed file info fields, {string name: value}) of the first version resource."""
    found = image.resource(RT_VERSION, 1)
    if found is None:
        raise PeError("no version resource")
    rva, size = found
    data = image.read(rva, size)
    blocks = list(_version_blocks(data, 0, len(data)))
    if not blocks or blocks[0][0] != "VS_VERSION_INFO":
        raise PeError("version resource has no VS_VERSION_INFO block")
    _, fixed, _, (children_at, children_end) = blocks[0]
    fields = struct.unpack_from("<13I", fixed)
    strings = {}
    for key, _, _, (at, end) in _version_blocks(data, children_at, children_end):
        if key != "StringFileInfo":
            continue
        for _table, _, _, (table_at, table_end) in _version_blocks(data, at, end):
            for name, value, _, _ in _version_blocks(data, table_at, table_end):
                strings[name] = value.decode("utf-16-le").rstrip("\0")
    return fields, strings


def _dotted(ms, ls):
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def check_fixed_version(image, expect):
    fields, _ = read_version_resource(image)
    if fields[0] != VS_FIXEDFILEINFO_SIGNATURE:
        return False, "fixed file info signature 0x%x" % fields[0]
    file_version = _dotted(fields[2], fields[3])
    product_version = _dotted(fields[4], fields[5])
    ok = file_version == expect.version and product_version == expect.version
    return ok, "file version %s, product version %s, expected %s" % (file_version, product_version, expect.version)


def check_version_strings(image, expect):
    _, strings = read_version_resource(image)
    wanted = dict(item.split("=", 1) for item in expect.string)
    wanted.setdefault("FileVersion", expect.version)
    wanted.setdefault("ProductVersion", expect.version)
    wrong = ["%s is %r, not %r" % (k, strings.get(k), v) for k, v in sorted(wanted.items()) if strings.get(k) != v]
    shown = ", ".join("%s=%r" % (k, strings.get(k)) for k in sorted(wanted))
    return not wrong, "; ".join(wrong) if wrong else shown


# Second opinion ------------------------------------------------------------------


def check_objdump_agrees(image, expect):
    # An independent reader of the same headers, so a fault in this script's
    # parsing cannot pass the image on its own.
    out = subprocess.run([expect.objdump, "-p", expect.image], capture_output=True, text=True, check=True).stdout
    subsystem = re.search(r"^Subsystem\s+([0-9a-fA-F]+)", out, re.M)
    entry = re.search(r"^AddressOfEntryPoint\s+([0-9a-fA-F]+)", out, re.M)
    dlls = re.findall(r"DLL Name: (\S+)", out)
    problems = []
    if not subsystem or int(subsystem.group(1), 16) != image.subsystem:
        problems.append("subsystem %s" % (subsystem.group(1) if subsystem else "missing"))
    if not entry or int(entry.group(1), 16) != image.entry_point_rva:
        problems.append("entry point %s" % (entry.group(1) if entry else "missing"))
    if sorted(dlls) != sorted(image.imports()):
        problems.append("imports %s" % ", ".join(dlls))
    return not problems, "; ".join(problems) if problems else "subsystem, entry point and imports agree"


def osslsigncode_verify(osslsigncode, certificate, arguments):
    """(verified, what osslsigncode said last) of `osslsigncode verify` with
    `arguments`, trusting only `certificate`."""
    run = subprocess.run(
        [osslsigncode, "verify", "-CAfile", certificate] + arguments, capture_output=True, text=True
    )
    ok = run.returncode == 0 and "Signature verification: ok" in run.stdout
    lines = [line for line in (run.stdout + run.stderr).splitlines() if line.strip()]
    failures = [line for line in lines if "failed" in line.lower()]
    return ok and not failures, (failures or lines or ["exit %d" % run.returncode])[-1]


def check_signature(image, expect):
    # The embedded signature must verify against the certificate it was made with,
    # over the image as it stands: a byte changed after signing breaks it.
    ok, said = osslsigncode_verify(expect.osslsigncode, expect.signed_by, ["-in", expect.image])
    if ok:
        return True, "signature verifies against %s" % os.path.basename(expect.signed_by)
    return False, "osslsigncode verify: %s" % said


UNW_FLAG_EHANDLER = 1
GUARDED_CALL = "CamCallGuarded"


def _jump_target(image, rva):
    """The import a `jmp *slot(%rip)` thunk at rva goes through, or None."""
    code = image.read(rva, 6)
    if code[:2] != b"\xff\x25":
        return None
    slot = rva + 6 + struct.unpack("<i", code[2:])[0]
    return image.import_slots().get(slot)


def _has_call(code):
    """A near call, direct (E8) or through a register or memory (FF /2)."""
    return 0xE8 in code or any(code[i] == 0xFF and (code[i + 1] >> 3) & 7 == 2 for i in range(len(code) - 1))


def check_guarded_call(image, expect):
    """The driver's one exception frame catches: its unwind information names the
    kernel's C scope handler, with a scope that always handles and covers a call."""
    rva = image.symbol_rva(GUARDED_CALL)
    if rva is None:
        return False, "no %s" % GUARDED_CALL
    function = image.runtime_function(rva)
    if function is None or function[0] != rva:
        return False, "%s has no unwind information" % GUARDED_CALL
    begin, end, unwind = function
    version_flags, _, codes, _ = struct.unpack("<BBBB", image.read(unwind, 4))
    if (version_flags >> 3) & UNW_FLAG_EHANDLER == 0:
        return False, "%s's unwind information names no exception handler" % GUARDED_CALL
    at = unwind + 4 + 2 * (codes + (codes & 1))
    handler = _jump_target(image, image.u32(at))
    if handler != ("ntoskrnl.exe", "__C_specific_handler"):
        return False, "%s's handler goes to %s" % (GUARDED_CALL, handler)
    count = image.u32(at + 4)
    for scope in range(count):
        first, last, filter_rva, target = struct.unpack("<IIII", image.read(at + 8 + 16 * scope, 16))
        if filter_rva == 1 and begin <= first < last <= end and begin <= target < end and _has_call(
            image.read(first, last - first)):
            return True, "scope %#x-%#x handled at %#x" % (first, last, target)
    return False, "no scope of %s always handles a call" % GUARDED_CALL


CHECKS = [
    ("machine", check_machine),
    ("subsystem", check_subsystem),
    ("entry point", check_entry_point),
    ("relocations", check_relocatable),
    ("driver flags", check_driver_flags),
    ("sections", check_sections),
    ("checksum", check_checksum),
    ("imports", check_imports),
    ("constructors", check_no_constructors),
    ("c runtime", check_no_c_runtime),
    ("fixed version", check_fixed_version),
    ("version strings", check_version_strings),
    ("guarded call", check_guarded_call),
]


def run_checks(image, expect):
    checks = list(CHECKS)
    if expect.objdump:
        checks.append(("objdump", check_objdump_agrees))
    if expect.signed_by:
        checks.append(("signature", check_signature))
    if expect.readme:
        checks.append(("readme", check_readme_imports))
    results = []
    for name, check in checks:
        try:
            ok, detail = check(image, expect)
        except (PeError, ValueError, IndexError, struct.error, subprocess.CalledProcessError) as error:
            ok, detail = False, "cannot read: %s" % error
        results.append(Result(name, ok, detail))
    return results


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("image")
    parser.add_argument("--entry", required=True, help="name of the entry point routine")
    parser.add_argument("--import", dest="imports", action="append", required=True, help="DLL the image imports; all of them")
    parser.add_argument("--version", required=True, help="file and product version, a.b.c.d")
    parser.add_argument("--string", action="append", default=[], help="NAME=VALUE of the version string table")
    parser.add_argument("--objdump", help="objdump of the target toolchain, for a second reading")
    parser.add_argument("--signed-by", help="certificate the embedded signature must verify against")
    parser.add_argument("--osslsigncode", default="osslsigncode", help="the verifier of embedded signatures")
    parser.add_argument("--readme", help="a README whose \"importing only\" sentences must name the imports")
    return parser.parse_args(argv)


def main(argv):
    expect = parse_args(argv)
    try:
        image = PeImage.load(expect.image)
    except (OSError, PeError) as error:
        print("FAIL - image: %s" % error)
        return 1
    return report(run_checks(image, expect))


def report(results):
    """Prints one line per check and the count; the exit status."""
    for result in results:
        print(result)
    failed = sum(not r.ok for r in results)
    print("%d passed, %d failed" % (len(results) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
