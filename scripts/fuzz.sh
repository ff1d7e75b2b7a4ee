#!/bin/sh
# Fuzzes the readers of a simulated machine's files (registry.reg, machine.ini, fault lines)
# with libFuzzer under the address and undefined-behaviour sanitizers.
#   scripts/fuzz.sh [SECONDS]     default 60; findings land in build/fuzz/
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
out="$root/build/fuzz"
mkdir -p "$out/corpus"
cxx=$(command -v clang++-14 || command -v clang++)
"$cxx" -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -I"$root/src" -I"$root/tests" "$root/tests/fuzz/sim_files_fuzz.cpp" \
  "$root/src/platform/sim/machine/text.cpp" "$root/src/platform/sim/machine/ini.cpp" \
  "$root/src/platform/sim/machine/keys.cpp" "$root/src/platform/sim/machine/reg_read.cpp" \
  "$root/src/platform/sim/machine/reg_write.cpp" "$root/src/platform/sim/machine/hive.cpp" \
  "$root/src/platform/sim/machine/reg_lines.cpp" "$root/src/platform/sim/machine/reg_parts.cpp" -o "$out/sim_files_fuzz"
# Seeds: the machines' own files, a byte in front picking the reader.
for template in "$root"/tests/unit/sim/*.reg "$root"/tests/scenario/*.reg; do
  [ -f "$template" ] || continue
  { printf '\001'; cat "$template"; } >"$out/corpus/$(basename "$template").seed"
done
printf '\000[system]\nplatform = 2\n[faults]\nRegOpenKeyExA SYSTEM\\X #2 = 5 ; a comment\n' >"$out/corpus/ini.seed"
printf '\001Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\A]\n"s"="x"\n"d"=dword:00000001\n"b"=hex:01,\\\n  02\n"m"=hex(7):41,00,00,00,00,00\n@="d"\n[-HKEY_LOCAL_MACHINE\\A\\B]\n"s"=-\n' \
  >"$out/corpus/reg.seed"
cd "$out"
exec ./sim_files_fuzz -max_total_time="$seconds" -max_len=4096 -timeout=10 corpus
