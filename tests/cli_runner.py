"""The command line run in-process, as the tests call it, or as a child
process."""

import os
import signal
import sys

from corvatel import cli

# The console script installed beside this interpreter.
COMMAND = os.path.join(os.path.dirname(sys.executable), "corvatel")


def run(capsys, *argv):
    """main(argv): (exit status, stdout, stderr)."""
    try:
        status = cli.main([str(a) for a in argv])
    except SystemExit as stop:
        status = stop.code
    out, err = capsys.readouterr()
    return status, out, err


def default_sigint():
    """A shell that starts a job in the background ignores SIGINT in it, and
    a Python started with SIGINT ignored installs no KeyboardInterrupt."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)
