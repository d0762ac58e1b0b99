"""Command line: ``orvane-devtools demo`` (also ``python -m orvane_devtools demo``)."""

from __future__ import annotations

import argparse
import sys


def _demo(args: argparse.Namespace) -> int:
    from ._demo import run_demo

    return run_demo(out_dir=args.out)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="orvane-devtools", description=__doc__)
    sub = parser.add_subparsers(dest="command", required=True)
    demo = sub.add_parser("demo", help="play a small agent session through the observation layer")
    demo.add_argument("--out", default=None, help="folder for the JSON Lines file (default: a temporary folder)")
    demo.set_defaults(func=_demo)
    args = parser.parse_args(argv)
    return args.func(args)


if __name__ == "__main__":
    sys.exit(main())
