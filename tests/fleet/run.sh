#!/bin/sh
# Rehearses the CI fleet with the real ansible-playbook, each run's rows checked host by host:
# --check (predictions, nothing made), --limit (the other hosts left out), a first run and a
# second that must change and restart nothing, a staged rollout that stops after the batch
# whose failures pass the percentage, and a removal on what that rollout left.  Then
# halvik-sim rehearse, and the Windows plays against a fake Windows (windows/run.sh).
#   tests/fleet/run.sh [BIN_DIR]      (default build/native)
# The hosts' exports are tests/fleet/exports/HOST/: registry exports (*.reg), and where an
# export can't say it, present.txt (the boards present) and machine.ini (a service's state).
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
bin=$(cd "${1:-$root/build/native}" && pwd)
work=$(mktemp -d /tmp/halvik-fleet.XXXXXX)
trap 'rm -rf "$work"' EXIT
fleet=$work/fleet
sim=$bin/halvik-sim

# The committed exports (tests/fleet/make-exports.sh made them); the fleet folder gets each
# host's batch.txt below, so it is a copy.
cp -R "$root/tests/fleet/exports" "$fleet"

rehearse() {  # RUN MACHINES [ansible-playbook options]: RUN.log, RUN.status and RUN.rows (the summary's rows)
  run=$1 machines=$2
  shift 2
  status=0
  ansible-playbook -i "$root/tests/fleet/inventory.yml" "$root/deploy/rehearse-halvik.yml" \
    -e "halvik_bin=$bin" -e "halvik_fleet=$fleet" -e "halvik_rehearsal=$machines" "$@" >"$work/$run.log" 2>&1 || status=$?
  echo "$status" >"$work/$run.status"
  sed -n '/TASK \[One line per host\]/,/^$/p' "$work/$run.log" | sed -n 's/^        "\(.*\)",\{0,1\}$/\1/p' >"$work/$run.rows"
  cat "$work/$run.rows"
}

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
# The package goes into a new folder under each machine's Program Files for the run and is
# deleted at its end, whatever the outcome.
no_package_left() {
  if find "$work" -name 'halvik-package-*' | grep .; then fail "$1: a package folder is left on a simulated machine"; fi
}
# RUN STATUS: the run ended with STATUS, and its rows are the lines on standard input, in
# order, each row starting with its line; no row holds a line end.
expect_rows() {
  [ "$(cat "$work/$1.status")" = "$2" ] || fail "$1: ansible-playbook exited $(cat "$work/$1.status"), not $2"
  grep -v '^$' >"$work/$1.want"
  python3 - "$work/$1.rows" "$work/$1.want" "$1" <<'PY' || failures=$((failures + 1))
import sys
rows = open(sys.argv[1], encoding="utf-8").read().splitlines()
want = open(sys.argv[2], encoding="utf-8").read().splitlines()
bad = [f"{len(rows)} rows, not {len(want)}"] if len(rows) != len(want) else []
bad += [f"row {i + 1} is {row!r}, not {line!r}..." for i, (row, line) in enumerate(zip(rows, want)) if not row.startswith(line)]
bad += [f"row {i + 1} holds a line end: {row!r}" for i, row in enumerate(rows) if "\\r" in row or "\\n" in row]
for line in bad:
    print(f"FAIL: {sys.argv[3]}: {line}", file=sys.stderr)
sys.exit(1 if bad else 0)
PY
}
cut_odd="cut-odd: refused | was none | halvik-sim: $fleet/cut-odd/system.reg is cut short: it ends inside a character, at byte 20001"
cut_value="cut-value: refused | was none | halvik-sim: $fleet/cut-value/export.reg is cut short: its last line has no end"
host_service="Cannot uninstall the driver without stopping the Halvik host service. Stop the Halvik host service and try again."
# Every host in one batch and no stop, unless a run says otherwise.
whole="-e halvik_serial=100% -e halvik_max_fail_percentage=100"

