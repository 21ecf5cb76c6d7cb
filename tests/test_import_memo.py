"""_to_numpy's memo of a failed `import torch`.

Each scenario primes a call with torch absent (which memoises the failure),
changes something the import depends on, and observes the next call. The
observation must be what the plain Python function gives in the same
scenario: the memo may only skip importlib while skipping it can't be seen.
"""

import builtins
import importlib
import os
import sys
import time
import types

import numpy as np
import pytest

import orvex.fuzzy as fuzzy

import reference
from conftest import assert_no_leaks, hook_or_skip, run_threads  # noqa: E402

ARRAY = np.arange(-3, 3, dtype=np.float32).reshape(2, 3)
# From 3.15 the import's audit event is raised inside importlib, which the
# memo can't reproduce: there every call imports, and the scenarios below
# must still see what Python sees.
MEMOISES = sys.version_info < (3, 15)
TORCH_PY = """
import numpy as np

checked = []


class Checked(type):
    def __instancecheck__(cls, obj):
        checked.append(type(obj).__name__)
        return type.__instancecheck__(cls, obj)


class Tensor(metaclass=Checked):
    def detach(self):
        return self

    def cpu(self):
        return self

    def numpy(self):
        return np.array([[7.0, 8.0]])
"""


# _to_numpy in Python: the oracle for every scenario.
plain_to_numpy = reference.to_numpy


# Audit hooks can't be removed: one for the session, recording while asked.
AUDITED = []
AUDIT = {"on": False, "during": None}


def audit_hook(event, args):
    if event != "import" or args[0] != "torch" or not AUDIT["on"]:
        return
    AUDITED.append((args[1], args[2] is sys.path, args[3] is sys.meta_path,
                    args[4] is sys.path_hooks))
    during, AUDIT["during"] = AUDIT["during"], None
    if during:
        during()


sys.addaudithook(audit_hook)


def write_torch(directory, source=TORCH_PY, keep_time=False):
    """Writes torch.py; the directory gets a time no finder has seen, or
    keeps the one it had (a change the finders' caches can miss)."""
    before = os.stat(directory).st_mtime_ns
    (directory / "torch.py").write_text(source)
    later = before if keep_time else before + 10**9
    os.utime(directory, ns=(later, later))


def observe(to_numpy):
    """What a call shows: its result, and whether it imported torch and used it."""
    try:
        result = to_numpy(ARRAY).tolist()
    except Exception as e:  # compared, not hidden
        return ("raised", type(e).__name__, str(e))
    torch = sys.modules.get("torch")
    if not torch:
        return (result, None)
    checked = list(torch.checked)
    return (result, to_numpy(torch.Tensor()).tolist(), checked)


def torch_file(directory, log):
    write_torch(directory)


class Recorder:
    """A meta path finder that finds nothing and remembers being asked."""

    def __init__(self):
        self.asked = []

    def find_spec(self, name, path=None, target=None):
        self.asked.append(name)


def add_finder(directory, log):
    finder = Recorder()
    sys.meta_path.insert(0, finder)
    log.append(finder.asked)


def stub_module(directory, log):
    torch = types.ModuleType("torch")
    exec(TORCH_PY, vars(torch))
    sys.modules["torch"] = torch


def path_in_place(directory, log):
    other = directory.parent / "other"
    other.mkdir()
    write_torch(other)
    sys.path.append(str(other))


def stale_cache(directory, log):
    write_torch(directory, keep_time=True)


def invalidated_cache(directory, log):
    write_torch(directory, keep_time=True)
    importlib.invalidate_caches()


def import_in_audit(directory, log):
    AUDIT["during"] = lambda: write_torch(directory)


def stub_in_audit(directory, log):
    AUDIT["during"] = lambda: stub_module(directory, log)


def failing_module_in_audit(directory, log):
    AUDIT["during"] = lambda: write_torch(directory, "1 / 0\n")


def hook_sees(directory, log):
    # Nothing changes: the events themselves are the observation.
    log.append(AUDITED)


CHANGES = [torch_file, add_finder, stub_module, path_in_place, stale_cache, invalidated_cache,
           import_in_audit, stub_in_audit, failing_module_in_audit, hook_sees]


@pytest.fixture
def scene(monkeypatch, tmp_path):
    """Runs to_numpy in a world where torch is absent, with one directory
    of its own at the end of sys.path and only the standard finders."""
    holds = hook_or_skip(fuzzy, "_import_memo_holds")
    if importlib.util.find_spec("torch") is not None:
        pytest.skip("torch is installed")
    counter = [0]

    def run(to_numpy, change):
        counter[0] += 1
        directory = tmp_path / f"run{counter[0]}" / "site"
        directory.mkdir(parents=True)
        log = []
        with monkeypatch.context() as m:
            m.setattr(sys, "meta_path", [f for f in sys.meta_path
                                         if getattr(f, "__module__", "").startswith("_frozen")])
            m.setattr(sys, "path", [p for p in sys.path if p] + [str(directory)])
            m.delitem(sys.modules, "torch", raising=False)
            to_numpy(ARRAY)
            to_numpy(ARRAY)
            held = holds()
            AUDITED.clear()
            AUDIT["on"] = True
            try:
                change(directory, log)
                seen = observe(to_numpy)
            finally:
                AUDIT.update(on=False, during=None)
                sys.modules.pop("torch", None)
                importlib.invalidate_caches()
            return held, seen, [list(x) for x in log], list(AUDITED)

    return run


