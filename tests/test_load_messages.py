"""Load errors that quote bytes of the file which are not UTF-8."""

import struct

import pytest

import tamsu


def test_the_message_survives_bytes_that_are_not_utf8(tmp_path):
    path = tmp_path / "model.fst"
    tamsu.train([("zq", "Z K")], path, progress=False)
    data = bytearray(path.read_bytes())
    # The grapheme "q" becomes a byte that is not UTF-8, its label 99: the
    # reader's message quotes that byte.
    at = data.index(b"\x01\x00\x00\x00q") + 4
    data[at] = 0xFF
    struct.pack_into("<q", data, at + 1, 99)
    path.write_bytes(data)
    with pytest.raises(ValueError) as error:
        tamsu.Model(str(path))
    message = str(error.value)
    assert message.startswith("failed to read FST: ")
    assert "\ufffd" in message and str(path) in message
