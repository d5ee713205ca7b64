#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/<target>/ from the example run
lists and tables. Rerun after the examples change; the output is checked in."""
import math
import os
import struct

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = os.path.join(ROOT, "fuzz", "corpus")


def write(target, name, data):
    d = os.path.join(CORPUS, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def read(*parts):
    with open(os.path.join(ROOT, *parts), "rb") as f:
        return f.read()


inputs = {n: read("examples", "INPUT", n) for n in ("input_re.dat", "wl.dat", "input_band.dat")}
table = read("examples", "tables", "WVN_0p55_DE_010.dat")
band_table = read("examples", "tables", "B07_DE_005.dat")
lines = table.split(b"\n")

# Tables: two whole ones, one with cosines, and trimmed ones (header and
# a few rows; the reader meets the end of the file).
write("fuzz_table", "whole_wavelength", table)
write("fuzz_table", "whole_band", band_table)
rows = []
for line in lines[2:500]:
    a, p = line.split()
    rows.append(b"%.8f %s" % (math.cos(math.radians(float(a))), p))
write("fuzz_table", "cosines", b"\n".join(lines[:2] + rows) + b"\n")
write("fuzz_table", "trimmed_header", b"\n".join(lines[:2]) + b"\n")
write("fuzz_table", "trimmed_rows", b"\n".join(lines[:12]) + b"\n")
write("fuzz_table", "d_exponents_commas",
      b"1,2,3, 2.1d0, .99D0 ,0.81e0 trailing\n" + b"\n".join(
          l.replace(b"E", b"D") for l in lines[2:500]) + b"\n")

# Free form, mode 0: program bytes (kind in bits 0-1: Integer, Real,
# Double, text; bit 2 ends the statement) then the text.
I, R, D, T, END = 0, 1, 2, 3, 4
def program(ops, text):
    return bytes([0, len(ops) - 1]) + bytes(ops) + text
write("fuzz_free_form", "table_header", program([R, R, R, R, R, R | END], b"\n".join(lines[:6])))
write("fuzz_free_form", "size_list", program([I | END], inputs["input_re.dat"]))
write("fuzz_free_form", "wavelengths", program([I | END, D | END], inputs["wl.dat"]))
write("fuzz_free_form", "bands", program([I | END, T | END], inputs["input_band.dat"]))
write("fuzz_free_form", "quoted", program([T, T, I | END],
      b"'B07 thermal window' \"it\"\"s\" 3\n'continued\nquote', 2*7 ,\n"))
write("fuzz_free_form", "repeat_null", program([R, R, R, D | END], b"3*1.5d0 , , 7 /\n\n  \t\n4\n"))

# Free form, mode 1: differential of one number token, characters chosen
# by index into the target's alphabet.
ALPHABET = "0123456789+-.eEdD0000011111999995"
def token(kind, text):
    return bytes([1, kind]) + bytes(ALPHABET.index(c) for c in text)
for k, t in enumerate(["0.55", ".55", "5.5E-1", "5.5d-1", "1", "-1.5", "3.4028235e38",
                       "1e-46", "1.4e-45", "1e39", "123456789012345678901234567890"]):
    write("fuzz_free_form", "number_%02d" % k, token(k % 3, t))

# Free form, mode 2: argument conversion, width byte then the argument.
for k, (w, a) in enumerate([(14, b"300"), (14, b" 1 2"), (14, b"12345678901"),
                            (14, b"1.5"), (14, b"-2147483648"), (14, b"3,"), (0, b"7")]):
    write("fuzz_free_form", "argument_%d" % k, bytes([2, w]) + a)

# Run lists: first byte 0 size list, 1 wavelengths, 2 band names.
write("fuzz_run_lists", "sizes", b"\x00" + inputs["input_re.dat"])
write("fuzz_run_lists", "sizes_one_line", b"\x00" + b"3 10 20 30\n4\n5 6\n\n 7\n")
write("fuzz_run_lists", "wavelengths", b"\x01" + inputs["wl.dat"])
write("fuzz_run_lists", "wavelength_forms", b"\x01" + b"5\n.55\n5.5E-1\n5.5D-1\n1\n12345678.9\n")
write("fuzz_run_lists", "bands", b"\x02" + inputs["input_band.dat"])
write("fuzz_run_lists", "bands_quoted",
      b"\x02" + b"3\nB07 thermal window\n'B07 thermal window'\n'a name far longer than thirty characters'\n")

# Naming: wavelength (8 bytes), size (4), field width (1), band name,
# newline, directory.
for k, (w, s, band, d) in enumerate([
        (0.55, 10, b"B07", b"/data/pf/"), (10.0, 5, b"ch4.3um", b"/data/coef"),
        (3.456, 120, b"x" * 40, b""), (-1.5, 1000, b" lead", b" dir/  "),
        (0.005, -1, b"", b"a" * 200), (12345678.9, 999, b"tab\tname", b"d/"),
        (float("nan"), 7, b"n", b"x"), (float("-inf"), 0, b"i", b"y"),
        (5e-324, -2147483648, b"s", b"z"), (-0.004, 2147483647, b"neg0", b"w"),
        (9999999.995, 42, b"edge", b"e"), (-999999.995, 42, b"edge", b"e")]):
    write("fuzz_naming", "case_%02d" % k,
          struct.pack("<di", w, s) + bytes([k * 13 % 256]) + band + b"\n" + d)
