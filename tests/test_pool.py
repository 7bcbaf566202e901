"""tamsu.pool.ordered_map: order, read-ahead, errors and dead workers."""

import os
import signal
import subprocess
import sys

import pytest

from tamsu.pool import WorkerDied, ordered_map

# Worker functions: module-level, so that forkserver workers import them.


def squares(chunk):
    return [item * item for item in chunk]


def fail_on_seven(chunk):
    if 7 in chunk:
        raise KeyError("seven")
    return chunk


def wrong_length(chunk):
    return chunk[1:]


def refuse_to_start(reason):
    raise ValueError(reason)


def die_on_120(chunk):
    if 120 in chunk:
        os.kill(os.getpid(), signal.SIGKILL)
    return chunk


@pytest.mark.parametrize("jobs", [1, 3])
def test_results_come_in_input_order_without_reading_far_ahead(jobs):
    read = 0

    def items():
        nonlocal read
        for item in range(1000):
            read += 1
            yield item

    results = []
    for result in ordered_map(squares, items(), jobs=jobs, chunk_size=7):
        results.append(result)
        # At most two chunks per worker in flight, plus the one yielding.
        assert read - len(results) <= (2 * jobs + 1) * 7
    assert results == [item * item for item in range(1000)]


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("items", [range(50), []])
def test_an_initializer_error_reaches_the_caller(jobs, items):
    with pytest.raises(ValueError, match="no model here"):
        list(ordered_map(squares, items, jobs=jobs, chunk_size=5,
                         initializer=refuse_to_start,
                         initargs=("no model here",)))


@pytest.mark.parametrize("function, error", [
    (fail_on_seven, KeyError), (wrong_length, ValueError)])
@pytest.mark.parametrize("jobs", [1, 2])
def test_a_function_error_reaches_the_caller(function, error, jobs):
    results = ordered_map(function, range(20), jobs=jobs, chunk_size=5)
    with pytest.raises(error):
        list(results)


CHILD = """
import sys
sys.path.insert(0, {tests!r})
import test_pool
from tamsu.pool import WorkerDied, ordered_map
try:
    for item in ordered_map(test_pool.die_on_120, range(1000), jobs=2,
                            chunk_size=5):
        print(item, flush=True)
except WorkerDied as error:
    print(error, file=sys.stderr)
    sys.exit(3)
"""


def test_a_killed_worker_is_reported_and_earlier_results_stay():
    code = CHILD.format(tests=os.path.dirname(__file__))
    result = subprocess.run([sys.executable, "-X", "dev", "-c", code],
                            capture_output=True, text=True, timeout=20)
    assert result.returncode == 3, result.stderr
    assert result.stderr == "a worker process died (killed by SIGKILL)\n"
    printed = [int(line) for line in result.stdout.split()]
    # Chunk 24 (items 120-124) was sent only after chunk 20 was yielded.
    assert len(printed) >= 100
    assert printed == list(range(len(printed)))

