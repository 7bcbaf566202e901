"""tamsu.pool.ordered_map: order, read-ahead, errors, shutdown."""

import multiprocessing

import pytest

from tamsu.pool import ordered_map


# Worker functions are module-level: forkserver workers import them.
def squares(chunk):
    """Squares, but 7 raises and 9 gives too few results."""
    if 7 in chunk:
        raise KeyError("seven")
    if 9 in chunk:
        return []
    return [item * item for item in chunk]


def refuse_to_start(reason):
    raise ValueError(reason)


@pytest.mark.parametrize("jobs", [1, 3])
def test_results_come_in_input_order_without_reading_far_ahead(jobs):
    read = []
    items = (read.append(item) or item for item in range(1000, 2000))
    results = ordered_map(squares, items, jobs=jobs, chunk_size=7)
    for count, result in enumerate(results, start=1):
        assert result == (count + 999) ** 2
        # Two chunks per worker in flight, plus the one yielding.
        assert len(read) - count <= (2 * jobs + 1) * 7
    assert count == 1000


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("items, init, error, message", [
    (range(20), None, KeyError, "seven"),  # raised by the function
    (range(8, 20), None, ValueError, "returned 0 results for 5 items"),
    (range(20), "no model", ValueError, "no model"),
    ([], "no model", ValueError, "no model"),  # even without work
    # The initializer's error, not the pipe that broke sending this chunk.
    (["x" * 100_000] * 3, "no model", ValueError, "no model"),
])
def test_errors_in_workers_reach_the_caller(jobs, items, init, error,
                                            message):
    results = ordered_map(squares, items, jobs=jobs, chunk_size=5,
                          initializer=init and refuse_to_start,
                          initargs=(init,))
    with pytest.raises(error, match=message):
        list(results)


def test_closing_the_results_early_ends_the_workers():
    results = ordered_map(squares, range(1000, 10**6), jobs=2, chunk_size=10)
    assert next(results) == 10**6
    results.close()
    assert multiprocessing.active_children() == []
