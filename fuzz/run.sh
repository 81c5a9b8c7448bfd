#!/usr/bin/env bash
# Builds a libFuzzer harness with Clang and fuzzes it: fuzz_parse (the core, the default) or, with
# QUILLET_FUZZ_TARGET=fuzz_writers, the walk and every writer.
#
#   fuzz/run.sh [SECONDS] [libFuzzer options...]      SECONDS defaults to 600; 0 runs until stopped
#   fuzz/run.sh 0 build/fuzz/artifacts/crash-...      (any file argument: just runs the harness on it)
#   QUILLET_FUZZ_TARGET=fuzz_writers fuzz/run.sh 300
#
# Everything it makes lives under build/fuzz/ (git-ignored; QUILLET_FUZZ_DIR to move it): the build, the
# working corpus (kept from run to run), the seeds (rebuilt each run from examples/*.qlt and the source texts
# of the tests) and the artifacts (crash-*, timeout-*, oom-* inputs). The compiler is clang++ or clang++-14;
# QUILLET_FUZZ_CXX picks another.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-600}
shift || true
out=${QUILLET_FUZZ_DIR:-$root/build/fuzz}
target=${QUILLET_FUZZ_TARGET:-fuzz_parse}
case "$target" in
    fuzz_parse) corpus=$out/corpus ;;
    fuzz_writers) corpus=$out/corpus-writers ;;
    *) echo "fuzz/run.sh: QUILLET_FUZZ_TARGET is fuzz_parse or fuzz_writers" >&2; exit 2 ;;
esac

cxx=${QUILLET_FUZZ_CXX:-$(command -v clang++ || command -v clang++-14 || true)}
if [ -z "$cxx" ]; then
    echo "fuzz/run.sh: no clang++ found (libFuzzer comes with Clang); set QUILLET_FUZZ_CXX" >&2
    exit 2
fi

cmake -S "$root" -B "$out/build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUILLET_FUZZ=ON >/dev/null
cmake --build "$out/build" --target "$target" -j2

# Reproducing given inputs: no corpus, no time limit.
for arg in "$@"; do
    if [ -f "$arg" ]; then exec "$out/build/$target" "$@"; fi
done

mkdir -p "$corpus" "$out/artifacts"
rm -rf "$out/seeds"
mkdir -p "$out/seeds"
cp "$root"/examples/*.qlt "$out/seeds/"
# Every string literal of the tests that holds some markup is a seed of its own.
python3 - "$root/tests" "$out/seeds" <<'PY'
import ast, hashlib, pathlib, sys

tests, seeds = map(pathlib.Path, sys.argv[1:])
found = set()
for path in sorted(tests.glob("*.py")):
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Constant) and isinstance(node.value, str):
            text = node.value
            if len(text) >= 2 and any(c in text for c in "*~`[<:#-|@\n"):
                found.add(text.encode("utf-8", "surrogatepass"))
for data in found:
    (seeds / hashlib.sha1(data).hexdigest()).write_bytes(data)
print(f"fuzz/run.sh: {len(found)} seeds from the tests", file=sys.stderr)
PY

exec nice "$out/build/$target" "$corpus" "$out/seeds" \
    -dict="$root/fuzz/quillet.dict" \
    -artifact_prefix="$out/artifacts/" \
    -max_total_time="$seconds" \
    -max_len=8192 \
    -timeout=10 \
    -rss_limit_mb=2048 \
    -print_final_stats=1 \
    "$@"
