"""The command line: ``rowmerge merge ...`` and ``rowmerge demo`` (also ``python -m rowmerge``).

* :mod:`~rowmerge.cli.main`: the entry point, :func:`main`;
* one module per command: :mod:`~rowmerge.cli.merge_command` (one input),
  :mod:`~rowmerge.cli.batch_command` (``--output-dir``: many inputs) and
  :mod:`~rowmerge.cli.demo_command`, with the options they share in
  :mod:`~rowmerge.cli.options`;
* :mod:`~rowmerge.cli.job` (one input: read, merge, write), :mod:`~rowmerge.cli.batch`
  (jobs over worker processes) and :mod:`~rowmerge.cli.batch_inputs` (globs,
  companion tables, output names);
* :mod:`~rowmerge.cli.summary` (counts, text, JSON), :mod:`~rowmerge.cli.progress_bar`,
  and the ``--plot`` picture: :mod:`~rowmerge.cli.picture`, :mod:`~rowmerge.cli.plot`
  and :mod:`~rowmerge.cli.junctions`;
* :mod:`~rowmerge.cli.status`: exit statuses and the kinds of failure.

Exit statuses: 0 after a successful run; 1 when a merge fails (one line naming
the group and its crop row) or an output cannot be written (a full disk, a
file-size limit); 2 for a problem with the arguments or the input (unknown
option, missing or unreadable file, missing table or column, a value the merge
refuses, an output that names an input or exists without ``--overwrite``); 3
when the merged points were written but the ``--plot`` picture could not be.
A batch exits with the highest status of its files.
"""

from .main import main
from .status import ExitStatus

__all__ = ["main", "ExitStatus"]
