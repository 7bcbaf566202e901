"""A function run in a child Python process, for work that changes
process-wide state (a matrix library's thread count, PyTorch's random
state) which the caller's other threads must not see change.

The parent starts the interpreter it runs on, with its own sys.path,
to run :func:`main`, sends it the function's name and keyword arguments
(pickled) on standard input, and reads messages back from the child's
standard output: progress reports, then the function's result or its
exception. Unlike multiprocessing's spawn, the child never imports the
caller's ``__main__``, so a script without a ``__main__`` guard works.

The child ends when the parent does (its standard input closes) and
ignores Ctrl-C: the parent, which gets the KeyboardInterrupt, kills it and
waits for it to end.
"""

from __future__ import annotations

import importlib
import os
import pickle
import signal
import struct
import subprocess
import sys
import threading
import traceback
from typing import IO, Any, Callable

__all__ = ["run_in_child"]

_LENGTH = struct.Struct("<Q")
# The child's command: its arguments are the parent's sys.path.
_BOOTSTRAP = ("import sys; sys.path[:] = sys.argv[1:]; "
              "from tamsu.child_process import main; main()")
# Errors a caller expects and reports by their message; any other error
# carries the child's traceback as a note.
_EXPECTED = (ImportError, OSError, ValueError)


def _send(stream: IO[bytes], message: object) -> None:
    data = pickle.dumps(message, protocol=pickle.HIGHEST_PROTOCOL)
    stream.write(_LENGTH.pack(len(data)) + data)
    stream.flush()


def _receive(stream: IO[bytes]) -> Any:
    """The next message; EOFError when the child ended first."""
    head = stream.read(_LENGTH.size)
    if len(head) < _LENGTH.size:
        raise EOFError
    (length,) = _LENGTH.unpack(head)
    data = stream.read(length)
    if len(data) < length:
        raise EOFError
    return pickle.loads(data)


def run_in_child(function: str, kwargs: dict[str, Any],
                 progress: Callable[[Any], object] | None = None) -> Any:
    """``module.function(progress=report, **kwargs)`` run in a child
    process (`function` names it as "module:function"); its result, or
    its exception raised here. Each report(value) of the child calls
    `progress(value)` here. The arguments, reports and result must pickle.
    Any exception here (KeyboardInterrupt, one from `progress`) kills the
    child, and waits for its end, before it propagates. RuntimeError when
    the child dies without a result."""
    # The child imports from this process's sys.path, so that it finds
    # the same package and the same modules.
    command = [sys.executable, "-c", _BOOTSTRAP,
               *[entry for entry in sys.path if isinstance(entry, str)]]
    with subprocess.Popen(command, stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE) as child:
        assert child.stdin is not None and child.stdout is not None
        try:
            try:
                _send(child.stdin, (function, kwargs))
            except BrokenPipeError:
                pass  # it died first: reported below, with its status
            while True:
                try:
                    kind, value = _receive(child.stdout)
                except EOFError:
                    raise RuntimeError(
                        f"the child process running {function} ended "
                        f"without a result (exit status {child.wait()})"
                    ) from None
                if kind == "result":
                    return value
                if kind == "error":
                    raise value
                if progress is not None:
                    progress(value)
        except BaseException:
            child.kill()
            # Reaped here: after a KeyboardInterrupt, Popen's exit waits
            # only a quarter of a second, too short on a busy machine.
            child.wait()
            raise


def _pickled_error(error: BaseException) -> BaseException:
    """`error` as it can travel to the parent."""
    if not isinstance(error, _EXPECTED):
        error.add_note("in the child process:\n" + "".join(
            traceback.format_exception(error)).rstrip())
    try:
        pickle.loads(pickle.dumps(error))
    except Exception:
        return RuntimeError(f"{type(error).__name__}: {error}")
    return error


def _end_with_parent(fd: int) -> None:
    """Ends this process once `fd` (the parent's pipe) closes. It reads the
    descriptor itself: a buffered reader's lock, held in a blocked read,
    would stop the interpreter's shutdown."""
    while os.read(fd, 4096):
        pass
    os._exit(1)


def main() -> None:
    """The child: runs the function the parent sends."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # The messages get the real standard output; anything the function
    # prints goes to standard error.
    channel = os.fdopen(os.dup(1), "wb")
    os.dup2(2, 1)
    function, kwargs = _receive(sys.stdin.buffer)
    threading.Thread(target=_end_with_parent, args=(sys.stdin.fileno(),),
                     daemon=True).start()
    module, name = function.split(":")
    try:
        result = getattr(importlib.import_module(module), name)(
            progress=lambda value: _send(channel, ("progress", value)),
            **kwargs)
    except BaseException as error:
        _send(channel, ("error", _pickled_error(error)))
    else:
        _send(channel, ("result", result))
    channel.close()
