#!/bin/sh
# Makes the CI fleet's exports, tests/fleet/exports/HOST/, for tests/fleet/run.sh: each host a
# template's machine after the installer runs given, its registry written as reg export writes
# it (UTF-16 with a byte-order mark, CR LF), and the broken ones cut short.
#   tests/fleet/make-exports.sh [BIN_DIR]      (default build/native)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
bin=$(cd "${1:-$root/build/native}" && pwd)
work=$(mktemp -d /tmp/halvik-fleet-exports.XXXXXX)
trap 'rm -rf "$work"' EXIT
fleet=$root/tests/fleet/exports
sim=$bin/halvik-sim
exports=$root/tests/scenario/exports
list="0 0 0  16 32768 10240 0  1 1 0 1024000 0 0  1 16 250  152 128 0 0 0 0  0  y y 2  512 0 0"
rm -rf "$fleet"

utf16() {  # FILE: rewritten as reg export writes it
  { printf '\377\376'; sed 's/$/\r/' "$1" | iconv -f UTF-8 -t UTF-16LE; } >"$1.new"
  mv "$1.new" "$1"
}

# A host's export: a template's registry, which is in the export format, after STEPS.
host() {
  name=$1 template=$2
  shift 2
  "$sim" new "$work/m-$name" --template "$template" >/dev/null
  while [ $# -gt 0 ]; do
    # shellcheck disable=SC2086
    HALVIK_MACHINE=$work/m-$name "$bin/install" $1 >/dev/null 2>&1 || true
    shift
  done
  mkdir -p "$fleet/$name"
  cp "$work/m-$name/registry.reg" "$fleet/$name/export.reg"
  utf16 "$fleet/$name/export.reg"
}
host w2k w2k
host xp xp
host win7-x64 amd64
host older leftovers
host adjusted xp
sed -i 's/"SystemPages"=dword:00000000/"SystemPages"=dword:00030000/' "$work/m-adjusted/registry.reg"
cp "$work/m-adjusted/registry.reg" "$fleet/adjusted/export.reg" && utf16 "$fleet/adjusted/export.reg"
host no-boards xp
: >"$fleet/no-boards/present.txt"
host host-service leftovers
"$sim" service "$work/m-host-service" halvservice running >/dev/null
cp "$work/m-host-service/registry.reg" "$fleet/host-service/export.reg" && utf16 "$fleet/host-service/export.reg"
printf '[services]\nhalvservice = running\n' >"$fleet/host-service/machine.ini"
host stuck xp "-c 0 0 0  8 32768 10240 0  1 1 0 1024000 0 0  1 16 250  152 128 0 0 0 0  0  y y 2  512 0 0"
printf '[services]\nhalvik.stop = stuck\n' >"$fleet/stuck/machine.ini"
host own-list xp
host same xp "-c $list"
# One of its two boards is still there: the other's node keeps its driver, which no count of
# the boards that have it may include.
printf 'PCI\\VEN_1E5C&DEV_0410&SUBSYS_00011E5C&REV_01\\4&1F2E3D&0&0008\n' >"$fleet/same/present.txt"
mkdir -p "$fleet/wine7" "$fleet/cut-odd" "$fleet/cut-value"
cp "$exports/wine-system.reg" "$exports/wine-software.reg" "$fleet/wine7/"
head -c 20001 "$exports/wine-system.reg" >"$fleet/cut-odd/system.reg"
cp "$exports/wine-software.reg" "$fleet/cut-odd/"
# Cut inside a value, in the UTF-8 of a .reg file saved by an editor.
host cut-value xp
head -c 3000 "$work/m-cut-value/registry.reg" | sed '$ s/"[^"]*$/"Trunc/' >"$fleet/cut-value/export.reg"

echo "tests/fleet/exports: $(ls "$fleet" | wc -l) hosts"
