#!/usr/bin/env bash
# Benchmarks the removal's INF scan against grep and the registry's load and save against cp.
#
# scripts/bench.sh [WORK_DIR]      (default: /tmp/halvik-bench; needs about 2.3 GB there)
#
# Builds the optimised programs (release preset), makes a machine from the xp template and one
# copy of it per INF directory size (BENCH_SIZES, default "200 2000 20000 2000d" files of about 75 KB),
# (a size ending in d: as dense with PCI devices as Windows' own INFs, one every ~70 bytes),
# checks that a removal deletes exactly the ASCII INFs installing a supported ID and their PNFs, then
# times in alternating rounds (BENCH_ROUNDS, default 3, of BENCH_RUNS runs each, default 3):
#   - the removal on the machine without the generated INFs, and with each size, every run
#     on a fresh copy of the machine (hard links: the removal only deletes and replaces files);
#   - grep -l -F -f with the supported IDs over the same .inf files, cache warm;
#   - halvik-sim service (a registry load and save) on machines whose registry.reg holds
#     BENCH_REGISTRY_MB (default "10 100") megabytes in UTF-8 and in UTF-16, against cp of it,
#     and halvik-sim import of the UTF-16 one as reg export writes it, against cp of the export;
#   - the batch installation and the removal (install -r -c 0) on machines with BENCH_BOARDS
#     (default "10 100 1000 10000") boards, each run on a fresh copy;
#   - the removal on machines with a long device history: BENCH_HISTORY (default "17775") device
#     nodes of other vendors' devices long gone, besides the installed driver's, each run on a
#     fresh copy, after a check that the removal reads each node's IDs once;
#   - halvik-sim service on machines whose machine.ini has BENCH_INI (default "10000 100000")
#     more sections and a section of that many keys;
#   - halvik-sim diff of two machines that differ in one bit of a binary value of BENCH_DIFF_MB
#     (default "2 20") megabytes;
#   - halvik-sim rehearse of a fleet of BENCH_FLEET_HOSTS (default 40) hosts, each with a
#     BENCH_FLEET_MB (default 100) megabyte UTF-16 export, against the same number of
#     halvik-sim imports of it one after the other.
# It prints the medians and their ratios: the scan's cost (removal with the INFs less removal
# without) against grep, and each size's time against the size ten times smaller.
# Benchmarks are not part of the tests.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=${1:-/tmp/halvik-bench}
sizes=${BENCH_SIZES-200 2000 20000 2000d}
reg_sizes=${BENCH_REGISTRY_MB-10 100}
board_counts=${BENCH_BOARDS-10 100 1000 10000}
history_counts=${BENCH_HISTORY-17775}
ini_counts=${BENCH_INI-10000 100000}
diff_sizes=${BENCH_DIFF_MB-2 20}
fleet_hosts=${BENCH_FLEET_HOSTS-40}
fleet_mb=${BENCH_FLEET_MB:-100}
rounds=${BENCH_ROUNDS:-3}
runs=${BENCH_RUNS:-3}

"$root/scripts/ensure-packages.sh" cmake make g++ hyperfine python3 >&2
cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
install=$root/build/release/install
sim=$root/build/release/halvik-sim

mkdir -p "$work"
work=$(cd "$work" && pwd)
grep -o '"PCI\\\\[^"]*"' src/pnp/hardware_ids.cpp | tr -d '"' | sed 's/\\\\/\\/' >"$work/ids.txt"
[ "$(wc -l <"$work/ids.txt")" -eq 12 ] || { echo "bench: expected 12 hardware IDs" >&2; exit 1; }

inf_of() { echo "$1/drive_c/WINDOWS/inf"; }
rm -rf "$work/m0" && "$sim" new "$work/m0" >/dev/null
for n in $sizes; do
  if [ ! -f "$work/m$n/expected.txt" ]; then
    rm -rf "$work/m$n" && cp -a "$work/m0" "$work/m$n"
    # A size ending in d: INFs as dense with PCI devices as Windows' own.
    python3 "$root/scripts/bench_inf.py" "$(inf_of "$work/m$n")" "${n%d}" "$work/m$n/expected.txt.new" "$work/ids.txt" \
      $([ "${n%d}" != "$n" ] && echo dense)
    mv "$work/m$n/expected.txt.new" "$work/m$n/expected.txt"
  fi
