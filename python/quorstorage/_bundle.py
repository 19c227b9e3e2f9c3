"""Bundle: an image bundle folder opened for reading, changing and committing."""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import Dict, Iterator, NamedTuple, Optional, Union

from . import _quorstorage as _core
from ._errors import StorageError

__all__ = ["Bundle", "NvarMap", "NvarInfo", "FileSystem"]

BytesLike = Union[bytes, bytearray, memoryview]
FileRef = Union[int, str]

# DFS routing of a file number: bits 11-12 select the file system.
_DFS_SELECTOR_MASK = 3 << 11
_DFS_SELECTOR_EFS = 2 << 11
_DFS_INDEX_MASK = 0x7FF


class NvarInfo(NamedTuple):
    """An NVAR's value with its maximum size and whether it may be changed."""

    value: bytes
    max_size: int
    modifiable: bool


class NvarMap(Mapping):
    """The NVARs of one table of an open storage, by name.

    ``nvars[name]`` is the value as bytes; assigning resizes the NVAR and
    writes the new value (current table only). Unknown names raise
    StorageNotFoundError, which is also a KeyError, so ``in``, ``get()`` and
    friends behave like a dict. Changes reach the bundle with commit().
    """

    def __init__(self, storage: "_core._StorageBase", table: int, writable: bool) -> None:
        self._storage = storage
        self._table = table
        self._writable = writable

    def __getitem__(self, name: str) -> bytes:
        return self._storage.nvar_get(name, self._table)

    def __setitem__(self, name: str, value: BytesLike) -> None:
        if not self._writable:
            raise TypeError("this NVAR table is read-only; change NVARs through Bundle.nvars")
        self._storage.nvar_set(name, value)

    def __delitem__(self, name: str) -> None:
        raise TypeError("NVARs cannot be removed, only resized (assign b'' to empty one)")

    def __contains__(self, name: object) -> bool:
        return isinstance(name, str) and self._storage.nvar_exists(name, self._table)

    def __iter__(self) -> Iterator[str]:
        return iter(self._storage.nvar_names(self._table))

    def __len__(self) -> int:
        return len(self._storage.nvar_names(self._table))

    def __repr__(self) -> str:
        return f"<NvarMap table=0x{self._table:08x} {len(self)} NVARs>"

    def info(self, name: str) -> NvarInfo:
        """The value, maximum size and modifiability of an NVAR."""
        return NvarInfo(*self._storage.nvar_info(name, self._table))

    def get_uint(self, name: str, size: int) -> int:
        """A little-endian unsigned value of exactly `size` bytes."""
        value = self[name]
        if len(value) != size:
            raise ValueError(f"{name}: holds {len(value)} bytes, not {size}")
        return int.from_bytes(value, "little")

    def get_u8(self, name: str) -> int:
        return self.get_uint(name, 1)

    def get_u16(self, name: str) -> int:
        return self.get_uint(name, 2)

    def get_u32(self, name: str) -> int:
        return self.get_uint(name, 4)

    def set_uint(self, name: str, value: int, size: int) -> None:
        """Stores `value` as `size` little-endian bytes."""
        self[name] = int(value).to_bytes(size, "little")

    def set_u8(self, name: str, value: int) -> None:
        self.set_uint(name, value, 1)

    def set_u16(self, name: str, value: int) -> None:
        self.set_uint(name, value, 2)

    def set_u32(self, name: str, value: int) -> None:
        self.set_uint(name, value, 4)

    def get_str(self, name: str, encoding: str = "utf-8") -> str:
        """The value decoded as text (no terminator is expected)."""
        return self[name].decode(encoding)

    def set_str(self, name: str, value: str, encoding: str = "utf-8") -> None:
        self[name] = value.encode(encoding)


