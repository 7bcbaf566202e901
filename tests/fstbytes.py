"""Reads and edits the fields of an OpenFst binary vector FST, for tests
that damage model files on purpose."""

import struct


def _string_end(data, pos):
    (length,) = struct.unpack_from("<i", data, pos)
    return pos + 4 + max(length, 0)


def header_offsets(data):
    """Byte offsets of the header fields after the two type strings."""
    pos = _string_end(data, _string_end(data, 4))
    names = ["version", "flags", "properties", "start", "num_states",
             "num_arcs"]
    sizes = [4, 4, 8, 8, 8, 8]
    offsets = {}
    for name, size in zip(names, sizes):
        offsets[name] = pos
        pos += size
    offsets["end"] = pos
    return offsets


def poke(data, offset, fmt, value):
    data = bytearray(data)
    struct.pack_into(fmt, data, offset, value)
    return bytes(data)


def read_field(data, name):
    offsets = header_offsets(data)
    fmt = {"version": "<i", "flags": "<i", "properties": "<Q",
           "start": "<q", "num_states": "<q", "num_arcs": "<q"}[name]
    return struct.unpack_from(fmt, data, offsets[name])[0]


def skip_symbol_table(data, pos):
    pos += 4  # magic
    pos = _string_end(data, pos)  # name
    pos += 8  # available key
    (size,) = struct.unpack_from("<q", data, pos)
    pos += 8
    for _ in range(size):
        pos = _string_end(data, pos) + 8
    return pos


def body_offset(data):
    """Offset of the first state record."""
    pos = header_offsets(data)["end"]
    flags = read_field(data, "flags")
    if flags & 1:
        pos = skip_symbol_table(data, pos)
    if flags & 2:
        pos = skip_symbol_table(data, pos)
    return pos


def states(data):
    """The states as (final weight, [(ilabel, olabel, weight, next)])."""
    pos = body_offset(data)
    result = []
    for _ in range(read_field(data, "num_states")):
        (final,) = struct.unpack_from("<f", data, pos)
        (narcs,) = struct.unpack_from("<q", data, pos + 4)
        pos += 12
        arcs = []
        for _ in range(narcs):
            arcs.append(struct.unpack_from("<iifi", data, pos))
            pos += 16
        result.append((final, arcs))
    return result
