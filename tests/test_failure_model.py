"""How failures reach Python: PanicException, standard-error reports, and no leaks on error paths."""
import json
import os
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kelvane

linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the resident size from /proc")

NOT_WRITEABLE = "called `Result::unwrap()` on an `Err` value: NotWriteable"
DOC_TAIL = ("\n\nLike SystemExit, this exception is derived from BaseException so that\n"
            "it will typically propagate all the way through the stack and cause the\n"
            "Python interpreter to exit.\n")
# Shared with the scripts run in a fresh interpreter: a call refused at its output hold.
FAIL_SOURCE = '''
import numpy as np, kelvane
def fail(skip):
    band = np.ones((3, 4), np.uint16)
    out = np.full((3, 4), 7.0, np.float32)
    out.flags.writeable = False
    try:
        kelvane.calculate_normalized_difference_inplace(band, band, out)
    except NotImplementedError as e:
        assert str(e) == "not built yet"
        skip("calculate_normalized_difference_inplace not built yet")
    except BaseException as e:
        assert (out == 7.0).all()
        return e
    raise AssertionError("a read-only output was accepted")
'''
namespace = {}
exec(FAIL_SOURCE, namespace)


def read_only_output_failure():
    return namespace["fail"](pytest.skip)


def run_script(tmp_path, body):
    """Run body in a fresh interpreter; returns (stdout lines, stderr text)."""
    prelude = FAIL_SOURCE + textwrap.dedent('''
        import sys, json, threading
        def skip(reason):
            print("SKIP", flush=True)
            sys.exit(0)
        def mark(text):
            sys.stderr.write(text + "\\n")
            sys.stderr.flush()
    ''')
    proc = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(body)], cwd=tmp_path,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    if proc.stdout.startswith("SKIP"):
        pytest.skip("calculate_normalized_difference_inplace not built yet")
    return proc.stdout.splitlines(), proc.stderr


def test_panic_exception_class():
    err = read_only_output_failure()
    cls = type(err)
    assert cls.__name__ == "PanicException" and cls.__module__ == "pyo3_runtime"
    assert cls.__bases__ == (BaseException,) and not issubclass(cls, Exception)
    assert err.args == (NOT_WRITEABLE,) and str(err) == NOT_WRITEABLE
    assert cls.__doc__.startswith("\n") and cls.__doc__.endswith(DOC_TAIL)
    assert "\n" not in cls.__doc__[1:-len(DOC_TAIL)].strip()
    assert "PanicException" not in dir(kelvane)
    assert all(value is not cls for value in vars(kelvane).values())
    assert type(read_only_output_failure()) is cls


def test_except_exception_does_not_catch_it():
    caught = []
    try:
        try:
            raise read_only_output_failure()
        except Exception:  # noqa: BLE001
            caught.append("Exception")
    except BaseException as e:  # noqa: BLE001
        caught.append(type(e).__name__)
    assert caught == ["PanicException"]


def test_module_usable_after_panic():
    read_only_output_failure()
    band, out = np.ones((3, 4), np.uint16), np.full((3, 4), 7.0, np.float32)
    kelvane.calculate_normalized_difference_inplace(band, band, out)
    assert np.all(out == 0)


REPORT_HEAD = re.compile(r"thread '<unnamed>' \((\d+)\) panicked at .+:\d+:\d+:")


def test_internal_failure_report(tmp_path):
    out, err = run_script(tmp_path, '''
        print(threading.get_native_id(), flush=True)
        mark("=start")
        for i in range(3):
            fail(skip)
            mark("=after")
    ''')
    chunks = err.split("=start\n", 1)[1].split("=after\n")
    assert len(chunks) == 4 and chunks[-1] == "", err
    reports = [chunk.splitlines() for chunk in chunks[:3]]
    # only the first report of the process carries the hint line
    assert [len(r) for r in reports] == [3, 2, 2] and reports[0][2].strip(), err
    for lines in reports:
        head = REPORT_HEAD.fullmatch(lines[0])
        assert head and head.group(1) == out[0], lines[0]
        assert lines[1] == NOT_WRITEABLE
    assert reports[0][0] == reports[1][0] == reports[2][0]


def test_resumed_panic(tmp_path):
    out, err = run_script(tmp_path, '''
        first = fail(skip)
        class Seq:
            def __len__(self):
                return 1
            def __getitem__(self, i):
                raise first
        class IterSeq(Seq):
            def __iter__(self):
                raise first
        for seq in (Seq(), IterSeq()):
            mark("=start")
            try:
                kelvane.compile_expr(seq, 0)
            except BaseException as e:
                print(json.dumps([type(e) is type(first), e is first, e.args]), flush=True)
            mark("=end")
    ''')
    assert [json.loads(line) for line in out] == [[True, False, [NOT_WRITEABLE]]] * 2
    parts = [part.split("=end\n")[0] for part in err.split("=start\n")[1:]]
    assert len(parts) == 2
    for text in parts:
        assert text.startswith("--- PyO3 is resuming a panic after fetching a PanicException from "
                               "Python. ---\nPython stack trace below:\n"), text
        assert "Traceback (most recent call last):" in text
        assert text.rstrip("\n").endswith("pyo3_runtime.PanicException: " + NOT_WRITEABLE)
        assert "panicked at" not in text


