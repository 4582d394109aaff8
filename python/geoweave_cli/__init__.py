"""The `geoweave` command: converts the geometry column of CSV, Parquet
(GeoParquet) and Arrow files between WKB, WKT and hex WKB, streaming, and
describes a file's geometries (`geoweave info`)."""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading

__all__ = ["main"]

EXAMPLES = """\
examples:
  geoweave convert points.csv points.parquet       CSV of WKT -> GeoParquet (CRS from the SRID)
  geoweave convert roads.parquet roads.csv         GeoParquet -> CSV of EWKT (the CRS as SRID=N;)
  geoweave convert dump.csv.gz out.parquet --column geom --srid 4326
  geoweave convert in.parquet - --to hex | psql -c "COPY t FROM STDIN CSV HEADER"
  cat in.csv | geoweave convert - out.arrow --errors null
  geoweave info roads.parquet
"""

CONVERT_HELP = """\
Converts the geometry column of INPUT into OUTPUT; every other column passes
through unchanged, in order. Formats come from the file extensions: .parquet
and .geoparquet, .csv and .tsv (also .csv.gz, .csv.zst), .arrow and .feather,
and - for CSV on stdin or stdout. The output appears only when the whole
conversion succeeded."""

INFO_HELP = """\
Describes the geometry column of FILE: rows, nulls, geometry types and
dimensions, SRIDs with their counts, the encoding, and the first bad row.
Only the geometry column is read."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        # One line saying what was wrong; --help shows the rest.
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _parser() -> argparse.ArgumentParser:
    top = _Parser(prog="geoweave", description=__doc__, epilog=EXAMPLES,
                  formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = top.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    convert = commands.add_parser("convert", help="convert a file's geometry column",
                                  description=CONVERT_HELP, epilog=EXAMPLES,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
    convert.add_argument("input", metavar="INPUT", help="file to read, or - for CSV on stdin")
    convert.add_argument("output", metavar="OUTPUT", help="file to write, or - for CSV on stdout")
    convert.add_argument("--column", metavar="NAME",
                         help="the geometry column (default: the GeoParquet primary column, or "
                              "the one column named geometry, geom, wkb, wkt, the_geom or shape)")
    convert.add_argument("--to", choices=("wkb", "wkt", "hex"),
                         help="encoding written (default: wkb for Parquet and Arrow, wkt for CSV)")
    convert.add_argument("--srid", metavar="N|keep|strip",
                         help="keep the rows' SRIDs (default; a GeoParquet CRS that is an EPSG "
                              "code becomes the rows' SRID), strip them, or set N on every row")
    convert.add_argument("--flavor", choices=("extended", "iso"),
                         help="WKB dialect: iso (default for --to wkb: GeoParquet, no SRID in "
                              "the rows) or extended (PostGIS EWKB; default for --to hex)")
    convert.add_argument("--errors", choices=("raise", "null"), default="raise",
                         help="a bad row stops the run (raise, default) or is written as null")
    convert.add_argument("--threads", type=int, metavar="N",
                         help="threads to use (default: every core this process may run on)")
    convert.add_argument("--quiet", "-q", action="store_true",
                         help="no progress display")

    info = commands.add_parser("info", help="describe a file's geometry column",
                               description=INFO_HELP, epilog=EXAMPLES,
                               formatter_class=argparse.RawDescriptionHelpFormatter)
    info.add_argument("file", metavar="FILE", help="file to read, or - for CSV on stdin")
    info.add_argument("--column", metavar="NAME",
                      help="the geometry column (chosen as for convert)")
    info.add_argument("--quiet", "-q", action="store_true", help="no progress display")
    return top


def main(argv: list[str] | None = None) -> int:
    """Runs the command line `argv` (default: sys.argv[1:]); returns the exit
    status. Ctrl-C (or SIGTERM) ends the process itself, with status 130."""
    try:
        return _run(argv)
    except KeyboardInterrupt:
        # The partial output is gone already. Leave at once: batches still
        # being converted on other threads are of no use to anyone.
        from .output import remove_uncommitted
        remove_uncommitted()
        sys.stderr.write("geoweave: interrupted; nothing was written\n")
        sys.stderr.flush()
        os._exit(130)


def _run(argv):
    args = _parser().parse_args(argv)
    prog = f"geoweave {args.command}"
    try:
        import numpy  # noqa: F401
        import pyarrow  # noqa: F401
    except ImportError as e:
        sys.stderr.write(f"{prog}: error: this command needs {e.name}, which is not installed: "
                         "pip install geoweave[cli]\n")
        return 2

    from .errors import RunError, UsageError

    # SIGTERM stops the run like Ctrl-C: the partial output is removed.
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGTERM, signal.default_int_handler)
    try:
        if args.command == "convert":
            from . import convert
            return convert.run(args, sys.stderr)
        from . import info
        return info.run(args, sys.stdout, sys.stderr)
    except UsageError as e:
        sys.stderr.write(f"{prog}: error: {e} (see {prog} --help)\n")
        return 2
    except RunError as e:
        sys.stderr.write(f"{prog}: error: {e}\n")
        return 1
    except (OSError, pyarrow.ArrowException) as e:
        if isinstance(e, BrokenPipeError):
            # Whoever read stdout (`| head`) has gone: stop quietly, as cat does.
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return 1
        # A file that went wrong while it was read or written (a corrupt
        # Parquet page, a full disk, a CSV value the inferred type rejects).
        sys.stderr.write(f"{prog}: error: {e}\n")
        return 1
