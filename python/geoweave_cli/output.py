"""Output that appears whole or not at all: written to a temporary file in the
destination's folder and renamed into place only when everything succeeded."""

from __future__ import annotations

import os
import secrets
import sys

from .errors import RunError

# Temporary files not committed, removed once more just before an interrupted
# run leaves: a writer thread may still have been creating its file when the
# main thread discarded it.
_UNCOMMITTED: set[str] = set()


def remove_uncommitted():
    for path in list(_UNCOMMITTED):
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass
        _UNCOMMITTED.discard(path)


def _create_partial(target: str) -> str:
    """A new empty file beside `target`, private to its owner. Its name is
    recorded before the file exists, so that a Ctrl-C arriving at any point
    of its creation still finds it to remove (tempfile.mkstemp only hands the
    name back once the file is there)."""
    folder = os.path.dirname(os.path.abspath(target))
    for _ in range(100):
        path = os.path.join(folder, f".{os.path.basename(target)}.{secrets.token_hex(4)}.partial")
        _UNCOMMITTED.add(path)
        try:
            fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
        except FileExistsError:
            _UNCOMMITTED.discard(path)  # someone else's: leave it alone
            continue
        except OSError as e:
            _UNCOMMITTED.discard(path)
            raise RunError(f"{target}: cannot write there ({e.strerror})") from None
        os.close(fd)
        return path
    raise RunError(f"{target}: cannot write there (no free temporary name)")


class AtomicOutput:
    """`path` of the temporary file while writing; commit() renames it into
    place, discard() removes it. "-" writes to stdout directly."""

    def __init__(self, target: str):
        self.target = target
        self.path = None
        self.stdout = target == "-"
        if not self.stdout:
            self.path = _create_partial(target)

    def open_binary(self):
        return sys.stdout.buffer if self.stdout else open(self.path, "wb")

    def commit(self):
        if self.path is None:
            return
        # mkstemp makes the file private to its owner; give it the mode any new file gets.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(self.path, 0o666 & ~umask)
        os.replace(self.path, self.target)
        _UNCOMMITTED.discard(self.path)
        self.path = None

    def discard(self):
        if self.path is not None:
            try:
                os.unlink(self.path)
            except FileNotFoundError:
                pass
            self.path = None
