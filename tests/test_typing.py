"""The installed package's types reach mypy (py.typed and the stubs)."""

import os
import shutil
import subprocess
import sys


def test_mypy_sees_the_installed_types(tmp_path):
    # Outside the source tree: mypy finds the installed package.
    mypy = shutil.which("mypy")
    shutil.copy(os.path.join(os.path.dirname(__file__), "typed_client.py"),
                tmp_path / "client.py")
    result = subprocess.run(
        [mypy, "--strict", "--no-incremental",
         f"--python-executable={sys.executable}", "client.py"],
        capture_output=True, text=True, cwd=tmp_path, timeout=300,
        env={**os.environ, "MYPYPATH": ""})
    assert result.returncode == 0, result.stdout
