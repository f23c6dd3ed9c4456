"""Exceptions of the file-format layer.

Every problem with an input file or a column mapping is a :class:`FormatError`
whose text is one line naming the file (and the table, layer or column),
ready to be shown to a person as it is.
"""

from __future__ import annotations

__all__ = ["FormatError", "MissingLibraryError"]


class FormatError(ValueError):
    """A file, table or column mapping that cannot be read or written as asked."""


class MissingLibraryError(FormatError):
    """A format needs an optional library that is not installed.

    ``extra`` names the package extra that installs it (``pip install
    'rowmerge[extra]'``).
    """

    def __init__(self, message: str, extra: str) -> None:
        super().__init__(message)
        self.extra = extra
