"""File names and run lists as the tool forms and reads them.

A wavelength's label is the value in F10.2 with the point replaced by 'p'
(0.55 gives 0p55); a band's label is its name cut to 30 characters. A data
file is WVN_<label>_DE_<size>.dat (wavelength mode) or <band>_DE_<size>.dat
(band mode), the size in three digits; at the reference wavelength (within
0.001 of 0.55) the tool also writes WN_REF_RE_<size>.dat.

The run lists under INPUT/ are free-form: a count on the first line, then
one entry per line, each the first value of its line.
"""

import math
import os

from ._freeform import FreeFormReader, read_source

LABEL_WIDTH = 30
SIZE_LIST = os.path.join("INPUT", "input_re.dat")
WAVELENGTH_LIST = os.path.join("INPUT", "wl.dat")
BAND_LIST = os.path.join("INPUT", "input_band.dat")
# The single-precision value nearest 0.001, widened, as the tool compares.
_REFERENCE_TOLERANCE = 0.0010000000474974513


def wavelength_label(wavelength):
    """F10.2 of ``wavelength`` with '.' replaced by 'p'; ten asterisks when
    the value does not fit."""
    text = ("-" if math.copysign(1.0, wavelength) < 0 else "") + f"{abs(wavelength):.2f}"
    if len(text) > 10:
        return "*" * 10
    return text.replace(".", "p")


def band_label(name):
    return name[:LABEL_WIDTH].rstrip(" ")


def size_digits(size):
    """The size in I3.3: three digits, or three asterisks outside 0..999."""
    return f"{size:03d}" if 0 <= size <= 999 else "***"


def data_file_name(label, size, band_mode):
    prefix = "" if band_mode else "WVN_"
    return f"{prefix}{label}_DE_{size_digits(size)}.dat"


def is_reference_wavelength(wavelength):
    return abs(wavelength - 0.55) < _REFERENCE_TOLERANCE


def _read_list(path, kind):
    data = read_source(path)
    reader = FreeFormReader(path, data)
    count = reader.read(["integer"], "the count")[0]
    return [reader.read([kind], f"entry {i}")[0] for i in range(1, count + 1)], data


def read_size_list(workdir):
    """The sizes of INPUT/input_re.dat and the file's bytes."""
    return _read_list(os.path.join(workdir, SIZE_LIST), "integer")


def read_spectral_list(workdir, band_mode):
    """The labels and values of INPUT/wl.dat (wavelengths) or
    INPUT/input_band.dat (band names, which are their own labels), and the
    file's bytes."""
    if band_mode:
        names, data = _read_list(os.path.join(workdir, BAND_LIST), "text")
        labels = [band_label(n) for n in names]
        return labels, labels, data
    values, data = _read_list(os.path.join(workdir, WAVELENGTH_LIST), "double")
    return [wavelength_label(v) for v in values], values, data
