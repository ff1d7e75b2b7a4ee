#!/usr/bin/env python3
"""Grows simulated machines for the benchmarks of boards, machine.ini and halvik-sim diff.

bench_machines.py boards MACHINE_INI COUNT
    Puts COUNT Tessaridge boards (row 1 of the supported IDs, each with its own bus and slot)
    into the machine's [hardware] section; halvik-sim reboot then gives each its device node.
bench_machines.py history REGISTRY_REG COUNT
    Appends COUNT device nodes of other vendors' devices whose boards are long gone (USB sticks,
    printers, disks, monitors seen once), as a lab PC's registry holds them: not present, not ours.
bench_machines.py ini MACHINE_INI COUNT
    Appends COUNT sections of one key each, and one section of COUNT keys.
bench_machines.py value REGISTRY_REG MEGABYTES SEED_FLIP
    Appends a key with a binary value of MEGABYTES; SEED_FLIP 1 flips one bit in its middle, so
    that two machines differ in that one value.
"""
import random
import re
import sys

kind, path, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
if kind == "boards":
    ven_dev = "PCI\\VEN_1E5C&DEV_0410"
    hardware = f"{ven_dev}&SUBSYS_00011E5C&REV_01,{ven_dev}&SUBSYS_00011E5C,{ven_dev}&CC_118000,{ven_dev}&CC_1180"
    compatible = (f"{ven_dev}&REV_01,{ven_dev},PCI\\VEN_1E5C&CC_118000,PCI\\VEN_1E5C&CC_1180,PCI\\VEN_1E5C,"
                  "PCI\\CC_118000,PCI\\CC_1180")
    lines = []
    for i in range(count):
        bus, slot = divmod(i, 32)
        instance = f"{ven_dev}&SUBSYS_00011E5C&REV_01\\5&{0x2A0000 + bus:X}&0&{slot * 8:04X}"
        lines.append(f"{instance} = {hardware} ; compatible = {compatible}\n")
    text = open(path, encoding="utf-8").read()
    found = re.search(r"^\[hardware\][^\n]*\n", text, re.M)
    if found:
        text = text[:found.end()] + "".join(lines) + text[found.end():]
    else:
        text = text.rstrip("\n") + "\n\n[hardware]\n" + "".join(lines)
    open(path, "w", encoding="utf-8").write(text)
elif kind == "history":
    def multi_sz(strings):
        data = "".join(s + "\0" for s in strings) + "\0"
        return "hex(7):" + ",".join(f"{b:02x}" for b in data.encode("utf-16-le"))
    families = [("USB", "USB\\VID_{:04X}&PID_{:04X}", ["USB\\Class_08&SubClass_06", "USB\\Class_08"]),
                ("USBPRINT", "USBPRINT\\VENDOR{:04X}MODEL{:04X}", ["GENERIC_PRINTER"]),
                ("DISPLAY", "MONITOR\\MON{:04X}{:04X}", ["*PNP09FF"]),
                ("PCI", "PCI\\VEN_8086&DEV_{:04X}&SUBSYS_{:04X}8086", ["PCI\\CC_0200"])]
    rng = random.Random(count)
    with open(path, "a", encoding="utf-8") as f:
        for i in range(count):
            _, pattern, compatible = families[i % len(families)]
            device = pattern.format(rng.randrange(0x10000), rng.randrange(0x10000))
            key = f"SYSTEM\\CurrentControlSet\\Enum\\{device}\\{i:08X}"
            f.write(f"\n[HKEY_LOCAL_MACHINE\\{key}]\n\"HardwareID\"={multi_sz([device + '&REV_01', device])}\n"
                    f"\"CompatibleIDs\"={multi_sz(compatible)}\n\"ConfigFlags\"=dword:00000000\n")
elif kind == "ini":
    with open(path, "a", encoding="utf-8") as f:
        f.write("".join(f"\n[bench{i}]\nkey = {i}\n" for i in range(count)))
        f.write("\n[bench_keys]\n" + "".join(f"key{i} = {i}\n" for i in range(count)))
elif kind == "value":
    rng = random.Random(1)
    data = bytearray(rng.randbytes(count * 1_000_000))
    if sys.argv[4] == "1":
        data[len(data) // 2] ^= 1
    with open(path, "a", encoding="utf-8") as f:
        f.write("\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\BenchValue]\n\"Data\"=hex:" + ",".join(f"{b:02x}" for b in data) + "\n")
else:
    sys.exit(f"bench_machines.py: unknown kind {kind}")
