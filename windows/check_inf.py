"""Checks that the driver's INF is well formed and installs what the build made.

    python3 check_inf.py quorvex.inf --service quorvex --file quorvex.sys --catalog quorvex.cat \
        --decoration NTamd64 --version 2.1.0.0 --hardware-id "USB\\VID_04B4&PID_1009" ... \
        --class USBDevice --class-guid {88BAE032-5A81-49F0-BC3D-A4FF138216D6} \
        --allow SY:GA --allow BA:GA --allow IU:GRGW --characteristics 0x100

--file names every file the build puts in the package, the driver image first, and
--catalog the package's catalog; the INF may name no other file (a file missing
from the package stops installation).

Prints one line per check and exits non-zero if any failed.
"""

import argparse
import re
import sys

GUID = re.compile(r"^\{[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}\}$")
DRIVER_VER = re.compile(r"^(\d\d)/(\d\d)/(\d{4})\s*,\s*(\d+\.\d+\.\d+\.\d+)$")
STRING_TOKEN = re.compile(r"%([^%]*)%")

SPSVCINST_ASSOCSERVICE = 0x2
FLG_ADDREG_TYPE_DWORD = 0x10001
SERVICE_KERNEL_DRIVER = 1
SERVICE_BOOT_START, SERVICE_DEMAND_START = 0, 3


class InfError(Exception):
    pass


class Inf:
    """Sections of (key or None, [values]) lines, keys and section names kept as
    written; comparisons are case-insensitive, as Windows makes them."""

    def __init__(self, text):
        self.sections = {}
        self.order = []
        current = None
        for number, raw in enumerate(text.splitlines(), 1):
            line = _strip_comment(raw).strip()
            if not line:
                continue
            if line.startswith("["):
                if not line.endswith("]"):
                    raise InfError("line %d: unterminated section name" % number)
                current = line[1:-1].strip()
                if current.lower() in self.sections:
                    raise InfError("line %d: section [%s] appears twice" % (number, current))
                self.sections[current.lower()] = []
                self.order.append(current)
                continue
            if current is None:
                raise InfError("line %d: entry outside any section" % number)
            key, values = _split_entry(line)
            self.sections[current.lower()].append((key, values))

    def has(self, name):
        return name.lower() in self.sections

    def lines(self, name):
        return self.sections.get(name.lower(), [])

    def values(self, section, key):
        return [v for k, v in self.lines(section) if k is not None and k.lower() == key.lower()]

    def value(self, section, key):
        found = self.values(section, key)
        return found[0] if found else None

    def strings(self):
        return {k.lower(): v[0] if v else "" for k, v in self.lines("Strings") if k is not None}


def _strip_comment(line):
    quoted = False
    for i, c in enumerate(line):
        if c == '"':
            quoted = not quoted
        elif c == ";" and not quoted:
            return line[:i]
    return line


def _split_entry(line):
    key = None
    if "=" in line:
        key, line = line.split("=", 1)
        key = key.strip()
    values, current, quoted = [], "", False
    for c in line:
        if c == '"':
            quoted = not quoted
        elif c == "," and not quoted:
            values.append(current.strip())
            current = ""
        else:
            current += c
    values.append(current.strip())
    return key, values


def _number(text):
    return int(text, 0)


# Checks -------------------------------------------------------------------------


# Longest class name and provider name Windows accepts (LINE_LEN for the latter).
MAX_CLASS_NAME, MAX_PROVIDER_NAME = 32, 256


def _expanded(inf, value):
    strings = inf.strings()
    return STRING_TOKEN.sub(lambda m: strings.get(m.group(1).lower(), m.group(0)), value)