done

# Registries of each size in both encodings, on machines without the generated INFs.
for mb in $reg_sizes; do
  for enc in utf-8 utf-16; do
    if [ ! -f "$work/r${mb}_$enc/done" ]; then
      rm -rf "$work/r${mb}_$enc" && cp -a "$work/m0" "$work/r${mb}_$enc"
      python3 "$root/scripts/bench_reg.py" "$work/r${mb}_$enc/registry.reg" "$mb" "$enc"
      touch "$work/r${mb}_$enc/done"
    fi
  done
  # The UTF-16 registry as reg export writes it, ended by an empty line: what halvik-sim import takes.
  if [ ! -f "$work/x$mb.reg" ]; then
    { cat "$work/r${mb}_utf-16/registry.reg" && printf '\r\0\n\0'; } >"$work/x$mb.reg.new" && mv "$work/x$mb.reg.new" "$work/x$mb.reg"
  fi
  rm -rf "$work/imp" && "$sim" import "$work/imp" "$work/x$mb.reg" >/dev/null ||
    { echo "bench: the import of the $mb MB export failed" >&2; exit 1; }
done

# Machines with boards: b<N> as made (each board's node, no driver), bi<N> with the driver
# installed on every board.
batch="0 0 0 16 32768 10240 0 1 1 0 1024000 0 0 1 16 250 152 128 0 0 0 0 0 n n 1 32 0 0"
drivers() { grep -c '^"Driver"=' "$1/registry.reg" || true; }
for n in $board_counts; do
  if [ ! -f "$work/bi$n/done" ]; then
    rm -rf "$work/b$n" "$work/bi$n" && "$sim" new "$work/b$n" >/dev/null
    python3 "$root/scripts/bench_machines.py" boards "$work/b$n/machine.ini" "$n"
    "$sim" reboot "$work/b$n"
    cp -a "$work/b$n" "$work/bi$n"
    # shellcheck disable=SC2086
    HALVIK_MACHINE=$work/bi$n "$install" -c $batch >/dev/null || [ $? -eq 1 ]
    touch "$work/bi$n/done"
  fi
  # Every board got the driver, and the removal takes every one away again.
  base=$(drivers "$work/b$n")
  ours=$(grep -cE '^\[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\PCI\\VEN_1E5C[^\\]*\\[^\\]*\]' "$work/b$n/registry.reg")
  [ "$ours" -ge "$n" ] && [ "$(drivers "$work/bi$n")" -eq $((base + ours)) ] ||
    { echo "bench: not every one of $n boards got the driver" >&2; exit 1; }
  rm -rf "$work/run" && cp -a "$work/bi$n" "$work/run"
  HALVIK_MACHINE=$work/run "$install" -r -c 0 >/dev/null || [ $? -eq 1 ]
  [ "$(drivers "$work/run")" -eq "$base" ] || { echo "bench: the removal left drivers of the $n boards" >&2; exit 1; }
  echo "installation and removal with $n boards: every board's driver installed and removed" >&2
done
# Machines with a long device history: h<N>, the driver installed and N nodes of devices gone.
for n in $history_counts; do
  if [ ! -f "$work/h$n/done" ]; then
    rm -rf "$work/h$n" && "$sim" new "$work/h$n" >/dev/null
    # shellcheck disable=SC2086
    HALVIK_MACHINE=$work/h$n "$install" -c $batch >/dev/null || [ $? -eq 1 ]
    python3 "$root/scripts/bench_machines.py" history "$work/h$n/registry.reg" "$n"
    touch "$work/h$n/done"
  fi
  # One walk serves the twelve rows: two ID reads per node, not two per node and row.
  rm -rf "$work/run" && cp -a "$work/h$n" "$work/run" && printf '\n[trace]\nenabled = 1\n' >>"$work/run/machine.ini"
  HALVIK_MACHINE=$work/run "$install" -r -c 0 >/dev/null || [ $? -eq 1 ]
  nodes=$(grep -c '^SetupDiEnumDeviceInfo .* -> TRUE' "$work/run/trace.log" || true)
  reads=$(grep -c '^SetupDiGetDeviceRegistryPropertyA' "$work/run/trace.log" || true)
  [ "$nodes" -gt "$n" ] && [ "$reads" -le $((2 * nodes + 100)) ] ||
    { echo "bench: the removal read $reads IDs of $nodes nodes" >&2; exit 1; }
  echo "removal with a history of $n nodes: $reads ID reads for $nodes nodes" >&2
