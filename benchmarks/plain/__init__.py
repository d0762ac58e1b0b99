"""A plain-Python build of the in-process operations the ``inprocess`` benchmark rows compare
against the native modules: the run store (``PlainTallybook``), the facade's run queries with
resolution (``PlainRunQueries``) and the remote sink's queue intake (``PlainRemoteSink``).

Straightforward Python with pydantic models, written from the same contracts as the native code,
so that the rows compare equal work: tests/benchmarks_plain checks that both give the same answers.
Used only by the benchmarks.
"""

from plain.queries import PlainRunQueries
from plain.sink import PlainRemoteSink
from plain.store import PlainTallybook, RunRecord, RunStatus

__all__ = ["PlainRemoteSink", "PlainRunQueries", "PlainTallybook", "RunRecord", "RunStatus"]
