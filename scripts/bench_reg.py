#!/usr/bin/env python3
"""Grows a simulated machine's registry.reg for the registry benchmark.

bench_reg.py REGISTRY_REG MEGABYTES utf-8|utf-16

Appends keys below HKLM\\SOFTWARE\\Bench, each with a string, a DWORD and a binary value, until the
file holds about MEGABYTES, and writes it in the encoding given (UTF-16 little-endian with a
byte-order mark, as reg export writes it).
"""
import sys

path, megabytes, encoding = sys.argv[1], int(sys.argv[2]), sys.argv[3]
text = open(path, encoding="utf-8-sig").read().rstrip("\n") + "\n"
unit = 2 if encoding == "utf-16" else 1
parts, size, i = [text], len(text) * unit, 0
while size < megabytes * 1_000_000:
    binary = ",".join(f"{(i + b) % 256:02x}" for b in range(48))
    block = (f"\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench\\Group{i // 100}\\Key{i}]\n"
             f"\"Name\"=\"Board {i} of the benchmark\"\n\"Index\"=dword:{i:08x}\n"
             f"\"Data\"=hex:{binary[:75]}\\\n  {binary[75:]}\n")
    parts.append(block)
    size += len(block) * unit
    i += 1
data = "".join(parts).replace("\n", "\r\n")
with open(path, "wb") as f:
    f.write(b"\xff\xfe" + data.encode("utf-16-le") if encoding == "utf-16" else data.encode("utf-8"))
