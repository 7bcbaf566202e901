"""Checks that the AVX2 copy of the neural passes shares no inline function
compiled with VEX instructions with the rest of the neural library.

An inline function or template instance (a weak, COMDAT symbol) defined
both in passes_avx2.cc's object and in another object is kept once by the
linker, whichever copy it meets first: were the AVX2 object's copy built
for AVX2, the generic code would run it on processors without AVX2.

Usage: avx2_isolation.py LIBRARY.a (the neural library, with nm and
objdump from binutils on PATH). Exits 1, naming the functions, on a
shared function with VEX instructions.
"""

import re
import subprocess
import sys

WEAK = {"W", "V", "u"}
# A VEX-encoded instruction: its mnemonic starts with v (vmovups,
# vfmadd231ps, vzeroupper, ...) or it names a 256-bit register.
VEX = re.compile(r"^\s*[0-9a-f]+:\s+(v[a-z0-9]+|\S.*%ymm)")


def weak_symbols(library):
    """{member: set of weak symbol names} of the archive's objects."""
    found = {}
    listing = subprocess.run(["nm", "-A", "--defined-only", library],
                             capture_output=True, text=True, check=True)
    for line in listing.stdout.splitlines():
        fields = line.split()
        if len(fields) != 3 or fields[1] not in WEAK:
            continue
        member = fields[0].rsplit(":", 1)[0].rsplit(":", 1)[-1]
        found.setdefault(member, set()).add(fields[2])
    return found


def vex_functions(library, member):
    """The functions of `member` with at least one VEX instruction."""
    listing = subprocess.run(["objdump", "-d", "--no-show-raw-insn", library],
                             capture_output=True, text=True, check=True)
    functions, current, inside = set(), None, False
    for line in listing.stdout.splitlines():
        if line.endswith("file format elf64-x86-64"):
            inside = line.split(":")[0].rsplit("/", 1)[-1] == \
                member.rsplit("/", 1)[-1]
            continue
        label = re.match(r"^[0-9a-f]+ <(.+)>:$", line)
        if label:
            current = label.group(1)
        elif inside and current and VEX.match(line):
            functions.add(current)
    return functions


def main():
    library = sys.argv[1]
    weak = weak_symbols(library)
    avx2 = [m for m in weak if "passes_avx2" in m]
    if len(avx2) != 1:
        print(f"no single AVX2 object among {sorted(weak)}")
        return 1
    others = set().union(*(s for m, s in weak.items() if m != avx2[0]))
    shared = weak[avx2[0]] & others
    if not shared:
        print("the AVX2 object defines no weak symbol of the others")
        return 1
    vex = vex_functions(library, avx2[0])
    if not vex:  # then the listing was not read as this expects
        print("found no VEX instruction in the AVX2 object")
        return 1
    leaking = shared & vex
    for name in sorted(leaking):
        print(f"shared with VEX instructions: {name}")
    print(f"{len(shared)} shared weak symbols, {len(leaking)} with VEX")
    return 1 if leaking else 0


if __name__ == "__main__":
    sys.exit(main())
