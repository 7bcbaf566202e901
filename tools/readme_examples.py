"""Runs the examples of the README and docs/ and checks or rewrites their output.

    .venv/bin/python tools/readme_examples.py --update   # after retraining

Examples are ```pycon blocks (Python prompts, run like doctests, sharing one
namespace per page) and ```console blocks ("$ " commands, run by bash with
this interpreter's `tamsu` first on PATH), each page in a folder of its own.
tests/test_readme.py fails when a page's shown output is stale.
"""

import ast
import contextlib
import io
import os
import re
import subprocess
import sys
import traceback

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(
    __file__)), os.pardir))
README = os.path.join(ROOT, "README.md")
DOCS = os.path.join(ROOT, "docs")


def pages():
    """The README and every documentation page, in a fixed order."""
    return [README] + sorted(
        os.path.join(DOCS, name) for name in os.listdir(DOCS)
        if name.endswith(".md"))
BLOCK = re.compile(r"^```(pycon|console)\n(.*?)^```$", re.S | re.M)


def blocks(text):
    return [(m.group(1), m.start(2), m.end(2)) for m in BLOCK.finditer(text)]


def shell_output(command):
    bin_dir = os.path.dirname(sys.executable)
    env = {**os.environ, "PATH": bin_dir + os.pathsep + os.environ["PATH"],
           "LC_ALL": "C.UTF-8"}
    result = subprocess.run(command, shell=True, capture_output=True,
                            text=True, env=env, timeout=120,
                            executable="/bin/bash")
    return result.stdout + result.stderr


def console(body):
    """The block with every command's output replaced by a fresh run."""
    out, command = [], None
    for line in body.splitlines(keepends=True):
        if line.startswith("$ "):
            if command is not None:
                out.append(shell_output(command))
            command = line[2:]
            out.append(line)
    if command is not None:
        out.append(shell_output(command))
    return "".join(out)


def pycon(body, namespace):
    """The block with every example's output replaced by a fresh run."""
    out, source = [], []

    def flush():
        if not source:
            return
        code = "".join(source)
        buffer = io.StringIO()
        with contextlib.redirect_stdout(buffer):
            try:
                tree = ast.parse(code, mode="single")
                exec(compile(tree, "<example>", "single"), namespace)
            except Exception:
                lines = traceback.format_exc().splitlines()
                buffer.write("Traceback (most recent call last):\n...\n" +
                             lines[-1] + "\n")
        out.append(buffer.getvalue())
        source.clear()

    for line in body.splitlines(keepends=True):
        if line.startswith(">>> "):
            flush()
            out.append(line)
            source.append(line[4:])
        elif line.startswith("... ") or line.rstrip("\n") == "...":
            out.append(line)
            source.append(line[4:] if line.startswith("... ") else "\n")
    flush()
    return "".join(out)


def regenerated(text):
    namespace = {}
    pieces, position = [], 0
    for kind, start, end in blocks(text):
        body = text[start:end]
        pieces.append(text[position:start])
        pieces.append(console(body) if kind == "console"
                      else pycon(body, namespace))
        position = end
    pieces.append(text[position:])
    return "".join(pieces)


def main() -> int:
    if sys.argv[1:] != ["--update"]:
        sys.exit(__doc__)
    import tempfile
    for page in pages():
        with open(page, encoding="utf-8") as stream:
            original = stream.read()
        # Where the page's commands write their files, fresh for each page
        # as in the test.
        with tempfile.TemporaryDirectory() as scratch:
            os.chdir(scratch)
            updated = regenerated(original)
            os.chdir(ROOT)
        if updated != original:
            with open(page, "w", encoding="utf-8") as stream:
                stream.write(updated)
        print(os.path.relpath(page, ROOT),
              "updated" if updated != original else "is up to date")
    return 0


if __name__ == "__main__":
    sys.exit(main())
