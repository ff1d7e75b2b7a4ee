#!/usr/bin/env bash
# Builds everything and runs every test: the native unit and scenario tests, the same under the
# address and undefined-behaviour sanitizers, the Windows programs and release package, and the
# Wine suite.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
"$root/scripts/ensure-packages.sh" cmake make g++ googletest libgtest-dev libbenchmark-dev \
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 zip unzip

echo "== native build and tests"
cmake --preset native
cmake --build --preset native
ctest --preset native

echo "== clang-tidy on the core"
"$root/scripts/ensure-packages.sh" clang-tidy
# The core's sources, found without git: the test command runs from a source archive too.
find src/common src/frontend src/product src/runlog src/config src/service src/pnp src/delegate src/counterpart -maxdepth 1 \
  -name '*.cpp' | sort |
  xargs -P 2 -n 4 clang-tidy -p build/native --quiet 2>/dev/null

echo "== deployment playbooks"
# Both checkers run offline: the playbooks need the ansible.windows collection, which Debian's
# ansible package carries.
"$root/scripts/ensure-packages.sh" ansible ansible-lint
for playbook in deploy/*-halvik.yml; do
  ansible-playbook -i deploy/inventory/example.yml --syntax-check "$playbook"
done
ansible-lint --offline -c deploy/.ansible-lint deploy/
echo "== fleet rehearsal through ansible-playbook"
tests/fleet/run.sh build/native

echo "== sanitizer build and tests"
cmake --preset sanitize
cmake --build --preset sanitize
ctest --preset sanitize

echo "== Windows programs"
cmake --preset win32
cmake --build --preset win32
cmake --preset win64
cmake --build --preset win64
"$root/scripts/check-windows-resources.sh"
"$root/scripts/check-imports.sh"

if [ -x "$root/scripts/package.sh" ]; then
  echo "== release package"
  "$root/scripts/package.sh"
fi

if [ -x "$root/tests/wine/run.sh" ]; then
  echo "== Wine suite"
  "$root/tests/wine/run.sh"
fi
