"""Load errors that quote bytes of the file which are not UTF-8."""

import struct
import subprocess

import pytest

import tamsu


def compile_model(directory, extra_symbol="ZZ"):
    """A one-state model reading a, b, c as themselves, with both symbol
    tables stored in the file; `extra_symbol` is on no arc."""
    symbols = ["<eps>", "|", "_", "a", "b", "c", extra_symbol]
    table = directory / "symbols.txt"
    table.write_text("".join(f"{s}\t{i}\n" for i, s in enumerate(symbols)))
    arcs = directory / "model.txt"
    arcs.write_text("0 0 a a 1\n0 0 b b 1\n0 0 c c 1\n0 0\n")
    model = directory / "model.fst"
    subprocess.run(["fstcompile", f"--isymbols={table}",
                    f"--osymbols={table}", "--keep_isymbols",
                    "--keep_osymbols", str(arcs), str(model)], check=True)
    return str(model)


def damage_symbol(data):
    # "ZZ" becomes two bytes that are not UTF-8, with a label out of order.
    at = data.index(b"\x02\x00\x00\x00ZZ") + 4
    data[at:at + 2] = b"\xff\xfe"
    struct.pack_into("<q", data, at + 2, 99)


def damage_fst_type(data):
    data[data.index(b"vector") + 4] = 0xFF


@pytest.mark.parametrize("damage", [damage_symbol, damage_fst_type])
def test_the_message_survives_bytes_that_are_not_utf8(tmp_path, damage):
    path = compile_model(tmp_path)
    with open(path, "rb") as f:
        data = bytearray(f.read())
    damage(data)
    with open(path, "wb") as f:
        f.write(data)
    with pytest.raises(ValueError) as error:
        tamsu.Model(path)
    message = str(error.value)
    assert message.startswith("failed to read FST: ")
    assert "\ufffd" in message and path in message
