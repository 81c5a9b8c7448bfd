#!/usr/bin/env bash
# Builds, installs and tests the package on every CPython under pyenv that the package supports (the floor
# is read from requires-python in pyproject.toml). Each version gets a fresh virtual environment in
# .venv-py<version>. Usage: scripts/test-pythons.sh [VERSION ...]   (default: all supported versions found)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

floor=$(python3 -c 'import re, tomllib
spec = tomllib.load(open("pyproject.toml", "rb"))["project"]["requires-python"]
print(re.search(r">=\s*(\d+\.\d+)", spec).group(1))')
root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")

if [ "$#" -gt 0 ]; then
    versions=("$@")
else
    mapfile -t versions < <(ls "$root/versions" 2>/dev/null | sort -V)
fi

tested=() failed=()
for v in "${versions[@]}"; do
    py="$root/versions/$v/bin/python3"
    [ -x "$py" ] || { echo "skip $v: no interpreter at $py"; continue; }
    if ! "$py" -c "import sys; sys.exit(sys.version_info[:2] < tuple(map(int, '$floor'.split('.'))))"; then
        echo "skip $v: older than $floor"
        continue
    fi
    printf '\n==> CPython %s\n' "$v"
    venv=".venv-py$v"
    if "$py" -m venv --clear "$venv" && "$venv/bin/python" -m pip install -q --upgrade pip &&
        "$venv/bin/python" -m pip install -q ".[test]" && "$venv/bin/python" -m pytest -q -p no:cacheprovider; then
        tested+=("$v")
    else
        failed+=("$v")
    fi
done

printf '\n==> passed on: %s\n' "${tested[*]:-none}"
if [ "${#failed[@]}" -gt 0 ]; then
    printf '==> FAILED on: %s\n' "${failed[*]}" >&2
    exit 1
fi
[ "${#tested[@]}" -gt 0 ] || { echo "no supported CPython found" >&2; exit 1; }