echo "== --check: what the installation would do, from the same detection; nothing made"
# shellcheck disable=SC2086 # separate words
rehearse check "$work/checked" --check $whole
expect_rows check 2 <<EOF
w2k: would install | Microsoft Windows 2000 | was none | bound 0 | SystemPages 0 -> 0
xp: would install | Microsoft Windows XP | was none | bound 0 | SystemPages 0 -> 0
older: would install | Microsoft Windows XP | was none
adjusted: would install | Microsoft Windows XP | was none | bound 0 | SystemPages 196608 -> 196608
no-boards: would install | Microsoft Windows XP | was none | bound 0
host-service: would install | Microsoft Windows XP | was none
stuck: would install | Microsoft Windows XP | was 6.1.1 | bound 3 | SystemPages 155648 -> 155648 | differs: max_pci_modules
own-list: would install | Microsoft Windows XP | was none
same: unchanged | Microsoft Windows XP | was 6.1.1 | bound 2 | SystemPages 163840 -> 163840
$cut_odd
$cut_value
win7-x64: would install | Windows 7 Professional | was none
wine7: would install | Microsoft Windows 7 | was none
EOF
[ ! -e "$work/checked" ] || fail "check: simulated machines were made"
for left in /tmp/halvik-check-*; do [ ! -e "$left" ] || fail "check: a temporary machine is left: $left"; done

echo "== --limit: the other hosts are left out"
rehearse limit "$work/limited" --limit w2k,same
expect_rows limit 0 <<EOF
w2k: restart | exit 1 | restarts 1 | Microsoft Windows 2000 | was none | bound 3 | SystemPages 0 -> 163840
same: unchanged | Microsoft Windows XP | was 6.1.1
EOF

echo "== first run"
# shellcheck disable=SC2086
rehearse first "$work/rehearsal" $whole
expect_rows first 2 <<EOF
w2k: restart | exit 1 | restarts 1 | Microsoft Windows 2000 | was none | bound 3 | SystemPages 0 -> 163840
xp: restart | exit 1 | restarts 1 | Microsoft Windows XP | was none | bound 3 | SystemPages 0 -> 163840
older: restart | exit 1 | restarts 1 | Microsoft Windows XP | was none | bound 3 | SystemPages 0 -> 163840
adjusted: restart | exit 1 | restarts 1 | Microsoft Windows XP | was none | bound 3 | SystemPages 196608 -> 163840
no-boards: restart | exit 1 | restarts 1 | Microsoft Windows XP | was none | bound 1 | SystemPages 0 -> 163840
host-service: failed | exit -1 | was none | $host_service
stuck: restart | exit 1 | restarts 2 | Microsoft Windows XP | was 6.1.1 | bound 3 | SystemPages 155648 -> 163840 | differs: max_pci_modules
own-list: restart | exit 1 | restarts 1 | Microsoft Windows XP | was none | bound 3 | SystemPages 0 -> 544768
same: unchanged | Microsoft Windows XP | was 6.1.1 | bound 2 | SystemPages 163840 -> 163840
$cut_odd
$cut_value
win7-x64: done | exit 0 | Windows 7 Professional | was none | bound 3 | SystemPages 0 -> 0
wine7: done | exit 0 | Microsoft Windows 7 | was none | bound 1 | SystemPages none -> none
EOF
no_package_left first

echo "== second run: nothing changes, nothing restarts"
# shellcheck disable=SC2086
rehearse second "$work/rehearsal" $whole
for h in w2k xp win7-x64 older adjusted own-list no-boards stuck same wine7; do
  grep -q "^$h: unchanged |" "$work/second.rows" || fail "second: $h should be unchanged"
done
grep -q '^host-service: failed | exit -1' "$work/second.rows" || fail "second: host-service should fail again"
no_package_left second
if grep -E '^(w2k|xp|win7-x64|older|adjusted|own-list|no-boards|stuck|same|wine7) .*changed=[1-9]' "$work/second.log"; then
  fail "the second run changed a host"
fi

