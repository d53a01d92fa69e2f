"""apt-get update, tried again after a pause while all that failed is fetching
indexes: an index that is mid-sync on the mirror is often whole again a little
later. Any other error (a lock held, sudo refused) is this machine's, and no
pause mends it. Shared by scripts/install-deps and the virtual machine's tests."""
import re
import subprocess
import time

PAUSES = (3, 10)
FETCH_FAILED = re.compile(r"[EW]: Failed to fetch ")
# apt's summary of the failed fetches above it, nothing of its own.
FETCH_SUMMARY = "E: Some index files failed to download"


def fetch_failures(output):
    return [line.strip() for line in output.splitlines() if FETCH_FAILED.match(line)]


def only_fetching_failed(output):
    errors = [line for line in output.splitlines() if line.startswith("E: ")]
    return bool(fetch_failures(output)) and all(
        FETCH_FAILED.match(line) or line.startswith(FETCH_SUMMARY) for line in errors)


def update(argv, env=None, tell=lambda output, pause: None):
    """Runs argv, an apt-get update, again after each pause while only
    fetching failed, telling `tell` of each failure (pause None: the last).
    Returns the last run, its stderr within its stdout."""
    for pause in PAUSES + (None,):
        run = subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True)
        if run.returncode == 0 or not only_fetching_failed(run.stdout):
            return run
        tell(run.stdout, pause)
        if pause is not None:
            time.sleep(pause)
    return run
