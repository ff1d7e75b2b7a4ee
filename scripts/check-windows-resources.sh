#!/usr/bin/env bash
# Reads the application manifest and the version resource back from the built Windows programs
# and fails unless each says what Windows, Explorer and deployment tools must see: elevation
# required (requireAdministrator), the Windows versions from Vista to 11 as supported, the
# project version as file and product version, and the product's names.
#
# Usage: scripts/check-windows-resources.sh [PROGRAM.exe...]
#        (default: build/win32/install.exe build/win64/installx64.exe; the expected names are
#        chosen by the file name, install.exe or installx64.exe)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/ensure-packages.sh" python3
version=$(sed -n 's/^project(halvik_install VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[[ -n "$version" ]] || { echo "check-windows-resources: no project version in CMakeLists.txt" >&2; exit 1; }
if [[ $# -eq 0 ]]; then
  set -- "$root/build/win32/install.exe" "$root/build/win64/installx64.exe"
fi

exec python3 - "$version" "$@" <<'PY'
import os
import struct
import sys
import xml.etree.ElementTree as ET

RT_VERSION, RT_MANIFEST = 16, 24
PRODUCT = "Quillant(R) Tessaridge(R) Device Driver Installer"
COMPANY = "Quillant"
# Machine type and the descriptions of each program.
PROGRAMS = {
    "install.exe": (0x014C, "Quillant(R) Tessaridge(R) driver installer"),
    "installx64.exe": (0x8664, "Quillant(R) Tessaridge(R) driver installer, 64-bit device counterpart"),
}
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Windows Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10 and 11",
}
VOS_NT_WINDOWS32, VFT_APP = 0x00040004, 1


class Bad(Exception):
    pass


def u16(data, offset):
    return struct.unpack_from("<H", data, offset)[0]


def u32(data, offset):
    return struct.unpack_from("<I", data, offset)[0]


def read_resources(data):
    """The PE file's resources as {(type, name, language): bytes}; names are ids or strings."""
    if data[:2] != b"MZ":
        raise Bad("not a Windows program (no MZ header)")
    pe = u32(data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        raise Bad("not a PE file")
    coff = pe + 4
    machine, sections = u16(data, coff), u16(data, coff + 2)
    optional = coff + 20
    magic = u16(data, optional)
    if magic == 0x10B:
        count, directories = u32(data, optional + 92), optional + 96
    elif magic == 0x20B:
        count, directories = u32(data, optional + 108), optional + 112
    else:
        raise Bad("unknown optional header 0x%x" % magic)
    section_table = optional + u16(data, coff + 16)
    spans = []
    for i in range(sections):
        s = section_table + 40 * i
        spans.append((u32(data, s + 12), max(u32(data, s + 8), u32(data, s + 16)), u32(data, s + 20)))

    def offset_of(rva):
        for start, size, raw in spans:
            if start <= rva < start + size:
                return raw + rva - start
        raise Bad("address 0x%x is in no section" % rva)

    if count <= 2 or u32(data, directories + 16) == 0:
        return machine, {}
    base = offset_of(u32(data, directories + 16))

    def name_of(field):
        if field & 0x80000000:
            at = base + (field & 0x7FFFFFFF)
            return data[at + 2:at + 2 + 2 * u16(data, at)].decode("utf-16-le")
        return field

    resources = {}

    def walk(directory, path, depth):
        if depth > 2:
            raise Bad("resource tree deeper than type/name/language")
        entries = u16(data, directory + 12) + u16(data, directory + 14)
        for i in range(entries):
            entry = directory + 16 + 8 * i
            key, target = name_of(u32(data, entry)), u32(data, entry + 4)
            if target & 0x80000000:
                walk(base + (target & 0x7FFFFFFF), path + (key,), depth + 1)
            else:
                if depth != 2:
                    raise Bad("resource data outside a language directory")
                leaf = base + target
                at, size = offset_of(u32(data, leaf)), u32(data, leaf + 4)
                resources[path + (key,)] = data[at:at + size]

    walk(base, (), 0)
    return machine, resources


def one_resource(resources, rtype, what):
    found = {k: v for k, v in resources.items() if k[0] == rtype}
    if not found:
        raise Bad("no %s resource" % what)
    if len(found) != 1 or next(iter(found))[1] != 1:
        raise Bad("%s resources must be exactly one, id 1; found %s" % (what, sorted(k[1:] for k in found)))
    return next(iter(found.values()))


def check_manifest(raw, version):
    problems = []
    try:
        root = ET.fromstring(raw)
    except ET.ParseError as error:
        return ["manifest is not well-formed XML: %s" % error]
    local = lambda element: element.tag.rsplit("}", 1)[-1]
    if root.tag != "{urn:schemas-microsoft-com:asm.v1}assembly" or root.get("manifestVersion") != "1.0":
        problems.append("manifest root is not an asm.v1 assembly of manifestVersion 1.0")
    identities = [e for e in root if local(e) == "assemblyIdentity"]
    if len(identities) != 1 or identities[0].get("type") != "win32" or not identities[0].get("name"):
        problems.append("manifest lacks one assemblyIdentity of type win32 with a name")
    elif identities[0].get("version") != version + ".0":
        problems.append("manifest assembly version %s, expected %s.0" % (identities[0].get("version"), version))
    levels = [e for e in root.iter() if local(e) == "requestedExecutionLevel"]
    if [(e.get("level"), e.get("uiAccess", "false")) for e in levels] != [("requireAdministrator", "false")]:
        problems.append("manifest execution level %s, expected requireAdministrator without uiAccess"
                        % [e.attrib for e in levels])
    ids = [e.get("Id", "").lower() for e in root.iter() if local(e) == "supportedOS"]
    missing = [name for guid, name in SUPPORTED_OS.items() if guid not in ids]
    unknown = [guid for guid in ids if guid not in SUPPORTED_OS]
    if missing or unknown or len(ids) != len(set(ids)):
        problems.append("manifest supportedOS: missing %s, unknown %s, %d entries" % (missing, unknown, len(ids)))
    return problems


def version_tree(data, offset=0):
    """One VS_VERSIONINFO-style block: (key, type, value bytes, children), and where it ends."""
    length, value_length, value_type = struct.unpack_from("<HHH", data, offset)
    end = offset + length
    if length < 6 or end > len(data):
        raise Bad("version resource block at %d has a bad length" % offset)
    p = offset + 6
    key_end = p
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
        if key_end >= end:
            raise Bad("version resource key not terminated")
    key = data[p:key_end].decode("utf-16-le")
    p = (key_end + 2 + 3) & ~3
    size = value_length * 2 if value_type == 1 else value_length
    value = data[p:p + size]
    p = (p + size + 3) & ~3
    children = []
    while p < end:
        child, p = version_tree(data, p)
        children.append(child)
        p = (p + 3) & ~3
    return (key, value_type, value, children), end


def check_version(raw, version, file_name, description):
    problems = []
    (key, _, fixed, children), _ = version_tree(raw)
    if key != "VS_VERSION_INFO" or len(fixed) != 52 or u32(fixed, 0) != 0xFEEF04BD:
        return ["version resource has no VS_FIXEDFILEINFO"]
    major, minor, patch = (int(n) for n in version.split("."))
    quad = ((major << 16) | minor, patch << 16)
    file_version, product_version = struct.unpack_from("<II", fixed, 8), struct.unpack_from("<II", fixed, 16)
    if file_version != quad or product_version != quad:
        problems.append("binary file/product version %s/%s, expected %s.0" % (
            "%d.%d.%d.%d" % (file_version[0] >> 16, file_version[0] & 0xFFFF, file_version[1] >> 16, file_version[1] & 0xFFFF),
            "%d.%d.%d.%d" % (product_version[0] >> 16, product_version[0] & 0xFFFF, product_version[1] >> 16, product_version[1] & 0xFFFF),
            version))
    if u32(fixed, 32) != VOS_NT_WINDOWS32 or u32(fixed, 36) != VFT_APP:
        problems.append("version resource is not marked as a Windows NT application")
    blocks = {child[0]: child for child in children}
    translations = []
    if "VarFileInfo" in blocks:
        for var in blocks["VarFileInfo"][3]:
            if var[0] == "Translation":
                translations += ["%04x%04x" % struct.unpack_from("<HH", var[2], i) for i in range(0, len(var[2]), 4)]
    tables = {t[0].lower(): t for t in blocks.get("StringFileInfo", ("", 0, b"", []))[3]}
    if "040904b0" not in tables or translations != ["040904b0"]:
        return problems + ["version strings: expected one U.S. English Unicode table (040904b0) named in "
                           "the translation, found tables %s, translations %s" % (sorted(tables), translations)]
    strings = {s[0]: s[2].decode("utf-16-le").rstrip("\0") for s in tables["040904b0"][3]}
    expected = {
        "CompanyName": COMPANY,
        "ProductName": PRODUCT,
        "FileDescription": description,
        "OriginalFilename": file_name,
        "InternalName": file_name[:-4],
        "FileVersion": version,
        "ProductVersion": version,
    }
    for name, want in expected.items():
        if strings.get(name) != want:
            problems.append("version string %s is %r, expected %r" % (name, strings.get(name), want))
    return problems


def main():
    version, paths = sys.argv[1], sys.argv[2:]
    failed = False
    for path in paths:
        name = os.path.basename(path)
        problems = []
        try:
            if name.lower() not in PROGRAMS:
                raise Bad("unknown program; expected one of %s" % ", ".join(PROGRAMS))
            machine_wanted, description = PROGRAMS[name.lower()]
            with open(path, "rb") as f:
                data = f.read()
            machine, resources = read_resources(data)
            if machine != machine_wanted:
                problems.append("machine 0x%04x, expected 0x%04x" % (machine, machine_wanted))
            problems += check_manifest(one_resource(resources, RT_MANIFEST, "manifest"), version)
            problems += check_version(one_resource(resources, RT_VERSION, "version"), version, name, description)
        except (Bad, OSError, struct.error, UnicodeDecodeError) as error:
            problems.append(str(error))
        if problems:
            failed = True
            for problem in problems:
                print("check-windows-resources: %s: %s" % (path, problem), file=sys.stderr)
        else:
            print("check-windows-resources: %s: requireAdministrator, Windows Vista to 11, version %s" % (name, version))
    return 1 if failed else 0


sys.exit(main())
PY
