"""The one exception the readers raise for a file they cannot use."""


class FormatError(ValueError):
    """A file that cannot be opened or does not follow its format.

    ``str(error)`` is one line naming the file and, where there is one, the
    line: ``file 'out/x.dat', line 12: coefficient field '************' is
    asterisks (the value did not fit its field)``.
    """

    def __init__(self, path, cause, line=None):
        self.path = str(path)
        self.line = line
        self.cause = cause
        where = f"file '{self.path}'"
        if line is not None:
            where += f", line {line}"
        super().__init__(f"{where}: {cause}")
