"""Ctrl-C during a long reduction: the call notices SIGINT while it runs, ends
with the handler's exception (KeyboardInterrupt by default), and leaves the
store and the incremental reducer as they were and usable. A handler that
returns instead of raising lets the call run on (it starts again).

Each case runs in a child process that the test sends real SIGINTs."""

import os
import signal
import subprocess
import sys
import textwrap
import time

SANITIZED = os.environ.get("TESSARY_SANITIZED") == "1"

CHILD = textwrap.dedent(
    """
    import signal, sys
    import tessary_core as tc

    # A chain with commutative duplicates and identity ops: every pass of
    # the reduction has work, and the whole takes far longer than the gaps
    # between the parent's signals.
    store = tc.GraphStore()
    x, y = store.add_source("x"), store.add_source("y")
    last = x
    for i in range(int(sys.argv[1]) // 4):
        a = store.add_op("add", [last, y])
        b = store.add_op("add", [y, last])
        m = store.add_op("mul", [a, b])
        last = store.add_op("mul", [m], {"scalar": 1.0, "side": "r"})
    store.mark_output(last)
    blob = store.serialize()

    def unchanged():
        assert store.serialize() == blob

    handled = 0
    def count_and_raise_on_third(signum, frame):
        global handled
        handled += 1
        # Signals that arrive while a call runs coalesce into one run of the
        # handler unless the call notices each; a third run means it did.
        if handled == 3:
            raise KeyboardInterrupt

    def go(name, call, handler):
        signal.signal(signal.SIGINT, handler)
        print("go", name, flush=True)
        try:
            call()
            outcome = "completed"
        except KeyboardInterrupt:
            outcome = "interrupted"
        # Ignore the signals still on their way until the parent has stopped.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        print(outcome, flush=True)
        sys.stdin.readline()

    def finalize():
        r = tc.IncrementalReducer()
        r.step(store)
        r.finalize(store)
    for name, call in [("reduce", store.reduce),
                       ("reduction_report", store.reduction_report),
                       ("reduce_incremental", store.reduce_incremental),
                       ("finalize", finalize)]:
        handled = 0
        go(name, call, count_and_raise_on_third)
        unchanged()
        # Still usable. (Its counts can differ between runs: a slow build can
        # reach the rewrite engine's time limit on this graph.)
        assert store.reduction_report()["input_nodes"] == store.node_count()

    # The default handler: a step stops part of the way through, and the
    # reducer carries on from where it stopped.
    reducer = tc.IncrementalReducer()
    go("step", lambda: reducer.step(store), signal.default_int_handler)
    print("watermark", reducer.watermark() < store.node_count(), flush=True)
    reducer.step(store)
    assert reducer.watermark() == store.node_count()
    fresh = tc.IncrementalReducer()
    fresh.step(store)
    assert reducer.canonical_count() == fresh.canonical_count()
    assert reducer.finalize(store)[1]["input_nodes"] == fresh.canonical_count()
    unchanged()
    print("done", flush=True)
    """
)


def signal_until_answered(proc, gap=0.1, limit=600):
    """Sends SIGINT every `gap` seconds until the child prints a line."""
    import selectors

    sel = selectors.DefaultSelector()
    sel.register(proc.stdout, selectors.EVENT_READ)
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if sel.select(timeout=gap):
            return proc.stdout.readline().strip()
        os.kill(proc.pid, signal.SIGINT)
    raise AssertionError("the child never answered")


def test_reductions_stop_on_sigint_and_change_nothing():
    proc = subprocess.Popen(
        # Sanitized builds run several times slower: a smaller graph still
        # keeps every call far longer than the gaps between signals.
        [sys.executable, "-c", CHILD, "100000" if SANITIZED else "400000"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        outcomes = {}
        for name in ["reduce", "reduction_report", "reduce_incremental", "finalize", "step"]:
            assert proc.stdout.readline().split() == ["go", name], proc.stderr.read()
            # Every call takes a tenth of a second or more (a step less):
            # the signals come often enough that three land inside it.
            outcomes[name] = signal_until_answered(proc, gap=0.01 if name == "step" else 0.02)
            proc.stdin.write("\n")
            proc.stdin.flush()
        assert proc.stdout.readline().split() == ["watermark", "True"]
        assert proc.stdout.readline().strip() == "done", proc.stderr.read()
        assert proc.wait(timeout=600) == 0, proc.stderr.read()
    finally:
        proc.kill()
        proc.wait()
    assert outcomes == {name: "interrupted" for name in outcomes}