def check_version(inf, expect):
    problems = []
    signature = (inf.value("Version", "Signature") or [""])[0]
    if signature.lower() not in ("$windows nt$", "$chicago$"):
        problems.append("Signature %r is neither $Windows NT$ nor $Chicago$" % signature)
    for key in ("Class", "ClassGuid", "Provider", "DriverVer"):
        if inf.value("Version", key) is None:
            problems.append("no %s" % key)
    name = (inf.value("Version", "Class") or [""])[0]
    if len(name) > MAX_CLASS_NAME:
        problems.append("Class name longer than %d characters" % MAX_CLASS_NAME)
    provider = (inf.value("Version", "Provider") or [""])[0]
    if len(_expanded(inf, provider)) > MAX_PROVIDER_NAME:
        problems.append("Provider name longer than %d characters" % MAX_PROVIDER_NAME)
    lockdown = inf.value("Version", "PnpLockdown")
    if lockdown is not None and lockdown != ["0"] and lockdown != ["1"]:
        problems.append("PnpLockdown %s is neither 0 nor 1" % ",".join(lockdown))
    guid = inf.value("Version", "ClassGuid")
    if guid and not GUID.match(guid[0]):
        problems.append("ClassGuid %s is not a GUID" % guid[0])
    driver_ver = inf.value("Version", "DriverVer")
    if driver_ver:
        match = DRIVER_VER.match(", ".join(driver_ver))
        if not match:
            problems.append("DriverVer %s is not mm/dd/yyyy,a.b.c.d" % ",".join(driver_ver))
        elif match.group(4) != expect.version:
            problems.append("DriverVer version %s, not %s" % (match.group(4), expect.version))
        elif not (1 <= int(match.group(1)) <= 12 and 1 <= int(match.group(2)) <= 31):
            problems.append("DriverVer date %s" % driver_ver[0])
    return not problems, "; ".join(problems) if problems else "Class %s" % name


def _catalog_entries(inf):
    """{key as written: file name} of every CatalogFile entry of [Version]."""
    return {
        k: (v[0] if v else "")
        for k, v in inf.lines("Version")
        if k is not None and (k.lower() == "catalogfile" or k.lower().startswith("catalogfile."))
    }


def check_catalog(inf, expect):
    """The catalog Windows checks the package against on the wanted platform: the
    decorated entry for it if there is one, else the undecorated one. It sits
    beside the INF, so no file list names it, and each entry names its own file."""
    entries = _catalog_entries(inf)
    lowered = {k.lower(): v for k, v in entries.items()}
    chosen = lowered.get("catalogfile." + expect.decoration.lower(), lowered.get("catalogfile"))
    problems = []
    if chosen is None:
        problems.append("no CatalogFile for %s: Windows would take the package as unsigned" % expect.decoration)
    elif chosen.lower() != expect.catalog.lower():
        problems.append("CatalogFile names %s, not %s" % (chosen, expect.catalog))
    for key, name in sorted(entries.items()):
        if not name.lower().endswith(".cat") or "\\" in name or "/" in name:
            problems.append("%s = %s is not a bare .cat file name" % (key, name))
    names = [name.lower() for name in entries.values()]
    if len(names) != len(set(names)):
        problems.append("two CatalogFile entries name one file")
    listed = {k.lower() for k, _ in inf.lines("SourceDisksFiles")}
    for section in inf.order:
        for entry in inf.values(section, "CopyFiles"):
            for name in entry:
                listed |= {name[1:].lower()} if name.startswith("@") else {v[0].lower() for k, v in inf.lines(name) if k is None}
    for name in sorted(set(names) & listed):
        problems.append("%s is listed as a file to copy" % name)
    return not problems, "; ".join(problems) if problems else "CatalogFile %s" % chosen


def check_class(inf, expect):
    name = (inf.value("Version", "Class") or [""])[0]
    guid = (inf.value("Version", "ClassGuid") or [""])[0]
    problems = []
    if name.lower() != expect.class_name.lower():
        problems.append("Class %s, not %s" % (name, expect.class_name))
    if guid.lower() != expect.class_guid.lower():
        problems.append("ClassGuid %s, not %s" % (guid, expect.class_guid))
    return not problems, "; ".join(problems) if problems else "%s %s" % (name, guid)


def _models_sections(inf, expect):
    """The Models sections named by [Manufacturer] for the wanted decoration."""
    sections = []
    for _, values in inf.lines("Manufacturer"):
        base, decorations = values[0], [d.lower() for d in values[1:]]
        if expect.decoration.lower() not in decorations:
            raise InfError("manufacturer %s has no %s models" % (base, expect.decoration))
        sections.append("%s.%s" % (base, expect.decoration))
    if not sections:
        raise InfError("no [Manufacturer] entries")
    return sections


def _install_section(inf, name, expect):
    """The DDInstall section Windows would pick for the wanted decoration."""
    for candidate in ("%s.%s" % (name, expect.decoration), "%s.NT" % name, name):
        if inf.has(candidate):
            return candidate
    raise InfError("no install section %s" % name)