done
for n in $ini_counts; do
  if [ ! -f "$work/i$n/done" ]; then
    rm -rf "$work/i$n" && cp -a "$work/m0" "$work/i$n"
    python3 "$root/scripts/bench_machines.py" ini "$work/i$n/machine.ini" "$n"
    touch "$work/i$n/done"
  fi
done
for mb in $diff_sizes; do
  for side in 0 1; do
    if [ ! -f "$work/d${mb}_$side/done" ]; then
      rm -rf "$work/d${mb}_$side" && cp -a "$work/m0" "$work/d${mb}_$side"
      python3 "$root/scripts/bench_machines.py" value "$work/d${mb}_$side/registry.reg" "$mb" "$side"
      touch "$work/d${mb}_$side/done"
    fi
  done
done

# The fleet: one export, hard-linked into every host's folder; every host must be rehearsed.
if [ -n "$fleet_hosts" ]; then
  if [ ! -f "$work/fleet.done" ] || [ "$(cat "$work/fleet.done")" != "$fleet_hosts $fleet_mb" ]; then
    rm -rf "$work/fleet" "$work/fleet.reg"
    cp "$work/m0/registry.reg" "$work/fleet.reg"
    python3 "$root/scripts/bench_reg.py" "$work/fleet.reg" "$fleet_mb" utf-16
    printf '\r\0\n\0' >>"$work/fleet.reg"  # reg export ends with an empty line
    for i in $(seq -w "$fleet_hosts"); do
      mkdir -p "$work/fleet/host$i" && ln "$work/fleet.reg" "$work/fleet/host$i/system.reg"
    done
    echo "$fleet_hosts $fleet_mb" >"$work/fleet.done"
  fi
  echo "$batch" >"$work/fleet-list.txt"
  "$sim" rehearse "$work/fleet" --list "$work/fleet-list.txt" --json >"$work/fleet.json" ||
    { echo "bench: the fleet rehearsal failed" >&2; exit 1; }
  [ "$(grep -c '"ok": true' "$work/fleet.json")" -eq "$fleet_hosts" ] ||
    { echo "bench: not every host of the fleet was rehearsed" >&2; exit 1; }
  echo "fleet of $fleet_hosts hosts with $fleet_mb MB exports: every host rehearsed" >&2
fi

# The removal deletes exactly the expected files.
for n in $sizes; do
  rm -rf "$work/run" && cp -al "$work/m$n" "$work/run"
  (cd "$(inf_of "$work/m$n")" && ls) | sort >"$work/before.txt"
  HALVIK_MACHINE=$work/run "$install" -r >/dev/null
  (cd "$(inf_of "$work/run")" && ls) | sort >"$work/after.txt"
  # The xp machine's own files the removal deletes too (its INF of ours) are left out.
  (cd "$(inf_of "$work/m0")" && ls) | sort >"$work/base.txt"
  comm -23 "$work/before.txt" "$work/after.txt" | comm -23 - "$work/base.txt" >"$work/deleted.txt"
  if ! diff -q "$work/m$n/expected.txt" "$work/deleted.txt" >/dev/null; then
    echo "bench: the removal with $n INFs deleted other files than expected:" >&2
    diff "$work/m$n/expected.txt" "$work/deleted.txt" >&2 || true
    exit 1
  fi
  echo "removal with $n INFs: deleted exactly the $(wc -l <"$work/deleted.txt") expected files" >&2
