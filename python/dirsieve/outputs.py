"""The files one command writes: checked before any work, written all or nothing, one overwrite rule.

Every output (tables, provenance, reports, pictures, pages) is refused when a file already stands at
its path, unless the command was given ``--force``, which first moves that file to a numbered backup
(``FILE.bak``, ``FILE.bak.1``, ...). The checks, the temporary files beside the targets, the moves into
place and the undoing all run in the engine; this class only gathers what one command writes.
"""

from __future__ import annotations

from typing import Iterable, List, Optional, Sequence, Tuple

__all__ = ["OutputSet", "Committed"]

Committed = List[Tuple[str, Optional[str]]]


def _engine():
    from dirsieve import _engine as engine

    return engine


class OutputSet:
    """Files written together, after the engine's own outputs (whose commit it can undo)."""

    def __init__(self, force: bool = False):
        self.force = force
        self._paths: List[str] = []
        self._contents: List[bytes] = []

    def check(self, paths: Iterable[Optional[str]]) -> None:
        """Before any work: every folder accepts a new file, nothing is a folder, nothing exists unless forced.

        Raises ValueError naming the file.
        """
        wanted = [p for p in paths if p is not None]
        if wanted:
            _engine().check_outputs(wanted, in_place=self.force)

    def add(self, path: str, data: bytes) -> None:
        self._paths.append(path)
        self._contents.append(data)

    def commit(self, after: Sequence[Sequence[Optional[str]]] = ()) -> Committed:
        """Writes every added file, all or none; on failure also undoes ``after`` (files the engine committed).

        Raises ValueError naming the file that failed; nothing that existed before is left changed.
        """
        if not self._paths:
            return []
        try:
            done = _engine().write_outputs(self._paths, self._contents, in_place=self.force)
        except ValueError:
            undo(after)
            raise
        return [(path, backup) for path, backup in done]


def undo(committed: Sequence[Sequence[Optional[str]]]) -> None:
    """Removes files a commit put in place and moves their backups back."""
    if committed:
        _engine().restore_outputs([p for p, _ in committed], [b or "" for _, b in committed])
