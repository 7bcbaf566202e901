"""An ordered process pool that fails instead of hanging.

ordered_map runs a function over chunks of items in worker processes and
yields the results in input order. Unlike multiprocessing.Pool it notices a
worker that dies (killed, out of memory) and raises WorkerDied at once, and
when the parent stops early (Ctrl-C, an error, the consumer closing the
generator) it ends its workers right away instead of waiting for them.

Each worker has two pipes of its own: chunks go in on one, results come
back on the other, in the order the chunks went in.
"""

from __future__ import annotations

import itertools
import multiprocessing
import pickle
import queue
import signal
import threading
import traceback
from multiprocessing.connection import Connection, wait
from typing import Any, Callable, Iterable, Iterator, Sequence

__all__ = ["WorkerDied", "ordered_map"]

# Chunks sent to one worker and not yet answered: one running, one waiting,
# so that a worker never idles while the parent collects its last result.
_IN_FLIGHT = 2
# How long a worker may take to exit once told to stop, or once terminated.
_EXIT_WAIT = 2.0


class WorkerDied(RuntimeError):
    """A worker process ended unexpectedly (killed, out of memory)."""


class _RemoteTraceback(Exception):
    """Carries a worker's traceback text, chained to the re-raised error."""

    def __init__(self, text: str) -> None:
        super().__init__(text)
        self.text = text

    def __str__(self) -> str:
        return self.text


def ordered_map(function: Callable[[list[Any]], Sequence[Any]],
                items: Iterable[Any], *, jobs: int,
                initializer: Callable[..., object] | None = None,
                initargs: tuple[Any, ...] = (),
                chunk_size: int = 256) -> Iterator[Any]:
    """Yields function's results item by item, in input order.

    `function` is a module-level callable taking a list of items (one chunk)
    and returning a list of results of the same length;
    `initializer(*initargs)` runs once in each worker. jobs == 1 runs in
    this process (initializer called once here). Workers use the
    forkserver start method and ignore SIGINT: the parent alone handles
    Ctrl-C, and ends them.

    An exception raised by `function` or `initializer` in a worker is raised
    here (with the worker's traceback as its cause). Raises WorkerDied when a
    worker ends unexpectedly; results yielded before stay yielded. At most
    2 * jobs chunks are read ahead of the results yielded.
    """
    if jobs < 1:
        raise ValueError(f"jobs must be at least 1, not {jobs}")
    if chunk_size < 1:
        raise ValueError(f"chunk_size must be at least 1, not {chunk_size}")
    chunks = _chunks(items, chunk_size)
    if jobs == 1:
        if initializer is not None:
            initializer(*initargs)
        for chunk in chunks:
            yield from _checked(function(chunk), len(chunk))
        return
    pool = _Pool(function, jobs, initializer, initargs)
    finished = False
    try:
        yield from pool.run(chunks)
        finished = True
    finally:
        pool.stop(gracefully=finished)


def _chunks(items: Iterable[Any], size: int) -> Iterator[list[Any]]:
    iterator = iter(items)
    while chunk := list(itertools.islice(iterator, size)):
        yield chunk


def _checked(results: Sequence[Any], count: int) -> Sequence[Any]:
    if len(results) != count:
        raise ValueError(f"the function returned {len(results)} results "
                         f"for {count} items")
    return results


def _exit_description(code: int | None) -> str:
    if code is None:
        return "it stopped answering"
    if code < 0:
        try:
            name = signal.Signals(-code).name
        except ValueError:
            name = f"signal {-code}"
        return f"killed by {name}"
    return f"exit code {code}"


class _Worker:
    def __init__(self, context: Any, function: Callable[..., Any], initializer: Any,
                 initargs: tuple[Any, ...]) -> None:
        task_reader, self.tasks = context.Pipe(duplex=False)
        self.results, result_writer = context.Pipe(duplex=False)
        self.process = context.Process(
            target=_worker_main, daemon=True,
            args=(task_reader, result_writer, function, initializer,
                  initargs))
        try:
            self.process.start()
        finally:
            # Only the worker holds these ends, so that its death reads as
            # end of file here.
            task_reader.close()
            result_writer.close()
        self.pending: list[int] = []  # indices of chunks sent, in order

    def died(self) -> WorkerDied:
        self.process.join(_EXIT_WAIT)
        return WorkerDied(f"a worker process died "
                          f"({_exit_description(self.process.exitcode)})")


