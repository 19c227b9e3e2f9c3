"""Exceptions of quorstorage.

Every failure of the library or of the tool core arrives as a StorageError
(or a subclass) carrying the catalogue code, its text and the detail the
library gave; ``reports`` holds every report the library made for it.
"""

from __future__ import annotations

from typing import Optional, Tuple

__all__ = [
    "StorageError",
    "StorageNotFoundError",
    "StorageTooLargeError",
    "StorageDamagedError",
    "StorageBusyError",
    "StorageClosedError",
]


class StorageError(Exception):
    """A refused storage operation.

    Attributes:
        code: catalogue code (None for the package's own rules, such as one
            open storage per process).
        text: the catalogue text of ``code``.
        detail: what failed, as the library or the tool core said it.
        status: the file-system status behind the failure, when there is one.
        reports: every (code, text, detail) the library reported for it.
    """

    def __init__(
        self,
        detail: str,
        *,
        code: Optional[int] = None,
        text: str = "",
        status: Optional[int] = None,
        reports: Tuple[Tuple[int, str, str], ...] = (),
    ) -> None:
        detail = detail.strip()
        super().__init__(detail)
        self.detail = detail
        self.code = code
        self.text = text.strip()
        self.status = status
        self.reports = tuple(reports)

    def __str__(self) -> str:
        if self.text and self.detail:
            return f"{self.text} {self.detail}" if self.text.endswith(":") else (
                f"{self.text.rstrip('.')}: {self.detail}")
        return self.text or self.detail

    def __repr__(self) -> str:
        return (f"{type(self).__name__}(code={self.code!r}, text={self.text!r}, "
                f"detail={self.detail!r}, status={self.status!r})")


class StorageNotFoundError(StorageError, KeyError):
    """No such NVAR or file (also a KeyError, so mappings behave)."""

    __str__ = StorageError.__str__


class StorageTooLargeError(StorageError):
    """A value or file is larger than its maximum size, or no space is left."""


class StorageDamagedError(StorageError):
    """A region or table fails its checks: it does not mount or parse."""


class StorageBusyError(StorageError):
    """The library already has an open storage in this process.

    The library keeps process-wide state, so one Bundle, Storage or Region
    can be open at a time; close the open one first.
    """


class StorageClosedError(StorageError):
    """The Bundle, Storage or Region was closed."""
