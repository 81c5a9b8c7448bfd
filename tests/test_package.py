"""What `import quillet` gives: every name of the package is the function or class it names, whichever of
the package's modules was imported first, and pyql is loaded with the package."""

from __future__ import annotations

import subprocess
import sys

import pytest

from conftest import child_env

CASES = [
    # what a fresh interpreter runs, what it prints
    # a tool named as its module: importing the module first (as quillet lsp and quillet check do) must
    # not leave the module where the function belongs
    *[(f"import quillet.{name}, quillet, sys\n"
       f"print(quillet.{name} is sys.modules['quillet.{name}'].{name}, callable(quillet.{name}))",
       "True True")
      for name in ("check", "chunks", "records", "sections")],
    ("import quillet, types\n"
     "print(all(not isinstance(getattr(quillet, name), types.ModuleType) for name in quillet.__all__))",
     "True"),
    ("from quillet import *\nprint(to_text('# Hi *there*'))", "Hi there"),
    # a pyql that cannot load: the package says so at once, not at the first call of a tool
    ("import sys\nsys.modules['pyql'] = None\n"
     "try:\n    import quillet\nexcept ImportError as exc:\n    print('ImportError', 'pyql' in str(exc))",
     "ImportError True"),
]


@pytest.mark.parametrize("code, expected", CASES)
def test_import_quillet(code, expected):
    run = subprocess.run([sys.executable, "-c", code], env=child_env(), capture_output=True, text=True, timeout=120)
    assert (run.stdout.strip(), run.stderr) == (expected, "")
