#!/usr/bin/env bash
# Builds the Windows programs (presets win32 and win64) with the driver package's binaries and
# packs the release: dist/halvik-<version>.zip, laid out as the programs expect it:
#
#   README.txt                 for administrators
#   install/install.exe        the installer (x86)
#   install/installx64.exe     its 64-bit counterpart (AMD64)
#   pnp/morvellan.inf          the driver package
#   pnp/halvik_x86.sys, pnp/tsrgBdevco_x86.dll, pnp/tsrgBdevpp_x86.dll
#   pnp/halvik_amd64.sys, pnp/tsrgBdevco_amd64.dll, pnp/tsrgBdevpp_amd64.dll
#                              the package's binaries beside the INF, under the source names it
#                              gives them; it installs them under their plain names
#
# and the kit for the administrator's Linux workstation,
# dist/halvik-rehearsal-<version>-linux-x86_64.tar.gz: bin/ (halvik-sim, install and installx64
# from the release preset), deploy/ (the playbooks, their tasks, the exit-code table and the
# example inventory) and README.txt.
#
# Usage: scripts/package.sh [--no-build]   (--no-build packs what build/win32, build/win64 and
#                                           build/release hold)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
version=$(sed -n 's/^project(halvik_install VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[[ -n "$version" ]] || { echo "package: no project version in CMakeLists.txt" >&2; exit 1; }

if [[ "${1:-}" != "--no-build" ]]; then
  for preset in win32 win64 release; do
    cmake --preset "$preset" > /dev/null
    cmake --build --preset "$preset"
  done
fi

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/install" "$stage/pnp"

copy() {
  [[ -f "$1" ]] || { echo "package: missing $1 (build the win32 and win64 presets first)" >&2; exit 1; }
  cp "$1" "$2"
}
copy build/win32/install.exe "$stage/install/"
copy build/win64/installx64.exe "$stage/install/"
copy pnp/morvellan.inf "$stage/pnp/"
for file in halvik.sys tsrgBdevco.dll tsrgBdevpp.dll; do
  copy "build/win32/pnp/${file%.*}_x86.${file##*.}" "$stage/pnp/"
  copy "build/win64/pnp/${file%.*}_amd64.${file##*.}" "$stage/pnp/"
done
# Administrators read it with Notepad: Windows line ends.
sed -e "s/@VERSION@/$version/g" -e 's/$/\r/' packaging/README.txt > "$stage/README.txt"

mkdir -p dist
zip_path="$root/dist/halvik-$version.zip"
rm -f "$zip_path"
(cd "$stage" && zip -q -X -r "$zip_path" README.txt install pnp)
echo "package: $zip_path"
unzip -l "$zip_path"

# The rehearsal kit.
kit_name="halvik-rehearsal-$version"
kit="$stage/$kit_name"
mkdir -p "$kit/bin"
for program in halvik-sim install installx64; do copy "build/release/$program" "$kit/bin/"; done
cp -r deploy "$kit/deploy"
find "$kit/deploy" -name __pycache__ -prune -exec rm -rf {} +
sed -e "s/@VERSION@/$version/g" packaging/rehearsal-README.txt > "$kit/README.txt"
kit_path="$root/dist/$kit_name-linux-x86_64.tar.gz"
tar -C "$stage" --owner=0 --group=0 --sort=name -czf "$kit_path" "$kit_name"
echo "package: $kit_path"
tar -tzf "$kit_path"
