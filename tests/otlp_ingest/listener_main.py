"""``orvane-devtools start`` for the OTLP receiver's tests: the listener as it ships, given the
tests' stand-in readers of OTLP bodies only where the build has none of its own."""

from __future__ import annotations

import sys

from otlp_ingest_helpers import install_stand_in_decoders

if __name__ == "__main__":
    install_stand_in_decoders()
    from orvane_devtools.__main__ import main

    sys.exit(main(["start", *sys.argv[1:]]))
