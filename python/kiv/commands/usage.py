"""The error of a command line that cannot be carried out as given."""


class UsageError(Exception):
    """The command line, or a file it names (inputs, a reference), cannot be
    used as given; the command exits with status 2."""
