"""The two kinds of failure the tool reports: a wrong command line (exit
status 2) and a run that could not finish (exit status 1)."""


class UsageError(Exception):
    """The command line asks for something impossible: exit status 2."""


class RunError(Exception):
    """The conversion could not be completed: exit status 1."""
