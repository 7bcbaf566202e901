"""A Model is bound to the thread that created it."""

import gc
import sys
import threading

import pytest

import tamsu

SENT = "tamsu::python::PyModel is unsendable, but sent to another thread"


def run_in_thread(function):
    """{"value": ...} or {"error": ...} from `function` on a new thread."""
    outcome = {}

    def target():
        try:
            outcome["value"] = function()
        except BaseException as error:  # the binding error is a BaseException
            # Without its traceback (which holds a Model through this frame)
            # no cycle is left for another thread's collection to free.
            outcome["error"] = error.with_traceback(None)

    thread = threading.Thread(target=target)
    thread.start()
    thread.join()
    return outcome


@pytest.mark.parametrize("call", [
    lambda m: m.find_osym(3),
    lambda m: m.phoneticize_sampling("abc"),
    lambda m: tamsu._tamsu._route(m),
    # The thread check comes before any conversion.
    lambda m: m.phoneticize(12345),
    lambda m: m.phoneticize_paths("abc", nbest=-1),
])
def test_methods_fail_on_another_thread(simple_model, call):
    error = run_in_thread(lambda: call(simple_model))["error"]
    assert str(error) == SENT
    assert type(error).__bases__ == (BaseException,)
    assert simple_model.find_isym("a") == 3  # still usable at home


def test_binding_errors_come_before_the_thread_check(simple_model):
    assert type(run_in_thread(simple_model.phoneticize)["error"]) is TypeError


@pytest.mark.parametrize("foreign", [True, False])
def test_release_on_another_thread_is_reported(simple_model_path, foreign):
    reports = []
    previous = sys.unraisablehook
    sys.unraisablehook = reports.append
    try:
        holder = [tamsu.Model(simple_model_path)]
        run_in_thread(holder.clear) if foreign else holder.clear()
        gc.collect()
    finally:
        sys.unraisablehook = previous
    assert len(reports) == foreign
    if foreign:
        assert str(reports[0].exc_value) == ("tamsu::python::PyModel is "
            "unsendable, but is being dropped on another thread")
        assert type(reports[0].exc_value) is RuntimeError
        # Handing out the dying object would revive it and free it twice.
        assert reports[0].object is tamsu.Model
