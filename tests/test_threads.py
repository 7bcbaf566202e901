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
    outcome = {}

    def target():
        try:
            outcome["value"] = function()
        except BaseException as error:  # the binding error is a BaseException
            # Without its traceback the error holds no frame, hence no
            # cycle through a Model that a later thread's GC would drop.
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
    outcome = run_in_thread(lambda: call(simple_model))
    error = outcome["error"]
    assert SENT in str(error)
    assert type(error).__bases__ == (BaseException,)
    assert not isinstance(error, Exception)
    # The creating thread can still use it.
    assert simple_model.find_isym("a") == 3


def test_binding_errors_come_before_the_thread_check(simple_model):
    outcome = run_in_thread(lambda: simple_model.phoneticize())
    assert isinstance(outcome["error"], TypeError)


def test_model_created_in_a_thread_works_there(simple_model_path):
    outcome = run_in_thread(
        lambda: tamsu.Model(simple_model_path).phoneticize("abc"))
    assert outcome == {"value": ["A", "B", "K"]}


def test_release_on_another_thread_reports_unraisable(simple_model_path):
    model = tamsu.Model(simple_model_path)
    reports = []
    previous = sys.unraisablehook
    sys.unraisablehook = reports.append
    try:
        holder = [model]
        del model
        run_in_thread(holder.clear)
        gc.collect()
    finally:
        sys.unraisablehook = previous
    assert len(reports) == 1
    assert isinstance(reports[0].exc_value, RuntimeError)
    assert str(reports[0].exc_value) == DROPPED
    # The dying object itself must not reach the hook: handing it out
    # would revive it and free it twice.
    assert reports[0].object is tamsu.Model


def test_release_on_the_creating_thread_is_silent(simple_model_path):
    reports = []
    previous = sys.unraisablehook
    sys.unraisablehook = reports.append
    try:
        model = tamsu.Model(simple_model_path)
        del model
        gc.collect()
    finally:
        sys.unraisablehook = previous
    assert reports == []
