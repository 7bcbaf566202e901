"""Load errors that quote bytes of the file which are not UTF-8."""

import struct

import pytest

import tamsu

from conftest import SIMPLE_ARCS, SIMPLE_ISYMS, SIMPLE_OSYMS, compile_model


def damage_symbol(data):
    # "ZZ" becomes two bytes that are not UTF-8, with a label out of order.
    at = data.index(b"\x02\x00\x00\x00ZZ") + 4
    data[at:at + 2] = b"\xff\xfe"
    struct.pack_into("<q", data, at + 2, 99)


def damage_fst_type(data):
    data[data.index(b"vector") + 4] = 0xFF


@pytest.mark.parametrize("damage", [damage_symbol, damage_fst_type])
def test_the_message_survives_bytes_that_are_not_utf8(tmp_path, damage):
    path = compile_model(tmp_path, "model", SIMPLE_ARCS, SIMPLE_ISYMS + ["ZZ"],
                         SIMPLE_OSYMS)
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
