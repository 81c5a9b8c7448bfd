#!/usr/bin/env bash
# Runs the whole test suite against a build of the extension (and the core) instrumented with AddressSanitizer
# and UndefinedBehaviorSanitizer. Fails on any failing test and on any sanitizer report, including reports
# from the subprocesses the tests start.
#
#   scripts/test-sanitized.sh [pytest arguments...]
#
# The build lives in build/sanitized (git-ignored; QUILLET_SANITIZE_DIR to move it). It uses the compiler
# CMake picks (CXX to choose: GCC or Clang) and the python3 on PATH, which must have pytest and hypothesis.
#
# How the run is set up:
# - PYTHONPATH puts the sanitized modules first: $build/site holds pyql and a quillet package made of links to
#   the source tree's python/quillet files and the sanitized quillet._native. Subprocesses inherit the
#   environment, so `python -m quillet.cli` and `python -c ...` in the tests load the sanitized modules too.
# - The python executable is not instrumented, so the sanitizer runtime is preloaded (LD_PRELOAD); it has to
#   be the first library loaded.
# - PYTHONMALLOC=malloc sends every Python object to the sanitizer's allocator, so a reference-counting error
#   in the binding (an object used after its last reference went away) is caught where it happens. The
#   interpreter counts no blocks then (sys.getallocatedblocks()): the leak tests count the bytes the
#   sanitizer has handed out instead, and do not look at the process's size, which grows by the freed memory
#   the sanitizer holds back to catch late uses (its quarantine, up to 256 MiB). Other tests that count
#   blocks check nothing here; the normal run covers them.
# - A request for more memory than the sanitizer's allocator can give (a pickle that claims a terabyte-long
#   string, say) returns null as malloc does, so Python raises MemoryError as in a normal run, instead of the
#   sanitizer ending the process; the warning it leaves is not counted as a report.
# - Leak detection is off: CPython keeps much of its memory to the end of the process on purpose. The
#   core's own leaks are the fuzzer's business (fuzz/run.sh runs with leak detection), Python-level leaks
#   the leak tests'.
# - Reports go to files in the build directory, which are printed and fail the run, since a test that
#   checks only a subprocess's output would not notice one.
# - Nothing is deselected. The tests with time limits scale them by a parse timed in the same run (the
#   pathological inputs) or are generous subprocess timeouts, so the sanitizers' slowdown (about three
#   times) fits.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QUILLET_SANITIZE_DIR:-$root/build/sanitized}
python=$(command -v python3)

step() { printf '\n==> %s\n' "$*"; }

command -v cmake >/dev/null || { echo "test-sanitized.sh: cmake is needed" >&2; exit 2; }
generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi
if [ -f "$build/CMakeCache.txt" ] && ! grep -q "^CMAKE_GENERATOR:INTERNAL=${generator[1]:-Unix Makefiles}\$" \
    "$build/CMakeCache.txt"; then
    rm -rf "$build"
fi

step "sanitized build in $build"
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUILLET_BUILD_PYTHON=ON -DQUILLET_SANITIZE=ON -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" --target pyql _native --parallel "${QUILLET_JOBS:-2}"

site="$build/site"
rm -rf "$site"
mkdir -p "$site/quillet"
ln -s "$build"/pyql.*.so "$site/"
for file in "$root"/python/quillet/*; do ln -s "$file" "$site/quillet/"; done
ln -s "$build"/_native.*.so "$site/quillet/"

# The runtime the module was linked against, found through the compiler that linked it.
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
if "$cxx" --version | grep -qi clang; then
    runtimes=("libclang_rt.asan-$(uname -m).so")
else
    runtimes=(libasan.so libubsan.so)
fi
preload=()
for name in "${runtimes[@]}"; do
    path=$("$cxx" -print-file-name="$name")
    [ -f "$path" ] || { echo "test-sanitized.sh: $cxx has no $name" >&2; exit 2; }
    preload+=("$(realpath "$path")")
done

reports="$build/reports"
rm -rf "$reports"
mkdir -p "$reports"

export LD_PRELOAD="${preload[*]}${LD_PRELOAD:+ $LD_PRELOAD}"
export ASAN_OPTIONS="allocator_may_return_null=1:detect_leaks=0:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1:log_path=$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
export PYTHONMALLOC=malloc
export PYTHONPATH="$site${PYTHONPATH:+:$PYTHONPATH}"

step "python3 -c 'import pyql, quillet._native' loads the sanitized modules"
for name in pyql quillet._native; do
    module=$("$python" -c "import $name; print($name.__file__)")
    case "$module" in
        "$site"/*) echo "$module" ;;
        *) echo "test-sanitized.sh: $name came from $module, not from $site" >&2; exit 2 ;;
    esac
done

step "python3 -m pytest under AddressSanitizer and UndefinedBehaviorSanitizer"
status=0
(cd "$root" && "$python" -m pytest -p no:cacheprovider -q "$@") || status=$?

# A refused allocation (see allocator_may_return_null above) leaves only a warning: not a report.
for report in "$reports"/*; do
    [ -e "$report" ] || continue
    if ! grep -qv -e '^==[0-9]*==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]* bytes$' -e '^$' "$report"; then
        rm -f "$report"
    fi
done
if compgen -G "$reports/*" >/dev/null; then
    for report in "$reports"/*; do
        printf '\n==> sanitizer report %s\n' "${report##*/}" >&2
        cat "$report" >&2
    done
    printf '\n==> FAILED: the sanitizers reported errors (above)\n' >&2
    exit 1
fi
if [ "$status" -ne 0 ]; then
    printf '\n==> FAILED: the sanitized test run exited with status %s\n' "$status" >&2
    exit "$status"
fi
step "sanitized tests passed with no sanitizer report"
