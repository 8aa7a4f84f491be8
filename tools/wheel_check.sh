#!/usr/bin/env bash
# tools/wheel_check.sh WHEEL: installs the wheel with the sklearn extra into a fresh venv under
# /tmp whose PATH holds no compiler (binary packages only), then runs the smoke test
# (tools/wheel_smoke.py) there against models the development build (build/release) saved,
# and the `tarvo` command. Run from a checkout after `make build` (`make wheel-check` does both).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
wheel=$(realpath "$1")
work=$(mktemp -d /tmp/tarvo-wheel-check.XXXXXX)
trap 'rm -rf "$work"' EXIT

PYTHONPATH="$root/build/release:$root/python" .venv/bin/python tools/wheel_smoke.py save "$work/dev.pkl"

.venv/bin/python -m venv "$work/venv"
bare_path="$work/venv/bin"
for compiler in cc c++ gcc g++ clang clang++; do
    if PATH=$bare_path command -v "$compiler" >/dev/null; then
        echo "wheel check: a compiler ($compiler) is on the venv's PATH" >&2
        exit 1
    fi
done

start=$EPOCHREALTIME
PATH=$bare_path CC=false CXX=false "$work/venv/bin/python" -m pip install --quiet --disable-pip-version-check \
    --only-binary=:all: "$wheel[sklearn]"
end=$EPOCHREALTIME
echo "installed $(basename "$wheel") with the sklearn extra in $(awk "BEGIN { printf \"%.1f\", $end - $start }") s"

cd "$work"  # away from the checkout, so that nothing is imported from it
unset PYTHONPATH
bare() { PATH=$bare_path "$@"; }  # the wheel's code runs with the venv alone on PATH
bare venv/bin/python "$root/tools/wheel_smoke.py" check dev.pkl "$root/README.md"
expected=$(bare venv/bin/python -c 'import tarvo; print(tarvo.__distribution__, tarvo.__version__)')
for version in "$(bare venv/bin/tarvo --version)" "$(bare venv/bin/python -m tarvo --version)"; do
    if [ "$version" != "$expected" ]; then
        echo "wheel check: --version printed '$version', not '$expected'" >&2
        exit 1
    fi
done
listed=$(bare venv/bin/tarvo list)
for name in HoeffdingTreeClassifier ARFRegressor agrawal; do
    grep -q "$name" <<<"$listed" || { echo "wheel check: 'tarvo list' lacks $name" >&2; exit 1; }
done
echo "wheel check passed: $expected, 'tarvo list' and '--version' from the command"