done

# name|command|prepare
commands=("remove_0|HALVIK_MACHINE=$work/run $install -r|rm -rf $work/run && cp -al $work/m0 $work/run")
for n in $sizes; do
  commands+=("remove_$n|HALVIK_MACHINE=$work/run $install -r|rm -rf $work/run && cp -al $work/m$n $work/run")
  commands+=("grep_$n|grep -l -F -f $work/ids.txt -r --include=*.inf $(inf_of "$work/m$n")|true")
done
for mb in $reg_sizes; do
  for enc in utf-8 utf-16; do
    m=$work/r${mb}_$enc
    commands+=("load_save_${mb}_$enc|$sim service $work/run benchsvc running|rm -rf $work/run && cp -al $m $work/run")
    commands+=("cp_${mb}_$enc|cp $m/registry.reg $work/copy.reg|rm -f $work/copy.reg")
  done
  commands+=("import_$mb|$sim import $work/imp $work/x$mb.reg|rm -rf $work/imp")
  commands+=("cpx_$mb|cp $work/x$mb.reg $work/copy.reg|rm -f $work/copy.reg")
done
for n in $board_counts; do
  commands+=("install_$n|HALVIK_MACHINE=$work/run $install -c $batch|rm -rf $work/run && cp -a $work/b$n $work/run")
  commands+=("uninstall_$n|HALVIK_MACHINE=$work/run $install -r -c 0|rm -rf $work/run && cp -a $work/bi$n $work/run")
done
for n in $history_counts; do
  commands+=("history_$n|HALVIK_MACHINE=$work/run $install -r -c 0|rm -rf $work/run && cp -a $work/h$n $work/run")
done
for n in $ini_counts; do
  commands+=("ini_$n|$sim service $work/run benchsvc running|rm -rf $work/run && cp -al $work/i$n $work/run")
done
for mb in $diff_sizes; do
  commands+=("diff_$mb|$sim diff $work/d${mb}_0 $work/d${mb}_1|true")
done
if [ -n "$fleet_hosts" ]; then
  commands+=("rehearse_fleet|$sim rehearse $work/fleet --list $work/fleet-list.txt|true")
  commands+=("imports_fleet|for h in $work/fleet/*; do $sim import $work/imports/\${h##*/} \$h/system.reg; done|rm -rf $work/imports")
fi
rm -rf "$work/times" "$work/hyperfine.log" && mkdir -p "$work/times"
echo "load average before timing: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) cores)"
for ((round = 1; round <= rounds; ++round)); do
  for entry in "${commands[@]}"; do
    IFS='|' read -r name command prepare <<<"$entry"
    hyperfine --style none --warmup 1 --runs "$runs" --ignore-failure --prepare "$prepare" \
      --export-json "$work/times/$name.$round.json" "$command" >/dev/null 2>>"$work/hyperfine.log"
  done
done

echo "load average after timing: $(cut -d' ' -f1-3 /proc/loadavg)"
# Peak memory of one registry load and save, against the file's size.
for mb in $reg_sizes; do
  for enc in utf-8 utf-16; do
    rm -rf "$work/run" && cp -al "$work/r${mb}_$enc" "$work/run"
    /usr/bin/time -f %M -o "$work/times/peak_${mb}_$enc.kb" "$sim" service "$work/run" benchsvc running
    stat -c %s "$work/r${mb}_$enc/registry.reg" >"$work/times/size_${mb}_$enc.bytes"
  done
done
python3 - "$work/times" "$sizes" "$reg_sizes" "$board_counts" "$ini_counts" "$diff_sizes" "$fleet_hosts" "$fleet_mb" "$history_counts" <<'PY'
import glob, json, os, statistics, sys
times_dir, sizes = sys.argv[1], sys.argv[2].split()
reg_sizes = [int(s) for s in sys.argv[3].split()]
board_counts, ini_counts, diff_sizes = ([int(s) for s in arg.split()] for arg in sys.argv[4:7])
def median(name):
    values = []
    for path in glob.glob(os.path.join(times_dir, name + ".*.json")):
        values += json.load(open(path))["results"][0]["times"]
    return statistics.median(values)
