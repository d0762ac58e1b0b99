"""Interpreter exit: daemon threads in the middle of the backend's native code, the exit bound.

Each case runs a child interpreter whose main thread ends while daemon threads are busy with the
backend; the child must exit cleanly (a daemon thread ended by the interpreter inside native
frames crashes it) and leave only whole lines behind.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest


def run_child(script, *args, timeout=60):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script), *map(str, args)],
                          env=env, capture_output=True, timeout=timeout)


def assert_clean_exit(proc):
    err = proc.stderr.decode("utf-8", "replace")
    assert proc.returncode == 0, err
    for text in ("terminate", "Fatal Python error", "GIL", "Traceback"):
        assert text not in err, err


def assert_whole_lines(directory, remove=False):
    for f in directory.iterdir():
        if not f.is_file():
            continue
        data = f.read_bytes()
        assert data.endswith(b"\n") or not data, f
        for line in data.split(b"\n")[:-1]:
            json.loads(line)
        if remove:
            f.unlink()  # the busy children write about 100 MB a run


BUSY_THREADS = """
    import asyncio, sys, threading, time
    if sys.argv[2] != "default":
        sys.setswitchinterval(float(sys.argv[2]))  # many more GIL hand-offs inside native calls
    from orvane_devtools._orvane_compat import RuntimeEvent
    from orvane_devtools.observation.backends import JSONLTraceSink
    sinks = [JSONLTraceSink(sys.argv[1] + f"/f{i}.jsonl") for i in range(2)]
    def work(k):
        # Built once: the model library itself is not safe to use in daemon threads at exit.
        batch = [RuntimeEvent(event_type="x", message="m" * 3000) for _ in range(5)]
        async def main():
            while True:
                await asyncio.gather(sinks[k % 2].append_events(batch), sinks[(k + 1) % 2].append_events(batch))
                sinks[k % 2]._write_lines(["{}\\n"] * 3)
        asyncio.run(main())
    for k in range(4):
        threading.Thread(target=work, args=(k,), daemon=True).start()
    time.sleep(0.3)
"""


@pytest.mark.parametrize("switch_interval", ["default", "0.00001"])
def test_exit_while_daemon_threads_append(tmp_path, switch_interval):
    """The interpreter exits cleanly and leaves whole lines while daemon threads still append."""
    for _ in range(3):
        assert_clean_exit(run_child(BUSY_THREADS, tmp_path, switch_interval))
        assert_whole_lines(tmp_path, remove=True)


# A daemon thread is inside one of the backend's native calls, in a call back into Python that
# gives the GIL up (a sleep), when the main thread ends. The exit hook must wait for it to leave
# the native call before the interpreter finalizes: taking the GIL back during finalization ends
# the thread with a forced unwind through the native frames. (The finalization is made to outlast
# the sleep, so that without the wait the thread would take the GIL back during it.) Afterwards
# the thread calls again, and must be stopped at the entry.
INSIDE_A_CALL = """
    import asyncio, os, pathlib, sys, threading, time

    class SlowFinalization:
        def __init__(self):
            self.sleep = time.sleep
            self.cycle = [self]  # garbage only the interpreter's last collection finds
        def __del__(self):
            self.sleep(0.8)
    from orvane_devtools._orvane_compat import RuntimeEvent
    from orvane_devtools.observation.backends import JSONLTraceSink, Linefile
    directory, entry = sys.argv[1], sys.argv[2]
    inside = threading.Event()

    def slow(value):
        if threading.current_thread() is not threading.main_thread():
            inside.set()
            time.sleep(0.3)
        return value

    if entry == "init":
        Linefile.Path = lambda p: pathlib.Path(slow(p))
        call = lambda: JSONLTraceSink(directory + "/init.jsonl")
    elif entry == "append_events":
        class SlowFormatter:
            @staticmethod
            def sanitize(data):
                return slow(data)
        Linefile.DataFormatter = SlowFormatter
        sink = JSONLTraceSink(directory + "/append.jsonl")
        event = RuntimeEvent(event_type="x", message="m")
        call = lambda: asyncio.run(sink.append_events([event, event]))
    else:
        class SlowPath(os.PathLike):
            def __fspath__(self):
                return slow(directory + "/lines.jsonl")
        sink = JSONLTraceSink(directory + "/unused.jsonl")
        sink.path = SlowPath()
        call = lambda: sink._write_lines(["{}\\n", "{}\\n"])

    def work():
        while True:
            call()

    threading.Thread(target=work, daemon=True).start()
    inside.wait()
    SlowFinalization()