class _Pool:
    def __init__(self, function: Callable[..., Any], jobs: int, initializer: Any,
                 initargs: tuple[Any, ...]) -> None:
        # forkserver: workers never inherit the parent's threads or state.
        context = multiprocessing.get_context("forkserver")
        self._workers: list[_Worker] = []
        try:
            for _ in range(jobs):
                self._workers.append(
                    _Worker(context, function, initializer, initargs))
        except BaseException:
            self.stop(gracefully=False)
            raise

    def run(self, chunks: Iterator[list[Any]]) -> Iterator[Any]:
        sizes: dict[int, int] = {}      # chunk index -> number of items
        done: dict[int, Sequence[Any]] = {}  # answered, not yet yielded
        sent = 0      # chunks sent so far
        yielded = 0   # chunks yielded so far
        exhausted = False
        limit = _IN_FLIGHT * len(self._workers)
        while True:
            for worker in self._workers:
                while (not exhausted and len(worker.pending) < _IN_FLIGHT
                       and sent - yielded < limit):
                    chunk = next(chunks, None)
                    if chunk is None:
                        exhausted = True
                        break
                    if not _send(worker, chunk):
                        # Gone: raise what it reported first (a failed
                        # initializer) if anything.
                        while _answer(worker) is not None:
                            pass
                        raise worker.died()
                    worker.pending.append(sent)
                    sizes[sent] = len(chunk)
                    sent += 1
            if yielded in done:
                results = _checked(done.pop(yielded), sizes.pop(yielded))
                yielded += 1
                yield from results
                continue
            if exhausted and yielded == sent:
                self.finish()
                return
            self._receive(done)

    def _receive(self, done: dict[int, Sequence[Any]]) -> None:
        """Waits for a message or a death, and handles what is there."""
        watched: list[Any] = [w.results for w in self._workers]
        watched += [w.process.sentinel for w in self._workers]
        ready = set(wait(watched))
        for worker in self._workers:
            if worker.results not in ready and (
                    worker.process.sentinel not in ready):
                continue
            # Results sent just before dying are still in the pipe; take
            # them first, then report the death.
            while worker.results.poll():
                results = _answer(worker)
                if results is None:
                    raise worker.died()
                done[worker.pending.pop(0)] = results
            if worker.process.sentinel in ready:
                raise worker.died()

    def finish(self) -> None:
        """Lets the workers exit once all is answered; raises what they
        report on the way out (an initializer that failed while there was
        no work), or WorkerDied for one that does not exit cleanly."""
        for worker in self._workers:
            worker.tasks.close()  # end of file: the worker exits
        for worker in self._workers:
            while _answer(worker) is not None:
                pass
            # Done with its work; one stuck on the way out is left to stop().
            worker.process.join(_EXIT_WAIT)
            if worker.process.exitcode not in (0, None):
                raise worker.died()

    def stop(self, *, gracefully: bool) -> None:
        """Ends the workers: lets finished ones exit, or terminates them."""
        for worker in self._workers:
            worker.tasks.close()
            if not gracefully:
                worker.process.terminate()
        for worker in self._workers:
            worker.process.join(_EXIT_WAIT)
            if worker.process.exitcode is None:
                worker.process.kill()
                worker.process.join()
            worker.tasks.close()
            worker.results.close()
            worker.process.close()
        self._workers = []


def _send(worker: _Worker, chunk: list[Any]) -> bool:
    """Sends a chunk; False if the worker is gone."""
    try:
        worker.tasks.send(chunk)
    except OSError:
        return False
    return True


def _answer(worker: _Worker) -> Sequence[Any] | None:
    """The worker's next results, or None at end of file (the worker has
    exited); raises the exception the worker reports."""
    try:
        kind, payload = worker.results.recv()
    except EOFError:
        return None
    except OSError:
        raise worker.died() from None
    if kind == "error":
        error, text = payload
        raise error from _RemoteTraceback(text)
    result: Sequence[Any] = payload
    return result


def _worker_main(tasks: Connection, results: Connection,
                 function: Callable[..., Any],
                 initializer: Any, initargs: tuple[Any, ...]) -> None:
    # Ctrl-C reaches the whole process group; the parent handles it and
    # ends the workers, which therefore print nothing.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        _serve(tasks, results, function, initializer, initargs)
    finally:
        results.close()  # end of file for the parent: no more answers


def _serve(tasks: Connection, results: Connection,
           function: Callable[..., Any],
           initializer: Any, initargs: tuple[Any, ...]) -> None:
    try:
        if initializer is not None:
            initializer(*initargs)
    except Exception as error:
        _send_error(results, error)
        return
    # A reader thread takes chunks off the pipe as soon as they come, so the
    # parent never blocks sending one while this worker blocks sending a
    # result.
    inbox: queue.SimpleQueue[list[Any] | None] = queue.SimpleQueue()
    threading.Thread(target=_read_tasks, args=(tasks, inbox),
                     daemon=True).start()
    while (chunk := inbox.get()) is not None:
        try:
            answer = list(function(chunk))
            results.send(("ok", answer))
        except (BrokenPipeError, ConnectionResetError):
            return  # the parent is gone
        except Exception as error:
            _send_error(results, error)


def _read_tasks(tasks: Connection,
                inbox: queue.SimpleQueue[list[Any] | None]) -> None:
    try:
        while True:
            inbox.put(tasks.recv())
    except (EOFError, OSError):
        inbox.put(None)


def _send_error(results: Connection, error: Exception) -> None:
    text = traceback.format_exc()
    try:
        pickle.loads(pickle.dumps(error))
    except Exception:
        # Not every exception survives pickling; its text always does.
        error = RuntimeError(f"{type(error).__name__}: {error}")
    try:
        results.send(("error", (error, text)))
    except OSError:
        pass  # the parent is gone
