"""A job runner for the batch tests that dies, as a killed worker would: always on inputs named
'crash'; on inputs named 'dies-once', the first time only and after writing the output.

Worker processes import it by name, as they import rowmerge.job.run_job.
"""

from __future__ import annotations

import os

from rowmerge.job import Job, Outcome, run_job


def run_or_die(job: Job) -> Outcome:
    name = os.path.basename(job.points or "")
    if "crash" in name:
        os._exit(70)
    attempted = f"{job.output}.attempted"
    if "dies-once" in name and not os.path.exists(attempted):
        open(attempted, "w").close()
        run_job(job)
        os._exit(70)
    return run_job(job)
