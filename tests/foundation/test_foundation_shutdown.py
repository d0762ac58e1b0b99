"""What a host sees on stderr when its interpreter ends with our objects still alive."""

import os
import subprocess
import sys
import textwrap

import pytest

_PROGRAM = textwrap.dedent("""
    import asyncio, gc, sys
    from orvane.utils import Settings
    from orvane_devtools._orvane_compat import RuntimeEvent
    from orvane_devtools.observation.TraceDesk import RuntimeTraceDesk

    desk = RuntimeTraceDesk(Settings({}))
    sub = desk.subscribe()

    async def main():
        for i in range(5):
            await desk.append_event(RuntimeEvent(event_id=f"e{i}", event_type="task.started",
                                                 source="test", timestamp=i))

    asyncio.run(main())
    if sys.argv[1] == "freeze":
        gc.freeze()
""")


def _run(mode: str) -> subprocess.CompletedProcess:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.dirname(os.path.dirname(
        os.path.abspath(__import__("orvane_devtools").__file__))), env.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, "-c", _PROGRAM, mode], capture_output=True, text=True,
                          timeout=60, env=env)


@pytest.mark.parametrize("mode", ["plain", "freeze"])
def test_no_leak_report_at_exit(mode):
    # A host that froze its heap (pre-fork servers call gc.freeze) keeps our instances alive past
    # shutdown on purpose; the binding layer must not report them as leaks.
    done = _run(mode)
    assert done.returncode == 0, done.stderr
    assert "leaked" not in done.stderr, done.stderr
