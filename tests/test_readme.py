"""The README's batch-processing example runs as written."""

import json
import re
import shutil
import subprocess
import sys

from conftest import ROOT


def test_batch_example_writes_one_json_line_per_document(tmp_path):
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    code = re.search(r"## Processing many documents.*?```python\n(.*?)```", readme, re.S).group(1)
    (tmp_path / "docs" / "sub").mkdir(parents=True)
    shutil.copy(ROOT / "examples" / "tour.qlt", tmp_path / "docs" / "sub" / "tour.qlt")
    shutil.copy(ROOT / "examples" / "errors.qlt", tmp_path / "docs" / "errors.qlt")
    (tmp_path / "batch.py").write_text(code, encoding="utf-8")
    subprocess.run([sys.executable, "batch.py"], cwd=tmp_path, check=True, timeout=120)
    records = [json.loads(line) for line in (tmp_path / "docs.jsonl").read_text(encoding="utf-8").splitlines()]
    assert [(r["path"], len(r["errors"])) for r in records] == [("docs/errors.qlt", 4), ("docs/sub/tour.qlt", 0)]
    assert records[1]["document"]["type"] == "Document"


def test_example_trees_are_what_quillet_prints():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    section = readme.split("### Examples and their trees", 1)[1].split("\n## ", 1)[0]
    pairs = re.findall(r"```qlt\n(.*?)```\n\n```text\n(.*?)```", section, re.S)
    assert len(pairs) >= 8
    for source, tree in pairs:
        run = subprocess.run([sys.executable, "-m", "quillet.cli", "-"], input=source, capture_output=True,
                             text=True, timeout=60)
        assert run.stdout + run.stderr == tree, source
