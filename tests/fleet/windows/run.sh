#!/bin/sh
# The Windows plays with the real ansible-playbook against fake_windows.py: each case's exit
# status, summary row, calls answered from a private folder, and no folder left afterwards.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/halvik-windows.XXXXXX)
trap 'rm -rf "$work"' EXIT
export ANSIBLE_COLLECTIONS_PATH="$here/collections" ANSIBLE_COLLECTIONS_SCAN_SYS_PATH=false ANSIBLE_LIBRARY="$here/library"
mkdir -p "$work/package/install"
echo MZ >"$work/package/install/install.exe"
printf 'windows:\n  hosts:\n    host:\n      ansible_connection: local\n      ansible_python_interpreter: %s\n      %s\n' \
  "$(command -v python3)" 'halvik_batch: 0 0 0  16 32768 10240 0  1 1 0 1024000 0 0  1 16 250  152 128 0 0 0 0  0  y y 2  512 0 0' \
  >"$work/inventory.yml"

failures=0
fail() { echo "FAIL: $case: $*" >&2; failures=$((failures + 1)); }
# case; play; environment; options; its exit status; its summary row; the calls answered
# from a private folder (installer runs, or registry exports)
while IFS=';' read -r case play environment options status row answered; do
  export FAKE_WINDOWS="$work/$case"
  mkdir -p "$FAKE_WINDOWS/drive_c/Program Files"
  # shellcheck disable=SC2086 # separate words: assignments, options
  env $environment ansible-playbook -i "$work/inventory.yml" "$here/../../../deploy/$play-halvik.yml" $options \
    -e "halvik_package=$work/package" -e "halvik_fleet=$work/fleet" </dev/null >"$work/$case.log" 2>&1 && got=0 || got=$?
  [ "$got" = "$status" ] || fail "exit $got, not $status"
  [ -z "$row" ] || grep -q -F -- "\"$row" "$work/$case.log" || fail "no row $row"
  rc=$(echo "$environment" | sed -n 's/.*FAKE_RC=\([-0-9]*\).*/\1/p')
  runs=$(grep -c "^win_command .*-> .*\"rc\": ${rc:-0}," "$FAKE_WINDOWS/calls.log" 2>/dev/null || true)
  [ "${runs:-0}" = "$answered" ] || fail "$runs call(s) answered from a private folder, not $answered"
  left=$(ls "$FAKE_WINDOWS/drive_c/Program Files")
  [ -z "$left" ] || fail "left behind: $left"
done <<EOF
install;install;FAKE_RC=0;;0;host: done | exit 0 | was none;1
retry;install;FAKE_RC=-2;;2;install exited with -2;2
check;install;FAKE_RC=0;--check;0;host: would install;0
refused;install;FAKE_RC=0;--check -e halvik_batch_once=1;2;host: refused | was none | host declares its own batch list;0
remove;remove;FAKE_INSTALLED=1;;0;host: done | exit 0;1
not-installed;remove;;;0;host: not installed;0
collect;collect;;;0;;3
EOF
case=collect
for file in system.reg version.reg uninstall.reg present.txt; do
  [ -s "$work/fleet/host/$file" ] || fail "no $file fetched"
done
# The list is the inventory's own (not a host_vars file).
[ "$(cat "$work/fleet/host/batch-source.txt" 2>/dev/null)" = group_vars ] || fail "batch-source.txt should say group_vars"
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "Windows plays: every folder private, used once and gone"
