#!/usr/bin/env bash
# Reads the import tables of the built Windows programs and fails, naming the DLL, when either
# imports a DLL outside the allowed list: the DLLs that every supported Windows (2000 to 11)
# loads from its system directory whatever lies beside the program (docs/security.md says
# why each one is safe).  Everything else is loaded at run time by its full path.
#
# Usage: scripts/check-imports.sh [PROGRAM.exe...]
#        (default: build/win32/install.exe build/win64/installx64.exe)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
allowed="kernel32.dll advapi32.dll user32.dll msvcrt.dll"
if [[ $# -eq 0 ]]; then
  set -- "$root/build/win32/install.exe" "$root/build/win64/installx64.exe"
fi

status=0
for program in "$@"; do
  [[ -f "$program" ]] || { echo "check-imports: $program: not built" >&2; status=1; continue; }
  objdump=x86_64-w64-mingw32-objdump
  command -v "$objdump" >/dev/null || objdump=i686-w64-mingw32-objdump
  tables=$("$objdump" -p "$program") || { echo "check-imports: $program: unreadable" >&2; status=1; continue; }
  # "DLL Name:" heads every import table, the delay-loaded ones too.
  dlls=$(sed -n 's/^[[:space:]]*DLL Name: *//p' <<<"$tables" | tr -d '\r' | tr '[:upper:]' '[:lower:]' | sort -u)
  [[ -n "$dlls" ]] || { echo "check-imports: $program: no import table found" >&2; status=1; continue; }
  for dll in $dlls; do
    if [[ " $allowed " != *" $dll "* ]]; then
      echo "check-imports: $(basename "$program") imports $dll, which is not on the allowed list ($allowed)" >&2
      status=1
    fi
  done
done
if [[ $status -eq 0 ]]; then echo "check-imports: no DLL outside $allowed"; fi
exit $status
