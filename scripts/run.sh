#!/usr/bin/env bash
# Builds the native installer and runs it on the simulated Windows machine.
# Arguments are passed to `install` unchanged; HALVIK_MACHINE selects the machine directory
# (default: the machine under ~/.local/state/halvik, created from the xp template on first use).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/ensure-packages.sh" cmake make g++ googletest libgtest-dev libbenchmark-dev >&2
cd "$root"
cmake --preset native >/dev/null
cmake --build --preset native --target halvik_install installx64 halvik-sim >/dev/null
exec "$root/build/native/install" "$@"