echo "== a staged rollout that stops: batches of 3, no more than 10% failing"
rehearse staged "$work/staged" -e halvik_serial=3 -e halvik_max_fail_percentage=10
expect_rows staged 2 <<EOF
w2k: restart | exit 1
xp: restart | exit 1
older: restart | exit 1
adjusted: restart | exit 1
no-boards: restart | exit 1
host-service: failed | exit -1
stuck: not reached
own-list: not reached
same: not reached
cut-odd: not reached
cut-value: not reached
win7-x64: not reached
wine7: not reached
the rollout stops after batch 2 (adjusted, no-boards, host-service): 1 of 3 host(s) failed (max_fail_percentage 10%)
EOF
[ ! -e "$work/staged/stuck" ] || fail "staged: a host after the stop was rehearsed"

echo "== removal where the staged rollout stopped: only where there is something to remove"
# shellcheck disable=SC2086
rehearse remove "$work/staged" -e halvik_operation=remove $whole
expect_rows remove 2 <<EOF
w2k: restart | exit 1 | restarts 1 | Microsoft Windows 2000 | was 6.1.1 | bound 0 | SystemPages 163840 -> 0
xp: restart | exit 1 | restarts 1 | Microsoft Windows XP | was 6.1.1 | bound 0 | SystemPages 163840 -> 0
older: restart | exit 1 | restarts 1 | Microsoft Windows XP | was 6.1.1 | bound 0 | SystemPages 163840 -> 0
adjusted: restart | exit 1 | restarts 1 | Microsoft Windows XP | was 6.1.1 | bound 0 | SystemPages 163840 -> 196608
no-boards: restart | exit 1 | restarts 1 | Microsoft Windows XP | was 6.1.1 | bound 0 | SystemPages 163840 -> 0
host-service: failed | exit -1 | was none | $host_service
stuck: restart | exit 1 | restarts 1 | Microsoft Windows XP | was 6.1.1 | bound 0 | SystemPages 155648 -> 0 | The halvik service could not be stopped
own-list: not installed | Microsoft Windows XP | was none | bound 0 | SystemPages 0 -> 0
same: restart | exit 1 | restarts 1 | Microsoft Windows XP | was 6.1.1 | bound 0 | SystemPages 163840 -> 0
$cut_odd
$cut_value
win7-x64: not installed | Windows 7 Professional | was none | bound 0 | SystemPages 0 -> 0
wine7: not installed | Microsoft Windows 7 | was none | bound 0 | SystemPages none -> none
EOF
no_package_left remove

echo "== halvik-sim rehearse: each host's list from the inventory, as the collect play keeps it"
ansible-inventory -i "$root/tests/fleet/inventory.yml" --list >"$work/inventory.json"
# wine7 has no list of its own here: it takes the one-off --list.
python3 - "$work/inventory.json" "$fleet" "$root/tests/fleet/host_vars" "$work/one-off.txt" <<'PY'
import json, os, sys
hostvars = json.load(open(sys.argv[1]))["_meta"]["hostvars"]
for host, variables in hostvars.items():
    batch = " ".join(str(variables["halvik_batch"]).split()) + "\n"
    if host == "wine7":
        open(sys.argv[4], "w").write(batch)
        continue
    open(f"{sys.argv[2]}/{host}/batch.txt", "w").write(batch)
    source = "host_vars" if os.path.exists(f"{sys.argv[3]}/{host}.yml") else "group_vars"
    open(f"{sys.argv[2]}/{host}/batch-source.txt", "w").write(source + "\n")
