"""Seeds for the OTLP reader's fuzz harness (otlp_read_fuzz.cpp): random trace and log requests
built with opentelemetry-proto's messages, each prefixed with the harness's selector byte
(0: traces, 1: logs).

    PYTHONPATH=src:tests/otlp_ingest python tests/fuzz/make_seeds.py DIR [COUNT]
"""

from __future__ import annotations

import random
import sys
from pathlib import Path

from otlp_decode_helpers import random_logs, random_traces


def main(argv: list[str]) -> int:
    out = Path(argv[0])
    count = int(argv[1]) if len(argv) > 1 else 200
    out.mkdir(parents=True, exist_ok=True)
    rng = random.Random(1)
    for i in range(count):
        if i % 2 == 0:
            body = b"\x00" + random_traces(rng, groups=2, spans=3).SerializeToString()
        else:
            body = b"\x01" + random_logs(rng, groups=2, records=3).SerializeToString()
        (out / f"seed-{i:04d}").write_bytes(body)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
