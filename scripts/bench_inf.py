#!/usr/bin/env python3
"""Fills a simulated machine's INF directory for the removal benchmark.

bench_inf.py INF_DIR COUNT EXPECTED_FILE IDS_FILE [dense]

Writes COUNT INF files of about 75 KB each, every one with its PNF: one in ten is UTF-16, one in
a hundred installs a supported hardware ID in a models section (ASCII or UTF-16 as the file is),
one in a hundred more names one only in a comment and in [Strings] (another vendor's INF that the
removal must read and keep), and every file names other vendors' PCI devices, so that the text the
IDs share is found often.  EXPECTED_FILE gets the names the removal must delete: the ASCII INFs
installing an ID and their PNFs.  With "dense" the
files name a PCI device every hundred bytes or so, as Windows' own INFs do (every line a model),
a sixteenth of them of the supported boards' vendor.
"""
import os
import sys

inf_dir, count, expected_path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
ids = [line.strip() for line in open(sys.argv[4]) if line.strip()]
dense = len(sys.argv) > 5 and sys.argv[5] == "dense"


def body(variant):
    lines = ["[Manufacturer]", "%Vendor%=Models,NTx86,NTamd64", "", "[Models.NTx86]"]
    size, n = 0, 0
    while size < 75_000:
        vendor = 0x1000 + (variant * 7 + n) % 0x0E00
        more = [f"%Dev{n}.Desc% = Install{n % 9}, PCI\\VEN_{vendor:04X}&DEV_{n:04X}&SUBSYS_{variant:04X}1E5C",
                "; near miss: pci\\ven_1e5c&dev_0410&subsys_00011e5c, PCI\\VEN_1E5C&DEV_0410&SUBSYS_0001",
                f"[Install{n}.Services]", f"AddService = svc{n},0x00000002,Service_Inst ; rev {variant}.{n}"]
        lines += more
        size += sum(len(l) + 2 for l in more)
        n += 1
    return lines

def dense_body(variant):
    lines = ["[Manufacturer]", "%Vendor%=Models,NTx86,NTamd64", "", "[Models.NTx86]"]
    size, n = 0, 0
    while size < 75_000:
        vendor = 0x1E5C if n % 16 == 5 else 0x8086 + (variant + n) % 5
        line = f"%Dev{n}.DeviceDesc% = Install{n % 9}, PCI\\VEN_{vendor:04X}&DEV_{(n * 37) % 0xFFFF:04X}&SUBSYS_{variant:04X}8086"
        lines.append(line)
        size += len(line) + 2
        n += 1
    return lines


# A few bodies, each file a header of its own before one of them: generating 20,000 files stays
# quick.
bodies = [(dense_body if dense else body)(variant) for variant in range(16)]
expected = []
for number in range(count):
    name = f"oem{number}"
    lines = ["[Version]", 'Signature="$WINDOWS NT$"', "Class=System", f"DriverVer=01/01/2020,1.0.{number}", ""]
    lines += bodies[number % len(bodies)]
    ours = number % 100 == 50
    mentions = number % 100 == 25
    utf16 = number % 10 == 3 or (ours and number % 200 == 150)
    middle = len(lines) // 2
    if ours:
        # The models section opened again: sections of one name are one section.
        lines[middle:middle] = ["[Models.NTx86]", f"%Board% = Install0, {ids[number % len(ids)]}"]
    if mentions:
        lines[middle:middle] = [f"; replaces {ids[number % len(ids)]}"]
        lines += ["[Strings]", f'Board = "{ids[number % len(ids)]}"']
    text = "\r\n".join(lines) + "\r\n"
    data = b"\xff\xfe" + text.encode("utf-16-le") if utf16 else text.encode("ascii")
    with open(os.path.join(inf_dir, name + ".inf"), "wb") as f:
        f.write(data)
    with open(os.path.join(inf_dir, name + ".pnf"), "wb") as f:
        f.write(b"PNF\0" + name.encode() * 20)
    if ours and not utf16:
        expected += [name + ".inf", name + ".pnf"]
with open(expected_path, "w") as f:
    f.write("".join(n + "\n" for n in sorted(expected)))
