"""build() and fsck(): the image builder and the bundle check of quorstore."""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Tuple, Union

from . import _quorstorage as _core

__all__ = ["build", "fsck", "FsckReport", "FsckFinding", "FsckFileSystem"]

PathLike = Union[str, "os.PathLike[str]"]


def build(description: Union[Mapping[str, Any], PathLike], out: PathLike, *,
          sku: Optional[int] = None, force: bool = False) -> str:
    """Builds a bundle folder `out` from an image description.

    `description` is the description as a dict (the JSON structure that
    ``quorstore mkimage`` reads, see examples/demo.json) or the path of such
    a JSON file. `sku` replaces the description's "sku"; `force` replaces a
    bundle `out` already holds. Returns `out` as a string.

    Raises StorageError (code 118, the offending field in the detail) for a
    malformed description and StorageBusyError while a storage is open: the
    builder uses the library's process-wide state.
    """
    if not isinstance(description, Mapping):
        description = os.fspath(description)
    else:
        description = dict(description)
    return _core._build(description, os.fspath(out), sku, force)


@dataclass(frozen=True)
class FsckFinding:
    """One thing found: where (a piece, a file, an NVAR) and what."""

    where: str
    what: str

    def __str__(self) -> str:
        return f"{self.where}: {self.what}"


@dataclass(frozen=True)
class FsckFileSystem:
    present: bool
    mounted: bool
    files: int
    unreadable: int


@dataclass(frozen=True)
class FsckReport:
    """What fsck found; ``clean`` is true when nothing is wrong and the next
    commit would succeed. ``exit_status`` is the tool's (0 clean, 1 all
    repaired, 4 damage left)."""

    bundle: str
    clean: bool
    exit_status: int
    pieces: Dict[str, Tuple[str, int]]
    afs: FsckFileSystem
    efs: FsckFileSystem
    nvars: int
    trial_commit: bool
    damage: List[FsckFinding] = field(default_factory=list)
    repaired: List[FsckFinding] = field(default_factory=list)
    reset: List[str] = field(default_factory=list)
    notes: List[str] = field(default_factory=list)
    written: List[str] = field(default_factory=list)
    recovered: List[str] = field(default_factory=list)

    def __bool__(self) -> bool:
        return self.clean


def fsck(bundle: PathLike, *, repair: bool = False) -> FsckReport:
    """Checks a bundle folder: its pieces against bundle.json, both file
    systems file by file, every NVAR, and a trial commit. With `repair`,
    NVARs whose files no longer read get their last committed value back and
    the bundle is committed when that makes it clean.

    Raises StorageError when the check cannot run (no such folder, the
    bundle is locked by another process) and StorageBusyError while a
    storage is open in this process.
    """
    raw = _core._fsck(os.fspath(bundle), repair)
    return FsckReport(
        bundle=raw["bundle"],
        clean=raw["clean"],
        exit_status=raw["exit_status"],
        pieces={name: (state, size) for name, state, size in raw["pieces"]},
        afs=FsckFileSystem(**raw["afs"]),
        efs=FsckFileSystem(**raw["efs"]),
        nvars=raw["nvars"],
        trial_commit=raw["trial_commit"],
        damage=[FsckFinding(*f) for f in raw["damage"]],
        repaired=[FsckFinding(*f) for f in raw["repaired"]],
        reset=list(raw["reset"]),
        notes=list(raw["notes"]),
        written=list(raw["written"]),
        recovered=list(raw["recovered"]),
    )
