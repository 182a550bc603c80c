"""The command line run in-process, as the tests call it."""

from corvatel import cli


def run(capsys, *argv):
    """main(argv): (exit status, stdout, stderr)."""
    try:
        status = cli.main([str(a) for a in argv])
    except SystemExit as stop:
        status = stop.code
    out, err = capsys.readouterr()
    return status, out, err