"""


@pytest.mark.timeout(60)
@pytest.mark.parametrize("entry", ["init", "append_events", "write_lines"])
def test_exit_while_a_daemon_thread_is_inside_a_native_call(tmp_path, entry):
    assert_clean_exit(run_child(INSIDE_A_CALL, tmp_path, entry))
    assert_whole_lines(tmp_path)
    if entry != "init":
        assert any(f.stat().st_size > 0 for f in tmp_path.iterdir())


# The only writer thread is blocked in open() on a pipe that nobody reads: the exit hook gives up
# on it after `_exit_timeout` seconds instead of waiting for ever.
BLOCKED_WRITER = """
    import asyncio, os, sys, threading, time
    from orvane_devtools._orvane_compat import RuntimeEvent
    from orvane_devtools.observation.backends import JSONLTraceSink, Linefile
    Linefile._exit_timeout = 0.3
    path = sys.argv[1] + "/pipe.jsonl"
    os.mkfifo(path)
    sink = JSONLTraceSink(path)
    event = RuntimeEvent(event_type="x", message="m")
    threading.Thread(target=lambda: asyncio.run(sink.append_event(event)), daemon=True).start()
    time.sleep(0.2)  # the writer thread is in open() by now
"""


@pytest.mark.timeout(60)
def test_exit_gives_up_on_a_writer_that_cannot_finish(tmp_path):
    proc = run_child(BLOCKED_WRITER, tmp_path, timeout=30)
    assert_clean_exit(proc)


# A forked child starts with its own exit gate: a daemon thread of the parent that was inside a
# native call at the fork does not exist in the child, and the child's exit must not wait for it
# (here it would wait the child's whole `_exit_timeout`, an hour). The child appends and exits
# normally, running the exit hook.
FORK_WHILE_INSIDE = """
    import asyncio, os, sys, threading, time
    from orvane_devtools._orvane_compat import RuntimeEvent
    from orvane_devtools.observation.backends import JSONLTraceSink, Linefile
    inside = threading.Event()

    class SlowFormatter:
        @staticmethod
        def sanitize(data):
            if threading.current_thread() is not threading.main_thread():
                inside.set()
                time.sleep(0.5)
            return data

    Linefile.DataFormatter = SlowFormatter
    sink = JSONLTraceSink(sys.argv[1] + "/fork.jsonl")
    event = RuntimeEvent(event_type="x", message="m")

    def work():
        while True:
            asyncio.run(sink.append_event(event))

    threading.Thread(target=work, daemon=True).start()
    inside.wait()
    pid = os.fork()
    if pid == 0:
        import signal
        signal.alarm(45)  # a child that hangs (the fault) does not outlive the test for long
        Linefile._exit_timeout = 3600.0
        asyncio.run(sink.append_events([event, event]))
        sys.exit(0)
    _, status = os.waitpid(pid, 0)
    sys.exit(os.waitstatus_to_exitcode(status))
"""


@pytest.mark.timeout(60)
def test_forked_child_exits_without_waiting_for_the_parents_threads(tmp_path):
    proc = run_child(FORK_WHILE_INSIDE, tmp_path, timeout=30)
    assert proc.returncode == 0, proc.stderr.decode("utf-8", "replace")
    lines = (tmp_path / "fork.jsonl").read_bytes().splitlines()
    assert len(lines) >= 2 and all(json.loads(line)["message"] == "m" for line in lines)