def test_panic_subclass_is_an_ordinary_error(capfd):
    cls = type(read_only_output_failure())
    sub = type("Sub", (cls,), {})("not a panic")

    class Seq:
        def __getitem__(self, i):
            raise sub
    capfd.readouterr()
    with pytest.raises(cls) as info:
        kelvane.compile_expr(Seq(), 0)
    assert info.value is sub and capfd.readouterr().err == ""


@pytest.mark.parametrize("call, exc_type", [
    (lambda: kelvane.compile_expr([{"type": "ADD"}], 0), ValueError),
    (lambda: kelvane.compile_expr([{}], 0), KeyError),
    (lambda: kelvane.compile_expr([], -1), OverflowError),
    (lambda: kelvane.compile_expr("abc", 0), TypeError),
    (lambda: kelvane.calculate_ratio_inplace(), TypeError),
])
def test_error_values_carry_one_arg_and_write_nothing(call, exc_type, capfd):
    capfd.readouterr()
    with pytest.raises(exc_type) as info:
        call()
    assert type(info.value) is exc_type and len(info.value.args) == 1
    assert capfd.readouterr() == ("", "")


# --- no leaks on failure paths -------------------------------------------------------------

def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def u2():
    return np.zeros((2, 2), np.uint16)


EXPR = kelvane.compile_expr([{"type": "push_band", "index": 0}], 1)
FAILING_CALLS = {
    "binding": [
        lambda: kelvane.compile_expr([{"type": "add"}], 2, [3]),
        lambda: kelvane.calculate_evi_inplace(u2(), bogus=[0]),
        lambda: kelvane.calculate_ratio_inplace(u2()),
        lambda: kelvane.execute_expr_inplace(EXPR, [u2()], u2(), expr=[1]),
    ],
    "conversion": [
        lambda: kelvane.calculate_normalized_difference_inplace(u2(), u2(), np.zeros((2, 2))),
        lambda: kelvane.calculate_adjusted_difference_inplace(u2(), u2(), "0.5", None),
        lambda: kelvane.calculate_evi_inplace(u2(), u2(), u2(), 1.0, 1.0, 1.0, 10**400, None),
        lambda: kelvane.compile_expr([{"type": "add"}], -1),
        lambda: kelvane.compile_expr({"type": "add"}, 0),
        lambda: kelvane.execute_expr_inplace(EXPR, [u2(), [1]], None),
        lambda: kelvane.execute_expr_inplace(EXPR, [u2()], np.zeros((2, 2), np.float16)),
    ],
    "compile_expr": [
        lambda: kelvane.compile_expr([{"type": "push_band", "index": 0}, {"type": "bo" + "gus"}], 1),
        lambda: kelvane.compile_expr([{"type": "neg"}, {"type": "push_band"}], 1),
        lambda: kelvane.compile_expr([{"type": "push_scalar", "value": "1.5"}], 1),
        lambda: kelvane.compile_expr([{"type": [5]}], 1),
        lambda: kelvane.compile_expr([{"type": "push_band", "index": 2**40}], 1),
    ],
}


@linux_only
@pytest.mark.skipif("KELVANE_UNDER_SANITIZER" in os.environ, reason="sanitizers hold freed memory back")
@pytest.mark.parametrize("kind", FAILING_CALLS)
def test_failing_calls_do_not_leak(kind):
    calls = FAILING_CALLS[kind]

    def hammer(n):
        for i in range(n):
            try:
                calls[i % len(calls)]()
            except (TypeError, ValueError, KeyError, OverflowError):
                continue
            raise AssertionError("call succeeded")
    hammer(20_000)
    before = rss_bytes()
    hammer(100_000)
    growth = rss_bytes() - before
    assert growth < 2 * 1024 * 1024, f"RSS grew by {growth} bytes"


def test_failing_calls_release_their_arguments():
    a, b, f8 = u2(), u2(), np.zeros((2, 2))
    items = [{"type": "push_band", "index": 0}, {"type": "bogus"}]
    seq = [a, [1]]
    tracked = [a, b, f8, items, items[0], items[1], seq, EXPR]
    calls = (lambda: kelvane.calculate_normalized_difference_inplace(a, b, f8),
             lambda: kelvane.calculate_evi_inplace(a, b, a, 1, 1, 1, 1, f8),
             lambda: kelvane.compile_expr(items, 2),
             lambda: kelvane.compile_expr(items, -1),
             lambda: kelvane.execute_expr_inplace(EXPR, seq, f8),
             lambda: kelvane.execute_expr_inplace(EXPR, [a, b], f8))
    before = [sys.getrefcount(o) for o in tracked]
    for _ in range(1000):
        for call in calls:
            with pytest.raises((TypeError, ValueError, OverflowError)):
                call()
    assert [sys.getrefcount(o) for o in tracked] == before