class FileSystem:
    """The raw files of AFS or EFS of an open storage, by index or file-table name.

    AFS writes replace the whole file from `offset` on (the write ends the
    file); EFS writes do so by nature.
    """

    def __init__(self, storage: "_core._StorageBase", kind: str) -> None:
        self._storage = storage
        self._efs = kind == "efs"
        self.kind = kind

    def _index(self, file: FileRef) -> int:
        if isinstance(file, int):
            return file
        number = self._storage.path_to_file_number(file)
        in_efs = number & _DFS_SELECTOR_MASK == _DFS_SELECTOR_EFS
        if number == 0 or in_efs != self._efs:
            raise StorageError(f"{file}: not a file of {self.kind.upper()}", code=38,
                               text="File not found.")
        return number & _DFS_INDEX_MASK

    def size(self, file: FileRef) -> int:
        """Size in bytes of a file."""
        index = self._index(file)
        if self._efs:
            return self._storage.EFS_get_file_size(index)
        return self._storage.dfs_getsize(index)

    def read(self, file: FileRef, offset: int = 0, length: Optional[int] = None) -> bytes:
        """Reads a file (from `offset`, `length` bytes or to its end)."""
        index = self._index(file)
        if self._efs:
            return self._storage.EFS_read(index, offset, length)
        return self._storage.dfs_read(index, offset, length)

    def read_into(self, file: FileRef, buffer: Union[bytearray, memoryview],
                  offset: int = 0) -> int:
        """Reads into a writable buffer without a copy; returns the bytes read."""
        index = self._index(file)
        if self._efs:
            return self._storage.EFS_read_into(index, buffer, offset)
        return self._storage.dfs_read_into(index, buffer, offset)

    def write(self, file: FileRef, data: BytesLike, offset: int = 0) -> None:
        """Writes `data` at `offset`; the file ends after it."""
        index = self._index(file)
        if self._efs:
            self._storage.EFS_write(index, data, offset)
        else:
            self._storage.dfs_write(index, data, offset)

    def delete(self, file: FileRef) -> None:
        index = self._index(file)
        if self._efs:
            self._storage.EFS_delete(index)
        else:
            self._storage.dfs_delete_file(index)

    def files(self) -> Dict[int, int]:
        """Index -> size of every file that has content."""
        count = self._storage.EFS_file_count() if self._efs else self._storage.afs_file_count()
        found: Dict[int, int] = {}
        for index in range(count):
            try:
                found[index] = self.size(index)
            except StorageError as error:
                # No file here (or, in EFS, not in the layout): not listed.
                if error.status not in (2, 22):
                    raise
        return found

    def __repr__(self) -> str:
        return f"<FileSystem {self.kind.upper()}>"


class Bundle:
    """An image bundle (ftbl.bin, ostra.cfg, tavc.cfg, mfs.bin, efs.bin,
    bundle.json in one folder) opened through the library.

    Open it with ``Bundle.open(path)``, preferably as a context manager::

        with quorstorage.Bundle.open("demo-bundle") as img:
            img.nvars["/home/net/hostname"] = b"gw-7"
            img.nvars.get_u32("/home/net/mtu")
            img.afs.read(16)
            img.commit()

    Changes live in memory until commit(), which writes every changed piece
    into the folder (each through a temporary file renamed into place only
    after all are written). Closing without commit() leaves the folder as it
    was. The library holds one storage per process: while a Bundle is open,
    opening another raises StorageBusyError.

    Attributes:
        nvars: current values, readable and writable (NvarMap).
        vendor_nvars, tool_nvars: the vendor defaults and the tool's values,
            read-only.
        afs, efs: the raw files of the two file systems (FileSystem).
        storage: the low-level object with the library's dfs_*/afs_*/EFS_*
            and nvar_* calls.
    """

    def __init__(self, session: "_core._BundleSession") -> None:
        self.storage = session
        self.nvars = NvarMap(session, _core.TABLE_CURRENT, writable=True)
        self.vendor_nvars = NvarMap(session, _core.TABLE_VENDOR, writable=False)
        self.tool_nvars = NvarMap(session, _core.TABLE_TOOL, writable=False)
        self.afs = FileSystem(session, "afs")
        self.efs = FileSystem(session, "efs")

    @classmethod
    def open(cls, path: Union[str, "os.PathLike[str]"]) -> "Bundle":
        """Loads the bundle at `path` and opens its storage (kaMfsQuorInit).

        Raises StorageError (or a subclass) when a piece is missing or the
        library refuses the image, StorageBusyError when a storage is
        already open in this process.
        """
        return cls(_core._BundleSession(os.fspath(path)))

    @property
    def path(self) -> str:
        return self.storage.folder

    @property
    def sku(self) -> int:
        return self.storage.sku

    @property
    def closed(self) -> bool:
        return self.storage.closed

    def commit(self) -> list:
        """Commits every change and saves the changed pieces; returns their
        file names. The bundle stays open for more changes. A commit the
        library refuses closes the bundle and leaves the folder unchanged."""
        return self.storage.commit()

    def close(self) -> None:
        """Closes the storage; uncommitted changes are dropped."""
        self.storage.close()

    def __enter__(self) -> "Bundle":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"sku=0x{self.sku:08x}"
        return f"<Bundle {self.path!r} {state}>"
