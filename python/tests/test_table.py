"""Phase-function tables: the free-form layouts the tool accepts, the cosine
rule, and the diagnostics for tables it cannot use."""

import numpy as np
import pytest

from conftest import REPO_ROOT, table_angles, write_hg_table
from phasefit import FormatError, TABLE_ROWS, read_phase_table


def rows_text(rows, separator=" ", exponent="E"):
    return "".join(f"{a:.8f}{separator}{v:.7E}\n".replace("E", exponent) for a, v in rows)


def hg_rows():
    # Rounded as every layout below prints them, so all read back exactly.
    angle = np.round(table_angles(), 8)
    return list(zip(angle, np.round(1.0 + angle / 180.0, 7)))


LAYOUTS = {
    "header on one line, blanks": "1 2 3 4.5 0.9 0.85 ignored words\n" + rows_text(hg_rows()),
    "header over three lines": "1\n2 3\n\n4.5, 0.9, 0.85\n" + rows_text(hg_rows()),
    "tabs and D exponents": "1\t2\t3\t4.5D0\t0.9\t0.85\n" + rows_text(hg_rows(), "\t", "D"),
    "commas with blanks": "1 , 2 , 3 , 4.5 , 0.9 , 0.85\n" + rows_text(hg_rows(), " , "),
    "blank lines and trailing text": "1 2 3 4.5 0.9 0.85\n\n"
    + "".join(f"{a} {v} comment\n\n" for a, v in hg_rows())
    + "this line is after row 498 and never read\n",
    "a row split over two lines": "1 2 3 4.5 0.9 0.85\n"
    + "".join(f"{a}\n{v}\n" for a, v in hg_rows()),
}


@pytest.mark.parametrize("text", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_free_form_layouts_give_the_same_table(tmp_path, text):
    path = tmp_path / "t.dat"
    path.write_text(text)
    table = read_phase_table(path)
    assert (table.ce, table.omega0, table.g) == (4.5, 0.9, 0.85)
    want = np.array(hg_rows())
    np.testing.assert_allclose(table.angle, want[:, 0], rtol=1e-12)
    np.testing.assert_allclose(table.value, want[:, 1], rtol=1e-12)
    assert not table.from_cosines


def test_cosines_are_converted_to_degrees(tmp_path):
    path = tmp_path / "t.dat"
    angle, value = write_hg_table(path, 0.7, cosines=True)
    table = read_phase_table(path)
    assert table.from_cosines
    # Eight decimals of a cosine near 1 pin the angle to about 1e-3 degrees.
    np.testing.assert_allclose(table.angle, angle, atol=2e-3)
    np.testing.assert_allclose(table.mu, np.cos(np.radians(angle)), atol=1e-8)


def test_example_table_in_cosines():
    table = read_phase_table(REPO_ROOT / "examples/tables/B07_DE_010.dat")
    assert table.from_cosines and table.angle.size == TABLE_ROWS
    assert table.angle[0] == pytest.approx(0.0) and table.angle[-1] == pytest.approx(180.0)


def _short_table(rows):
    return "1 2 3 4 5 6\n" + rows_text(hg_rows()[:rows])


BAD_TABLES = {
    "ends in the header": ("1 2 3\n4 5\n", "header numbers"),
    "ends before row 498": (_short_table(497), "before row 498"),
    "ends inside row 498": (_short_table(497) + "179.9\n", "before row 498"),
    "a word for a value": ("1 2 3 4 5 6\n0 1.0\n10 abc\n", "line 3: row 2: 'abc' is not a number"),
    "asterisks": ("1 2 3 4 5 6\n0 *****\n", "line 2: row 1: field '*****' is asterisks"),
    "an empty value between commas": ("1,,2 3 4 5 6\n", "line 1: the six header numbers: empty field"),
    "cosines with an angle inside": (
        "1 2 3 4 5 6\n" + rows_text([(1.0, 1.0)] + [(45.0, 1.0)] + [(-1.0, 1.0)] * 496),
        "row 2 holds 45.0"),
}


@pytest.mark.parametrize("text, cause", BAD_TABLES.values(), ids=BAD_TABLES.keys())
def test_unusable_table_names_file_and_cause(tmp_path, text, cause):
    path = tmp_path / "bad.dat"
    path.write_text(text)
    with pytest.raises(FormatError) as caught:
        read_phase_table(path)
    assert str(caught.value).startswith(f"file '{path}'")
    assert cause in str(caught.value)
