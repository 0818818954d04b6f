"""Checks the driver package's catalog: that it lists the digests of the package's
files as they are now, and that its signature verifies.

    python3 check_catalog.py quorvex.cat --file quorvex.sys --file quorvex.inf \\
        --inf quorvex.inf --os _v100_X64 \\
        --signed-by test-certificate.pem --osslsigncode osslsigncode

--file names every file of the package, the driver image first. Prints one line
per check and exits non-zero if any failed.
"""

import argparse
import os
import sys

import catalog
import der
from check_image import Result, osslsigncode_verify, report
from check_inf import Inf, models_hardware_ids


def check_format(cat, files, expect):
    problems = []
    if cat.usage != catalog.CATALOG_LIST:
        problems.append("the list's usage is %s, not a catalog" % cat.usage)
    if cat.member_algorithm != catalog.CATALOG_LIST_MEMBER_V2:
        problems.append("members are %s, not SHA-256 catalog members" % cat.member_algorithm)
    if cat.signers != 1:
        problems.append("%d signers" % cat.signers)
    return not problems, "; ".join(problems) if problems else "%d members, one signer" % len(cat.members)


def check_members(cat, files, expect):
    # Each file once, under its name and the digest Windows computes for it now;
    # nothing else.
    problems = []
    by_name = {}
    for m in cat.members:
        by_name.setdefault(m.names.get("File", "").lower(), []).append(m)
    for name, data in files:
        digest, is_pe = catalog.file_digest(data)
        found = by_name.pop(name.lower(), [])
        kind = catalog.SPC_PE_IMAGE_DATA if is_pe else catalog.SPC_FLAT_FILE_DATA
        if len(found) != 1:
            problems.append("%s is listed %d times" % (name, len(found)))
        elif found[0].algorithm != catalog.SHA256 or found[0].kind != kind:
            problems.append("%s is not listed by its SHA-256 %s digest" % (name, "image" if is_pe else "file"))
        elif found[0].digest != digest or found[0].identifier != digest:
            problems.append("%s has changed since it was listed" % name)
        elif found[0].names.get("OSAttr") != expect.os_attr:
            problems.append("%s is listed for systems %s" % (name, found[0].names.get("OSAttr")))
    for name in sorted(by_name):
        problems.append("lists %s, which is not in the package" % (name or "a member without a file name"))
    shown = ", ".join(name for name, _ in files)
    return not problems, "; ".join(problems) if problems else "lists %s as they are" % shown


def check_list_attributes(cat, files, expect):
    with open(expect.inf, encoding="ascii") as f:
        wanted = [hwid.lower() for hwid in models_hardware_ids(Inf(f.read()), expect.decoration)]
    listed = [v for k, v in sorted(cat.names.items(), key=lambda kv: kv[0]) if k.startswith("HWID")]
    problems = []
    if cat.names.get("OS") != expect.os_name:
        problems.append("OS is %s, not %s" % (cat.names.get("OS"), expect.os_name))
    if sorted(listed) != sorted(wanted):
        problems.append("hardware ids %s, not the INF's %s" % (", ".join(listed), ", ".join(wanted)))
    return not problems, "; ".join(problems) if problems else "OS %s, %d hardware ids" % (expect.os_name, len(wanted))


def check_signature(cat, files, expect):
    ok, said = osslsigncode_verify(expect.osslsigncode, expect.signed_by, ["-in", expect.catalog])
    if ok:
        return True, "signature verifies against %s" % os.path.basename(expect.signed_by)
    return False, "osslsigncode verify: %s" % said


def check_image_in_catalog(cat, files, expect):
    # osslsigncode's own digest of the image, looked up in the catalog: a second
    # reading of both.
    image = expect.file[0]
    ok, said = osslsigncode_verify(expect.osslsigncode, expect.signed_by, ["-catalog", expect.catalog, "-in", image])
    if ok:
        return True, "osslsigncode finds %s in the catalog" % os.path.basename(image)
    return False, "osslsigncode verify -catalog: %s" % said


CHECKS = [
    ("format", check_format),
    ("members", check_members),
    ("list attributes", check_list_attributes),
    ("signature", check_signature),
    ("image in catalog", check_image_in_catalog),
]


def run_checks(expect):
    with open(expect.catalog, "rb") as f:
        data = f.read()
    files = []
    for path in expect.file:
        with open(path, "rb") as f:
            files.append((os.path.basename(path), f.read()))
    try:
        cat = catalog.read_catalog(data)
    except (der.DerError, ValueError, IndexError) as error:
        return [Result("format", False, "cannot read: %s" % error)]
    results = []
    for name, check in CHECKS:
        try:
            ok, detail = check(cat, files, expect)
        except (der.DerError, ValueError, IndexError) as error:
            ok, detail = False, "cannot read: %s" % error
        results.append(Result(name, ok, detail))
    return results


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("catalog")
    parser.add_argument("--file", action="append", required=True, help="a file of the package; the image first")
    parser.add_argument("--inf", required=True, help="the package's INF, for its hardware ids")
    parser.add_argument("--decoration", default="NTamd64")
    parser.add_argument("--os", dest="os_name", required=True, help="the systems the catalog is for")
    parser.add_argument("--os-attr", required=True, help="the members' system versions")
    parser.add_argument("--signed-by", required=True, help="the certificate the signature must verify against")
    parser.add_argument("--osslsigncode", default="osslsigncode")
    return parser.parse_args(argv)


def main(argv):
    return report(run_checks(parse_args(argv)))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