PY
status=0
"$sim" rehearse "$fleet" --list "$work/one-off.txt" --json >"$work/rehearse.json" 2>"$work/rehearse.err" || status=$?
[ ! -s "$work/rehearse.err" ] || fail "halvik-sim rehearse: standard error, not a terminal, holds $(cat "$work/rehearse.err")"
"$sim" rehearse "$fleet" --list "$work/one-off.txt" --csv >"$work/rehearse.csv" || true
# On a terminal, the count of hosts done goes to standard error (the table to standard output).
script -qec "'$sim' rehearse '$fleet' --list '$work/one-off.txt' --jobs 1 2>&1 >'$work/rehearse.table'" /dev/null >"$work/rehearse.tty" || true
cat "$work/rehearse.table"
grep -q 'rehearsed 13 of 13 hosts' "$work/rehearse.tty" || fail "halvik-sim rehearse: no progress on a terminal"
python3 - "$work/rehearse.json" "$status" "$work/rehearse.csv" <<'PY' || failures=$((failures + 1))
import csv, json, sys
table = json.load(open(sys.argv[1]))
rows = {row["host"]: row for row in table}
# host: field -> its value; a text is to be found in the field's text, or in one of its items.
expected = {
    "w2k": {"exit": [1], "bound": 3, "windows": "Windows 2000", "SystemPages_before": 0, "SystemPages_after": 163840,
            "list": "group_vars"},
    "xp": {"exit": [1], "restarts": 1, "SystemPages_before": 0, "SystemPages_after": 163840, "was": "none"},
    "win7-x64": {"exit": [0], "processor": "AMD64", "bound": 3, "SystemPages_before": 0, "SystemPages_after": 0},
    "wine7": {"exit": [0], "boards": 0, "bound": 1, "list": "one-off", "SystemPages_before": None},
    "older": {"exit": [1], "bound": 3, "was": "earlier (not listed)"},
    "adjusted": {"exit": [1], "SystemPages_before": 196608, "SystemPages_after": 163840},
    "no-boards": {"exit": [1], "boards": 0, "bound": 1, "pending": []},
    "own-list": {"exit": [1], "SystemPages_after": 544768, "list": "host_vars"},
    # Its export's other board is gone: its node keeps the driver and is not counted.
    "same": {"exit": [1], "was": "6.1.1", "boards": 1, "bound": 2},
    "host-service": {"exit": [-1], "meaning": "failure", "report": "halvservice"},
    "stuck": {"exit": [-2, 1], "restarts": 2, "pending": "halvik.sys"},
    "cut-odd": {"exit": [], "bound": None, "meaning": "not rehearsed", "report": "cut short: it ends inside a character"},
    "cut-value": {"exit": [], "restarts": None, "meaning": "not rehearsed", "report": "cut short: its last line"},
}
failed = [] if sorted(rows) == sorted(expected) else [f"hosts {sorted(rows)}"]
for host, fields in expected.items():
    for field, want in fields.items():
        got = rows.get(host, {}).get(field, "missing")
        if isinstance(want, str) and isinstance(got, list):
            ok = any(want in item for item in got)
        elif isinstance(want, str):
            ok = isinstance(got, str) and want in got
        else:
            ok = type(got) is type(want) and got == want
        if not ok:
            failed.append(f"{host}.{field} = {got!r}, not {want!r}")
    ok = host not in ("host-service", "cut-odd", "cut-value")
    if rows.get(host, {}).get("ok") is not ok:
        failed.append(f"{host}.ok should be {ok}")
if sys.argv[2] != "1":
    failed.append(f"exit {sys.argv[2]}, not 1 (three hosts failed)")
failed += [f"{row['host']}.report holds a CR" for row in table if "\r" in row.get("report", "")]


# The CSV holds the JSON's rows and columns, each cell the JSON value as text.
def cell(value):
    if isinstance(value, list):
        return ("; " if value and isinstance(value[0], str) else " ").join(str(item) for item in value)
    return "" if value is None else str(value).lower() if isinstance(value, bool) else str(value)


with open(sys.argv[3], newline="", encoding="utf-8") as source:
    lines = list(csv.reader(source))
if not table or lines[0] != list(table[0]):
    failed.append(f"CSV header {lines[0] if lines else None}")
elif lines[1:] != [[cell(row[name]) for name in lines[0]] for row in table]:
    failed.append("the CSV rows are not the JSON's")
for line in failed:
    print("FAIL: halvik-sim rehearse:", line, file=sys.stderr)
sys.exit(1 if failed else 0)
PY

echo "== the Windows plays against a fake Windows: the folders made for the run"
"$root/tests/fleet/windows/run.sh" || fail "the Windows plays"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "fleet rehearsal: all rows as expected"
