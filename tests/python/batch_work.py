"""A job runner for the batch tests that dies, as a killed worker would: always on inputs named
'crash', and once, after the job has written its output, on inputs named 'lost'.

Worker processes import it by name, as they import rowmerge.cli.job.run_job.
"""

from __future__ import annotations

import os

from rowmerge.cli.job import Job, Outcome, run_job


def run_or_die(job: Job) -> Outcome:
    name = os.path.basename(job.points or "")
    if "crash" in name:
        os._exit(70)
    outcome = run_job(job)
    marker = f"{job.points}.ran"
    if name.startswith("lost") and not os.path.exists(marker):
        open(marker, "w").close()
        os._exit(70)  # the output is written, the outcome lost with the pool
    return outcome