def _models(inf, expect):
    """[(hardware id, install section)] over every Models section."""
    found = []
    for section in _models_sections(inf, expect):
        if not inf.has(section):
            raise InfError("no [%s] section" % section)
        for key, values in inf.lines(section):
            if key is None or len(values) < 2:
                raise InfError("[%s]: entry without install section and hardware id" % section)
            install = _install_section(inf, values[0], expect)
            found.extend((hardware_id, install) for hardware_id in values[1:])
    return found


def models_hardware_ids(inf, decoration):
    """The hardware ids the INF installs on the platform of `decoration`, in order."""
    return [hardware_id for hardware_id, _ in _models(inf, argparse.Namespace(decoration=decoration))]


def check_models(inf, expect):
    found = [hardware_id.upper() for hardware_id, _ in _models(inf, expect)]
    wanted = [hardware_id.upper() for hardware_id in expect.hardware_id]
    problems = []
    extra = sorted(set(found) - set(wanted))
    missing = sorted(set(wanted) - set(found))
    if extra:
        problems.append("unexpected ids %s" % ", ".join(extra))
    if missing:
        problems.append("missing ids %s" % ", ".join(missing))
    if len(found) != len(set(found)):
        problems.append("an id is listed twice")
    return not problems, "; ".join(problems) if problems else "%d hardware ids" % len(found)


def _copied_files(inf, install):
    files = []
    for entry in inf.values(install, "CopyFiles"):
        for name in entry:
            if name.startswith("@"):
                files.append((name[1:], None))
                continue
            if not inf.has(name):
                raise InfError("CopyFiles section [%s] missing" % name)
            files.extend((values[0], name) for key, values in inf.lines(name) if key is None)
    return files


def check_files(inf, expect):
    problems = []
    disks = {k for k, _ in inf.lines("SourceDisksNames")}
    sources = {k.lower(): v[0] for k, v in inf.lines("SourceDisksFiles")}
    destinations = {k.lower() for k, _ in inf.lines("DestinationDirs")}
    installs = sorted({install for _, install in _models(inf, expect)})
    copied = set()
    for install in installs:
        for name, section in _copied_files(inf, install):
            copied.add(name.lower())
            if sources.get(name.lower()) not in disks:
                problems.append("%s has no source disk" % name)
            if section and section.lower() not in destinations and "defaultdestdir" not in destinations:
                problems.append("no destination for [%s]" % section)
    image = expect.file[0]
    if image.lower() not in copied:
        problems.append("%s is not copied" % image)
    named = copied | set(sources) | {name.lower() for name in _catalog_entries(inf).values()}
    built = {name.lower() for name in expect.file + [expect.catalog]}
    for name in sorted(named - built):
        problems.append("names %s, which the build does not make" % name)
    return not problems, "; ".join(problems) if problems else "copies %s" % ", ".join(sorted(copied))


def check_service(inf, expect):
    problems = []
    installs = sorted({install for _, install in _models(inf, expect)})
    for install in installs:
        services = install + ".Services"
        added = [v for v in inf.values(services, "AddService") if v[0].lower() == expect.service.lower()]
        if len(added) != 1:
            problems.append("[%s] does not add service %s once" % (services, expect.service))
            continue
        name, flags, section = added[0][:3]
        if not _number(flags) & SPSVCINST_ASSOCSERVICE:
            problems.append("%s is not the function driver (flags %s)" % (name, flags))
        if not inf.has(section):
            problems.append("no [%s] section" % section)
            continue
        fields = {k.lower(): v[0] for k, v in inf.lines(section) if k is not None}
        if _number(fields.get("servicetype", "-1")) != SERVICE_KERNEL_DRIVER:
            problems.append("ServiceType is not a kernel driver")
        if not SERVICE_BOOT_START <= _number(fields.get("starttype", "-1")) <= SERVICE_DEMAND_START:
            problems.append("StartType %s" % fields.get("starttype"))
        if "errorcontrol" not in fields:
            problems.append("no ErrorControl")
        binary = fields.get("servicebinary", "")
        if not binary.lower().endswith("\\" + expect.file[0].lower()):
            problems.append("ServiceBinary %r is not %s" % (binary, expect.file[0]))
    return not problems, "; ".join(problems) if problems else "kernel service %s" % expect.service


