"""How a command ends: its exit status, the kinds of failure of a job, the one-line error."""

from __future__ import annotations

from enum import Enum, IntEnum

__all__ = ["ExitStatus", "FailureKind", "CliError"]


class ExitStatus(IntEnum):
    """The exit statuses of ``rowmerge``; a batch exits with the highest of its files'."""

    DONE = 0
    #: A merge failed, or an output could not be written (a full disk, a file-size limit).
    FAILED = 1
    #: Bad arguments or input, or a refused output (it names an input, or exists).
    BAD_INPUT = 2
    #: The merged points were written, the ``--plot`` picture was not.
    PLOT_FAILED = 3
    #: Ctrl-C (128 + SIGINT, as a shell reports it).
    INTERRUPTED = 130


class FailureKind(Enum):
    """Why a job failed; each kind earns its exit status."""

    #: The input cannot be read or merged as given, or the output is refused.
    BAD_INPUT = "bad input"
    #: The merge refused the tables (a crop row without its record, ...).
    MERGE = "merge failed"
    #: The output could not be written.
    WRITE = "write failed"
    MEMORY = "out of memory"
    #: The worker process running the job died (killed, or out of memory).
    WORKER_DIED = "worker died"
    UNEXPECTED = "unexpected"

    @property
    def status(self) -> ExitStatus:
        return ExitStatus.BAD_INPUT if self is FailureKind.BAD_INPUT else ExitStatus.FAILED

    @property
    def label(self) -> str:
        """How an error line names the failure: ``rowmerge merge: merge failed: ...``."""
        return "merge failed" if self is FailureKind.MERGE else "error"

    def describe(self, detail: str) -> str:
        """The failure as a batch's report shows it: a failed merge says so, others speak for
        themselves."""
        return f"{self.label}: {detail}" if self is FailureKind.MERGE else detail


class CliError(Exception):
    """A failure reported as one line (``PROG: label: message``), with its exit status."""

    def __init__(self, message: str, status: ExitStatus = ExitStatus.BAD_INPUT, label: str = "error") -> None:
        super().__init__(message)
        self.status = status
        self.label = label
