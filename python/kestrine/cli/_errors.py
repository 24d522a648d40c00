"""The two ways a command fails: a mistake in the command line (exit status 2) and anything
else the user can act on (exit status 1). Both are reported as one line, never a traceback."""


class CliError(Exception):
    """A failure the user can act on: a missing directory, a bad input line, a wrong key."""


class UsageError(CliError):
    """The command line itself is wrong: a missing option, an unparsable value."""