def _device_registry(inf, install):
    """(value name, flags, value) of every HKR line the install's .HW section adds."""
    found = []
    for entry in inf.values(install + ".HW", "AddReg"):
        for section in entry:
            if not inf.has(section):
                raise InfError("AddReg section [%s] missing" % section)
            for key, values in inf.lines(section):
                line = ([key] if key is not None else []) + values
                if len(line) >= 5 and line[0].upper() == "HKR" and not line[1]:
                    found.append((line[2].lower(), line[3], line[4]))
    return found


def check_security(inf, expect):
    """The device's own security: the descriptor Plug and Play puts on its device
    objects, and the characteristics that make it guard names below the device."""
    problems = []
    for install in sorted({install for _, install in _models(inf, expect)}):
        values = _device_registry(inf, install)
        security = [value for name, _, value in values if name == "security"]
        if security != [expect.security]:
            problems.append("[%s.HW] sets Security %s, not %s" % (install, security or "nothing", expect.security))
        wanted = _number(expect.characteristics)
        found = [(flags, value) for name, flags, value in values if name == "devicecharacteristics"]
        if len(found) != 1 or _number(found[0][0] or "0") != FLG_ADDREG_TYPE_DWORD:
            problems.append("[%s.HW] does not set DeviceCharacteristics once as a DWORD" % install)
        elif _number(found[0][1]) & wanted != wanted:
            problems.append("DeviceCharacteristics %s lacks %s" % (found[0][1], expect.characteristics))
    return not problems, "; ".join(problems) if problems else "Security %s" % expect.security


def check_strings(inf, expect):
    defined = inf.strings()
    undefined = set()
    for section in inf.order:
        if section.lower() == "strings":
            continue
        for key, values in inf.lines(section):
            for text in [key or ""] + values:
                for token in STRING_TOKEN.findall(text):
                    if not token.isdigit() and token.lower() not in defined:
                        undefined.add(token)
    ok = not undefined
    return ok, ("undefined strings %s" % ", ".join(sorted(undefined))) if undefined else "%d strings" % len(defined)


def check_sections(inf, expect):
    required = ["Version", "Manufacturer", "SourceDisksNames", "SourceDisksFiles", "DestinationDirs", "Strings"]
    missing = [name for name in required if not inf.has(name)]
    return not missing, ("missing [%s]" % "], [".join(missing)) if missing else "required sections present"


CHECKS = [
    ("sections", check_sections),
    ("version", check_version),
    ("catalog", check_catalog),
    ("class", check_class),
    ("models", check_models),
    ("files", check_files),
    ("service", check_service),
    ("security", check_security),
    ("strings", check_strings),
]


def run_checks(text, expect):
    try:
        inf = Inf(text)
    except InfError as error:
        return [("parse", False, str(error))]
    results = []
    for name, check in CHECKS:
        try:
            ok, detail = check(inf, expect)
        except (InfError, ValueError, IndexError) as error:
            ok, detail = False, str(error)
        results.append((name, ok, detail))
    return results


def security_descriptor(allowed):
    """The SDDL of a protected DACL allowing each SID:rights in turn."""
    aces = "".join("(A;;%s;;;%s)" % tuple(reversed(item.split(":", 1))) for item in allowed)
    return "D:P" + aces


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("inf")
    parser.add_argument("--service", required=True)
    parser.add_argument("--file", action="append", required=True, help="file the build makes; the image first")
    parser.add_argument("--catalog", required=True, help="the package's catalog file")
    parser.add_argument("--decoration", required=True, help="platform decoration, e.g. NTamd64")
    parser.add_argument("--version", required=True)
    parser.add_argument("--hardware-id", action="append", required=True)
    parser.add_argument("--class", dest="class_name", required=True, help="device setup class name")
    parser.add_argument("--class-guid", required=True)
    parser.add_argument("--allow", action="append", required=True, help="SID:rights of the device's security")
    parser.add_argument("--characteristics", required=True, help="device characteristics bits it must set")
    args = parser.parse_args(argv)
    args.security = security_descriptor(args.allow)
    return args


def main(argv):
    expect = parse_args(argv)
    with open(expect.inf, encoding="ascii") as f:
        results = run_checks(f.read(), expect)
    for name, ok, detail in results:
        print("%s - %s: %s" % ("ok  " if ok else "FAIL", name, detail))
    failed = sum(not ok for _, ok, _ in results)
    print("%d passed, %d failed" % (len(results) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
