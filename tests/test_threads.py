"""A Model is bound to the thread that created it."""

import gc
import sys
import threading

import pytest

import tamsu

SENT = "tamsu::python::PyModel is unsendable, but sent to another thread"
DROPPED = ("tamsu::python::PyModel is unsendable, but is being dropped on "
           "another thread")


def run_in_thread(function):
    """{"value": ...} or {"error": ...} from calling `function` on a new
    thread."""
    outcome = {}

    def target():
        try:
            outcome["value"] = function()
        except BaseException as error:  # the binding error is a BaseException
            # The traceback holds this frame, and through `function` a
            # Model: keeping it would make a cycle that another thread's
            # collection may free.
            outcome["error"] = error.with_traceback(None)

    thread = threading.Thread(target=target)
    thread.start()
    thread.join()
    return outcome


@pytest.mark.parametrize("call", [
    lambda m: m.find_isym("a"),
    lambda m: m.find_osym(3),
    lambda m: m.phoneticize("abc"),
    lambda m: m.phoneticize_paths("abc", nbest=2),
    lambda m: m.phoneticize_sampling("abc"),
    # The thread check comes before any conversion.
    lambda m: m.phoneticize(12345),
    lambda m: m.phoneticize_paths("abc", nbest=-1),
])
def test_methods_fail_on_another_thread(simple_model, call):
    error = run_in_thread(lambda: call(simple_model))["error"]
    assert str(error) == SENT
    assert type(error).__bases__ == (BaseException,)
    # The creating thread can still use it.
    assert simple_model.find_isym("a") == 3


def test_binding_errors_come_before_the_thread_check(simple_model):
    outcome = run_in_thread(lambda: simple_model.phoneticize())
    assert isinstance(outcome["error"], TypeError)


def test_model_created_in_a_thread_works_there(simple_model_path):
    outcome = run_in_thread(
        lambda: tamsu.Model(simple_model_path).phoneticize("abc"))
    assert outcome == {"value": ["A", "B", "K"]}


@pytest.mark.parametrize("foreign", [True, False])
def test_release_on_another_thread_is_reported(simple_model_path, foreign):
    reports = []
    previous = sys.unraisablehook
    sys.unraisablehook = reports.append
    try:
        holder = [tamsu.Model(simple_model_path)]
        if foreign:
            run_in_thread(holder.clear)
        else:
            holder.clear()
        gc.collect()
    finally:
        sys.unraisablehook = previous
    if not foreign:
        assert reports == []
        return
    assert len(reports) == 1
    assert isinstance(reports[0].exc_value, RuntimeError)
    assert str(reports[0].exc_value) == DROPPED
    # The dying object itself must not reach the hook: handing it out
    # would revive it and free it twice.
    assert reports[0].object is tamsu.Model
