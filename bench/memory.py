"""Resident-memory growth of a snippet, measured in a fresh interpreter."""

import subprocess
import sys

_CHILD = r"""
import gc, os, sys
try:
    import velkorin
    globals().update({n: getattr(velkorin, n) for n in dir(velkorin) if not n.startswith("_")})
except ImportError:
    pass

def resident_bytes():
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        import resource  # peak, not current: a fallback only
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

setup, build = sys.argv[1], sys.argv[2]
exec(setup)
gc.collect()
before = resident_bytes()
exec(build)
gc.collect()
print(resident_bytes() - before)
"""


class SnippetError(RuntimeError):
    """The snippet raised; the message is the child's last stderr line."""


def rss_growth(build: str, setup: str = "") -> int:
    """Bytes by which resident size grows while `build` runs after `setup`.

    Both run at module level of a fresh process of this interpreter with the
    public names of velkorin imported; what `build` creates stays alive until
    the measurement is taken.
    """
    proc = subprocess.run(
        [sys.executable, "-c", _CHILD, setup, build],
        capture_output=True, text=True,
    )
    if proc.returncode != 0:
        lines = proc.stderr.strip().splitlines() or [f"exit status {proc.returncode}"]
        raise SnippetError(lines[-1])
    return int(proc.stdout.strip().splitlines()[-1])