@pytest.mark.parametrize("change", CHANGES, ids=lambda c: c.__name__)
def test_the_next_call_sees_what_python_sees(scene, change):
    held, seen, log, audited = scene(fuzzy._to_numpy, change)
    assert held == MEMOISES, "the failure was not memoised"
    assert (seen, log, audited) == scene(plain_to_numpy, change)[1:]


def test_what_the_scenarios_show(scene):
    # The oracle's own answers, so that the comparisons above can't pass by
    # both sides missing the change.
    found = ([-3.0, -2.0, -1.0, 0.0, 1.0, 2.0], [7.0, 8.0], ["ndarray"])
    assert scene(plain_to_numpy, torch_file)[1] == found
    assert scene(plain_to_numpy, stale_cache)[1] == (found[0], None)
    assert scene(plain_to_numpy, stub_in_audit)[1] == found
    assert scene(plain_to_numpy, invalidated_cache)[1] == found
    assert scene(plain_to_numpy, add_finder)[2] == [["torch"]]
    assert scene(plain_to_numpy, failing_module_in_audit)[1][:2] == ("raised", "ZeroDivisionError")
    assert scene(plain_to_numpy, hook_sees)[3] == [(None, True, True, True)]


def test_replaced_import_is_called_as_the_literal_import_calls_it(scene, monkeypatch):
    calls = []
    genuine = builtins.__import__

    def spy(*args):
        if args[0] == "torch":  # not importlib's own imports (from 3.12 it imports on the way)
            calls.append(args)
        return genuine(*args)

    held, seen, _, _ = scene(fuzzy._to_numpy,
                             lambda d, log: monkeypatch.setattr(builtins, "__import__", spy))
    assert held == MEMOISES and seen == ([-3.0, -2.0, -1.0, 0.0, 1.0, 2.0], None)
    assert calls == [("torch", globals(), globals(), [], 0)]


def test_a_failed_import_keeps_importlib_out_of_the_traceback(scene):
    def frames(to_numpy):
        def change(directory, log):
            AUDIT["during"] = lambda: write_torch(directory, "1 / 0\n")
            try:
                to_numpy(ARRAY)
            except ZeroDivisionError as e:
                tb, names = e.__traceback__, []
                while tb:
                    names.append(os.path.basename(tb.tb_frame.f_code.co_filename))
                    tb = tb.tb_next
                log.append([n for n in names if "importlib" in n or n.endswith("torch.py")])
        return scene(to_numpy, change)[2]

    assert frames(fuzzy._to_numpy) == frames(plain_to_numpy) != [[]]


def test_the_memo_survives_other_imports_and_steps_aside_for_tracers(scene):
    holds = fuzzy._import_memo_holds
    state = {}

    def other_imports(directory, log):
        (directory / "unrelated_module.py").write_text("X = 1\n")
        import colorsys  # noqa: F401
        import unrelated_module  # noqa: F401
        sys.modules.pop("unrelated_module")
        fuzzy._to_numpy(ARRAY)  # the directory changed: a real import memoises again
        state["after"] = holds()

    assert scene(fuzzy._to_numpy, other_imports)[0] == state["after"] == MEMOISES

    def traced(directory, log):
        called = set()

        def profile(frame, event, arg):
            if event == "call" and "importlib" in frame.f_code.co_filename:
                called.add(frame.f_code.co_name)

        sys.setprofile(profile)
        try:
            fuzzy._to_numpy(ARRAY)
        finally:
            sys.setprofile(None)
        log.append(sorted(called & {"_find_and_load", "find_spec"}))

    assert scene(fuzzy._to_numpy, traced)[2] == [["_find_and_load", "find_spec"]]


# Enough calls that a lost object per call stands out from what other threads
# of the test process allocate meanwhile.
RECORDS = 150


def test_answering_and_recording_leak_nothing(scene):
    def check(directory, log):
        AUDIT["on"] = False  # its record of events would grow

        def answer():
            for _ in range(200):
                fuzzy._to_numpy(ARRAY)

        def record_again():
            for i in range(RECORDS):
                os.utime(directory, ns=(i * 10**9, i * 10**9))  # a real import, memoised anew
                fuzzy._to_numpy(ARRAY)

        finder = sys.path_importer_cache[str(directory)]
        watched = [ARRAY, finder, vars(finder)]
        assert_no_leaks(answer, watched, 200, "answer")
        assert_no_leaks(record_again, watched, RECORDS, "record again")
        log.append([fuzzy._import_memo_holds()])

    assert scene(fuzzy._to_numpy, check)[2] == [[MEMOISES]]


def test_threads_answer_while_the_directory_keeps_changing(scene):
    # Two threads convert while a third keeps touching the directory, so that
    # answers, real imports and new records interleave; each call must give
    # the array, and the memo must stand again once the touching stops.
    def check(directory, log):
        AUDIT["on"] = False

        def work(index, deadline):
            i = 0
            while time.monotonic() < deadline:
                if index == 2:
                    i += 1
                    os.utime(directory, ns=(i * 10**9, i * 10**9))
                else:
                    assert fuzzy._to_numpy(ARRAY).tolist() == ARRAY.flatten().tolist()

        log.append([repr(f) for f in run_threads(work, 3, 0.5)])
        fuzzy._to_numpy(ARRAY)
        log.append([fuzzy._import_memo_holds()])

    assert scene(fuzzy._to_numpy, check)[2] == [[], [MEMOISES]]