base = median("remove_0")
print(f"{'INF files':>10} {'removal s':>10} {'scan s':>8} {'grep s':>8} {'scan/grep':>10} {'scan vs 1/10':>13}")
print(f"{0:>10} {base:>10.3f}")
previous = None
for name in sizes:
    removal, grep = median(f"remove_{name}"), median(f"grep_{name}")
    scan = removal - base
    n = int(name.rstrip("d"))
    growth = f"{scan / previous[1]:.1f}x" if previous and previous[0] * 10 == n and previous[1] > 0 and name[-1] != "d" else "-"
    label = f"{n} dense" if name[-1] == "d" else str(n)
    print(f"{label:>10} {removal:>10.3f} {scan:>8.3f} {grep:>8.3f} {scan / grep:>9.2f}x {growth:>13}")
    if name[-1] != "d":
        previous = (n, scan)
print()
print(f"{'registry':>14} {'load+save s':>12} {'cp s':>8} {'ratio':>8} {'vs 1/10':>8} {'peak/file':>10}")
for enc in ("utf-8", "utf-16"):
    previous = None
    for mb in reg_sizes:
        load, copy = median(f"load_save_{mb}_{enc}"), median(f"cp_{mb}_{enc}")
        peak = int(open(os.path.join(times_dir, f"peak_{mb}_{enc}.kb")).read()) * 1024
        size = int(open(os.path.join(times_dir, f"size_{mb}_{enc}.bytes")).read())
        growth = f"{load / previous[1]:.1f}x" if previous and previous[0] * 10 == mb else "-"
        print(f"{f'{mb} MB {enc}':>14} {load:>12.3f} {copy:>8.3f} {load / copy:>7.1f}x {growth:>8} {peak / size:>9.1f}x")
        previous = (mb, load)
print()
print(f"{'export':>14} {'import s':>12} {'cp s':>8} {'ratio':>8} {'vs 1/10':>8}")
previous = None
for mb in reg_sizes:
    imported, copy = median(f"import_{mb}"), median(f"cpx_{mb}")
    growth = f"{imported / previous[1]:.1f}x" if previous and previous[0] * 10 == mb else "-"
    print(f"{f'{mb} MB utf-16':>14} {imported:>12.3f} {copy:>8.3f} {imported / copy:>7.1f}x {growth:>8}")
    previous = (mb, imported)
def growth_table(title, unit, names, counts):
    """Each size's median, per name, and its ratio to the size ten times smaller."""
    print()
    print(f"{title:>10} " + " ".join(f"{name + ' s':>14} {'vs 1/10':>8}" for name, _ in names))
    previous = {}
    for n in counts:
        cells = []
        for name, key in names:
            t = median(f"{key}_{n}")
            p = previous.get(key)
            cells.append(f"{t:>14.3f} {(f'{t / p[1]:.1f}x' if p and p[0] * 10 == n else '-'):>8}")
            previous[key] = (n, t)
        print(f"{str(n) + unit:>10} " + " ".join(cells))
if board_counts:
    growth_table("boards", "", [("installation", "install"), ("removal", "uninstall")], board_counts)
if sys.argv[9].split():
    print()
    print(f"{'device history':>22} {'removal s':>11}")
    for n in sys.argv[9].split():
        print(f"{n + ' nodes':>22} {median('history_' + n):>11.3f}")
if ini_counts:
    growth_table("sections", "", [("machine.ini", "ini")], ini_counts)
if diff_sizes:
    growth_table("value", " MB", [("diff", "diff")], diff_sizes)
if sys.argv[7]:
    rehearse, imports = median("rehearse_fleet"), median("imports_fleet")
    print()
    print(f"{'fleet':>22} {'rehearse s':>11} {'imports s':>10} {'ratio':>7}")
    print(f"{sys.argv[7] + ' hosts x ' + sys.argv[8] + ' MB':>22} {rehearse:>11.3f} {imports:>10.3f} {rehearse / imports:>6.2f}x")
PY
