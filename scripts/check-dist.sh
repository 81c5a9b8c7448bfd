#!/usr/bin/env bash
# Builds the sdist and the wheel with `python -m build`, then installs each into its own fresh virtual
# environment and runs the test suite against it, from a copy of the tracked files outside the source tree
# (there is no pyql there, so the installed extension is the one imported).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 -m venv "$work/build-env"
"$work/build-env/bin/python" -m pip install -q --upgrade pip build
"$work/build-env/bin/python" -m build --outdir "$work/dist" .
mkdir "$work/src"
git ls-files -z | xargs -0 cp --parents -t "$work/src"

for artifact in "$work"/dist/*.tar.gz "$work"/dist/*.whl; do
    printf '\n==> %s\n' "$(basename "$artifact")"
    venv="$work/venv-$(basename "$artifact")"
    python3 -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q "$artifact[test]"
    (cd "$work/src" && "$venv/bin/python" -m pytest -q -p no:cacheprovider tests)
done
printf '\n==> sdist and wheel install and pass\n'
