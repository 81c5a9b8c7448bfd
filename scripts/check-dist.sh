#!/usr/bin/env bash
# Builds the sdist and the wheel with `python -m build`, then installs each into its own fresh virtual
# environment and runs the test suite against it (from a copy of tests/ outside the source tree, so that
# nothing but the installed package is imported).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 -m venv "$work/build-env"
"$work/build-env/bin/python" -m pip install -q --upgrade pip build
"$work/build-env/bin/python" -m build --outdir "$work/dist" .
cp -r tests examples "$work/"

for artifact in "$work"/dist/*.tar.gz "$work"/dist/*.whl; do
    printf '\n==> %s\n' "$(basename "$artifact")"
    venv="$work/venv-$(basename "$artifact")"
    python3 -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q "$artifact[test]"
    (cd "$work" && "$venv/bin/python" -m pytest -q -p no:cacheprovider tests)
done
printf '\n==> sdist and wheel install and pass\n'
