"""Free-form (list-directed) input, read the way the tool reads it.

A read statement starts at a new record and takes its values in order.
Values are separated by blanks (space and tab only), commas (with or without
blanks around them) and line ends; a statement that needs more values goes
on to the next records, passing over lines of blanks; whatever is left of
the last record it touched is never looked at, so anything may follow the
values a statement needs, bytes outside ASCII included.

- A record is the text up to a line feed; one carriage return before it
  belongs to the line end. Any other character (a form feed, a byte outside
  ASCII) is part of a value when it stands where a value is read.
- ``r*c`` is r copies of the value c (r a positive 32-bit integer); copies
  left over when the statement is satisfied are dropped with the record.
- A value ends at a blank, a comma or a slash; a slash met where a value is
  still needed ends the read too early and is refused, one after the
  values is never reached.
- A null value (two commas in a row, a comma before the first value, ``r*``
  without a value) is refused rather than leaving a target unset.
- A text value may be quoted with apostrophes or quotation marks (a doubled
  delimiter stands for one, and the value may go on over a line end); a
  quoted value is never a number.
- A Real is the single-precision value nearest the decimal text, a Double
  the double-precision one; a magnitude beyond the largest finite value of
  the type is refused, one below the smallest rounds to zero.
"""

import math
import re

from ._numbers import decimal_text, decimal_to_float32
from .errors import FormatError

_BLANKS = " \t"
_DIGITS = "0123456789"
_ENDS_VALUE = " \t,/"
# Written with [0-9]: a str pattern's \d would also take other scripts'
# digits, which the tool does not.
_INTEGER = re.compile(r"[+-]?[0-9]+")


def split_records(data):
    """The records of ``data`` (bytes) as text, one character per byte."""
    records = data.split(b"\n")
    if records and records[-1] == b"":
        records.pop()  # the line feed ends the last record; it starts none
    return [r[:-1].decode("latin-1") if r.endswith(b"\r") else r.decode("latin-1")
            for r in records]


def int32(text):
    """The Integer of an optionally signed digit string, or None."""
    if not _INTEGER.fullmatch(text):
        return None
    value = int(text)
    return value if -2**31 <= value < 2**31 else None


def read_source(path):
    """The bytes of a file to be read in free form; FormatError when it
    cannot be opened."""
    try:
        with open(path, "rb") as stream:
            return stream.read()
    except OSError as err:
        raise FormatError(path, f"cannot open: {err.strerror or err}") from None


class FreeFormReader:
    """Reads statements of Real, Double, Integer and text values from the
    records of one file; failures raise FormatError naming the file and
    the line."""

    def __init__(self, path, data):
        self.path = str(path)
        self.records = split_records(data)
        self.line = 0  # records read so far
        self._record = ""
        self._pos = 0
        self._have_record = False
        self._after_value = False
        self._repeat_left = 0
        self._repeat_item = None

    def read(self, kinds, what):
        """One read statement: a value of each kind in ``kinds`` ('real',
        'double', 'integer', 'text'); ``what`` names the read in
        diagnostics."""
        self._have_record = False
        self._after_value = False
        self._repeat_left = 0
        values = []
        for kind in kinds:
            values.append(self._convert(kind, self._next_item(what), what))
        self._have_record = False
        return values

    def _fail(self, what, cause):
        raise FormatError(self.path, f"{what}: {cause}", self.line)

    def _fetch(self):
        if self.line >= len(self.records):
            return False
        self._record = self.records[self.line]
        self.line += 1
        self._pos = 0
        self._have_record = True
        return True

    def _end_of_file(self, what):
        raise FormatError(
            self.path, f"file ends after {len(self.records)} lines, before {what} is complete")

    def _next_item(self, what):
        if self._repeat_left > 0:
            self._repeat_left -= 1
            return self._repeat_item
        # Pass over separators to the start of the value. The line end
        # counts as a blank, so a comma starting a continuation record
        # still pairs with the value before it.
        while True:
            if not self._have_record or self._pos >= len(self._record):
                if not self._fetch():
                    self._end_of_file(what)
                continue
            c = self._record[self._pos]
            if c in _BLANKS:
                self._pos += 1
            elif c == ",":
                if not self._after_value:
                    self._fail(what, "empty field between commas (a null value)")
                self._after_value = False
                self._pos += 1
            elif c == "/":
                self._fail(what, "a slash ends the read before all values were read")
            else:
                break
        record = self._record
        repeat = 1
        j = self._pos
        while j < len(record) and record[j] in _DIGITS:
            j += 1
        if j > self._pos and j < len(record) and record[j] == "*":
            count = record[self._pos:j]
            repeat = int32(count)
            if repeat is None or repeat <= 0:
                self._fail(what, f"'{count}' is not a valid repeat count")
            self._pos = j + 1
            if self._pos >= len(record) or record[self._pos] in _ENDS_VALUE:
                self._fail(what, f"repeat count '{count}*' without a value (a null value)")
        item = self._quoted(what) if record[self._pos] in "'\"" else self._unquoted()
        self._after_value = True
        if repeat > 1:
            self._repeat_left = repeat - 1
            self._repeat_item = item
        return item

    def _unquoted(self):
        start = j = self._pos
        while j < len(self._record) and self._record[j] not in _ENDS_VALUE:
            j += 1
        self._pos = j
        return (self._record[start:j], False)

    def _quoted(self, what):
        delimiter = self._record[self._pos]
        self._pos += 1
        text = []
        while True:
            if self._pos >= len(self._record):
                # The value goes on in the next record; the line end is no
                # part of it.
                if not self._fetch():
                    self._end_of_file(what)
                continue
            c = self._record[self._pos]
            if c == delimiter:
                if self._record[self._pos + 1:self._pos + 2] == delimiter:
                    text.append(c)
                    self._pos += 2
                    continue
                self._pos += 1
                break
            text.append(c)
            self._pos += 1
        text = "".join(text)
        if self._pos < len(self._record) and self._record[self._pos] not in _ENDS_VALUE:
            self._fail(what, f"unexpected character after the quoted value '{text}'")
        return (text, True)

    def _convert(self, kind, item, what):
        text, quoted = item
        if kind == "text":
            return text
        if quoted:
            self._fail(what, f"quoted text '{text}' where a number is expected")
        if kind == "integer":
            value = int32(text)
            if value is None:
                self._fail(what, f"'{text}' is not an integer")
            return value
        # The tool's free-form reader knows no exponent without its letter.
        try:
            clean = decimal_text(text)
        except ValueError as err:
            raise FormatError(self.path, f"{what}: {err}", self.line) from None
        if kind == "real":
            value = decimal_to_float32(clean)
            if value is None:
                self._fail(what, f"'{text}' is too large for single precision")
        else:
            value = float(clean)
            if math.isinf(value):
                self._fail(what, f"'{text}' is too large for double precision")
        return value
