"""Edits the header fields of an OpenFst binary vector FST, for tests that
damage model files on purpose."""

import struct


def _string_end(data, pos):
    (length,) = struct.unpack_from("<i", data, pos)
    return pos + 4 + max(length, 0)


def header_offsets(data):
    """Byte offsets of the header fields after the two type strings."""
    pos = _string_end(data, _string_end(data, 4))
    offsets = {}
    for name, size in [("version", 4), ("flags", 4), ("properties", 8),
                       ("start", 8), ("num_states", 8), ("num_arcs", 8)]:
        offsets[name] = pos
        pos += size
    offsets["end"] = pos
    return offsets


def poke(data, offset, fmt, value):
    data = bytearray(data)
    struct.pack_into(fmt, data, offset, value)
    return bytes(data)
