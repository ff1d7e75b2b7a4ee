#!/bin/sh
# Rehearses the CI fleet twice with the real ansible-playbook: the first run's rows are checked
# host by host, the second must change and restart nothing; then runs the Windows plays against
# a fake Windows (windows/run.sh).
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
list="0 0 0  16 32768 10240 0  1 1 0 1024000 0 0  1 16 250  152 128 0 0 0 0  0  y y 2  512 0 0"

# The committed exports (tests/fleet/make-exports.sh made them); the fleet folder gets each
# host's batch.txt below, so it is a copy.
cp -R "$root/tests/fleet/exports" "$fleet"

rehearse() {
  ansible-playbook -i "$root/tests/fleet/inventory.yml" "$root/deploy/rehearse-halvik.yml" \
    -e "halvik_bin=$bin" -e "halvik_fleet=$fleet" -e "halvik_rehearsal=$work/rehearsal" >"$work/$1.log" 2>&1 || true
  # The summary's rows, one per line.
  sed -n '/TASK \[One line per host\]/,/^$/p' "$work/$1.log" | sed -n 's/^        "\(.*\)",\{0,1\}$/\1/p' >"$work/$1.rows"
  cat "$work/$1.rows"
}

failures=0
# The package goes into a new folder under each machine's Program Files for the run and is
# deleted at its end, whatever the outcome.
no_package_left() {
  if find "$work/rehearsal" -name 'halvik-package-*' | grep .; then
    echo "FAIL: $1: a package folder is left on a simulated machine" >&2
    failures=$((failures + 1))
  fi
}
expect() {  # RUN HOST TEXT: the host's row holds TEXT
  if ! grep -F -- "$2: " "$work/$1.rows" | grep -q -F -- "$3"; then
    echo "FAIL: $1: $2 should show: $3" >&2
    failures=$((failures + 1))
  fi
}

echo "== first run"
rehearse first
for h in w2k xp older adjusted own-list; do expect first "$h" "restart | exit 1 | restarts 1"; done
expect first w2k "Windows 2000 | was none | bound 3"
# The workstations' own group list: no memory adjustment, so no restart.
expect first win7-x64 "done | exit 0 | Windows 7 Professional | was none | bound 3 | SystemPages 0 -> 0"
# Wine's export: Windows 7 without boards, only the root device node gets the driver.
expect first wine7 "done | exit 0 | Microsoft Windows 7 | was none | bound 1"
expect first xp "SystemPages 0 -> 163840"
expect first adjusted "SystemPages 196608 -> 163840"
expect first older "bound 3"
expect first no-boards "bound 1"
expect first host-service "failed | exit -1"
expect first host-service "halvservice"
expect first stuck "restart | exit 1 | restarts 2 | Microsoft Windows XP | was 6.1.1"
expect first stuck "differs: MILL_MAX_PCI_HW_MODULES"
expect first same "unchanged | Microsoft Windows XP | was 6.1.1"
expect first cut-odd "failed | was none | halvik-sim: $fleet/cut-odd/system.reg is cut short: it ends inside a character, at byte 20001"
expect first cut-value "is cut short: its last line"
no_package_left first
[ "$(wc -l <"$work/first.rows")" -eq 13 ] || { echo "FAIL: 13 rows expected" >&2; failures=$((failures + 1)); }

echo "== second run: nothing changes, nothing restarts"
rehearse second
for h in w2k xp win7-x64 older adjusted own-list no-boards stuck same wine7; do expect second "$h" "unchanged"; done
expect second host-service "failed | exit -1"
no_package_left second
if grep -E '^(w2k|xp|win7-x64|older|adjusted|own-list|no-boards|stuck|same|wine7) .*changed=[1-9]' "$work/second.log"; then
  echo "FAIL: the second run changed a host" >&2
  failures=$((failures + 1))
fi

echo "== halvik-sim rehearse: each host's list from the inventory, as the collect play keeps it"
ansible-inventory -i "$root/tests/fleet/inventory.yml" --list >"$work/inventory.json"
python3 - "$work/inventory.json" "$fleet" <<'PY'
import json, sys
hostvars = json.load(open(sys.argv[1]))["_meta"]["hostvars"]
for host, variables in hostvars.items():
    with open(f"{sys.argv[2]}/{host}/batch.txt", "w") as out:
        out.write(" ".join(str(variables["halvik_batch"]).split()) + "\n")
PY
"$sim" rehearse "$fleet" --json >"$work/rehearse.json" && status=0 || status=$?
"$sim" rehearse "$fleet" --jobs 1 || true
python3 - "$work/rehearse.json" "$status" <<'PY' || failures=$((failures + 1))
import json, sys
rows = {row["host"]: row for row in json.load(open(sys.argv[1]))}
# host: field -> the text it must hold
expected = {
    "w2k": {"exit": "1", "bound": "3", "windows": "Windows 2000", "SystemPages": "0 -> 163840"},
    "xp": {"exit": "1", "restarts": "1", "SystemPages": "0 -> 163840", "was": "none"},
    "win7-x64": {"exit": "0", "processor": "AMD64", "bound": "3", "SystemPages": "0 -> 0"},
    "wine7": {"exit": "0", "boards": "0", "bound": "1"},
    "older": {"exit": "1", "bound": "3", "was": "earlier (not listed)"},
    "adjusted": {"exit": "1", "SystemPages": "196608 -> 163840"},
    "no-boards": {"exit": "1", "boards": "0", "bound": "1"},
    "own-list": {"exit": "1", "SystemPages": "0 -> 544768"},
    "same": {"exit": "1", "was": "6.1.1"},
    "host-service": {"exit": "-1", "meaning": "failure", "report": "halvservice"},
    "stuck": {"exit": "-2 1", "restarts": "2", "pending": "halvik.sys"},
    "cut-odd": {"meaning": "not rehearsed", "report": "cut short: it ends inside a character"},
    "cut-value": {"meaning": "not rehearsed", "report": "cut short: its last line"},
}
failed = [] if sorted(rows) == sorted(expected) else [f"hosts {sorted(rows)}"]
for host, fields in expected.items():
    for field, text in fields.items():
        if text not in rows.get(host, {}).get(field, ""):
            failed.append(f"{host}.{field} = {rows.get(host, {}).get(field)!r}, not {text!r}")
    ok = host not in ("host-service", "cut-odd", "cut-value")
    if rows.get(host, {}).get("ok") != ok:
        failed.append(f"{host}.ok should be {ok}")
if sys.argv[2] != "1":
    failed.append(f"exit {sys.argv[2]}, not 1 (three hosts failed)")
for line in failed:
    print("FAIL: halvik-sim rehearse:", line, file=sys.stderr)
sys.exit(1 if failed else 0)
PY

echo "== the Windows plays against a fake Windows: the folders made for the run"
"$root/tests/fleet/windows/run.sh" || failures=$((failures + 1))

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "fleet rehearsal: all rows as expected"
