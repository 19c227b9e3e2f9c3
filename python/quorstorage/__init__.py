"""quorstorage: open, read, change and commit firmware images from Python.

    import quorstorage as qs
    qs.build("examples/demo.json", "demo-bundle")
    with qs.Bundle.open("demo-bundle") as img:
        img.nvars["/home/net/hostname"] = b"gw-7"
        img.commit()
    assert qs.fsck("demo-bundle").clean

Bundle works on bundle folders as the quorstore tool writes them. For pieces
kept in memory, Storage opens the configuration tables and regions given as
buffers and Region mounts only the file systems; both change writable
buffers (bytearray, memoryview) in place.

Errors raise StorageError and its subclasses, carrying the catalogue code,
text and detail. Library reports also go to the "quorstorage" logger. The
library keeps process-wide state: one Bundle, Storage or Region may be open
at a time (StorageBusyError otherwise); calls from several threads are
serialised and release the GIL while the library works.
"""

from __future__ import annotations

import logging

from . import _quorstorage
from ._build import FsckFileSystem, FsckFinding, FsckReport, build, fsck
from ._bundle import Bundle, FileSystem, NvarInfo, NvarMap
from ._errors import (
    StorageBusyError,
    StorageClosedError,
    StorageDamagedError,
    StorageError,
    StorageNotFoundError,
    StorageTooLargeError,
)
from ._quorstorage import TABLE_CURRENT, TABLE_TOOL, TABLE_VENDOR, Region, Storage

__all__ = [
    "Bundle",
    "FileSystem",
    "FsckFileSystem",
    "FsckFinding",
    "FsckReport",
    "NvarInfo",
    "NvarMap",
    "Region",
    "Storage",
    "StorageBusyError",
    "StorageClosedError",
    "StorageDamagedError",
    "StorageError",
    "StorageNotFoundError",
    "StorageTooLargeError",
    "TABLE_CURRENT",
    "TABLE_TOOL",
    "TABLE_VENDOR",
    "build",
    "fsck",
]

# A library does not decide where its log goes: without a handler of the
# application's, reports are dropped rather than printed.
logging.getLogger(__name__).addHandler(logging.NullHandler())

