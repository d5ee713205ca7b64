"""Phase-function tables: the free-form layouts the tool accepts, the cosine
rule, and the diagnostics for tables it cannot use."""

import numpy as np
import pytest

from conftest import REPO_ROOT, requires_tool, run_bands, table_angles, write_hg_table
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
    # Every number is the single-precision value the tool reads.
    single = np.float32
    assert (table.ce, table.omega0, table.g) == (4.5, single(0.9), single(0.85))
    want = np.array(hg_rows())
    np.testing.assert_array_equal(table.angle, want[:, 0].astype(single))
    np.testing.assert_array_equal(table.value, want[:, 1].astype(single))
    assert not table.from_cosines


def test_cosines_are_converted_to_degrees(tmp_path):
    path = tmp_path / "t.dat"
    angle, value = write_hg_table(path, 0.7, cosines=True)
    table = read_phase_table(path)
    assert table.from_cosines
    # Eight decimals of a cosine near 1 pin the angle to about 1e-3 degrees.
    np.testing.assert_allclose(table.angle, angle, atol=2e-3)
    np.testing.assert_allclose(table.mu, np.cos(np.radians(angle)), atol=6e-8)


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


def _free_form_cases():
    """Tables in the free-form corner cases, the fuzz seeds of the table
    reader, and the number and statement seeds of the free-form reader
    placed in a table's header."""
    base = (REPO_ROOT / "examples/tables/WVN_0p55_DE_010.dat").read_bytes()
    head, rows = base.split(b"\n")[:2], base.split(b"\n")[2:500]
    a, v = rows[5].split()

    def table(header=head, body=rows, tail=b""):
        return b"\n".join(header + body) + b"\n" + tail

    def row(text):
        return table(body=rows[:5] + [text] + rows[6:])

    cosines = (REPO_ROOT / "fuzz/corpus/fuzz_table/cosines").read_bytes().split(b"\n")
    cases = {
        "slash after the header": table([head[0], head[1] + b" /"]),
        "slash after a row": row(a + b" " + v + b"/"),
        "slash before the value": row(a + b" / " + v),
        "repeat counts": table([b"3*0 2.1 2*0.99"], [b"2*0.0"] + rows[1:]),
        "zero repeat count": table([b"0*1 0 0 2.1 0.99 0.85"]),
        "repeat count without a value": table([b"3* 0 2.1 0.99 0.85"]),
        "bytes outside ASCII after the numbers": table(
            body=[r + b" \xb5m \xc3\xa9" for r in rows], tail=b"\xff\xfe\n"),
        "a byte outside ASCII in a value": row(a + b" " + v + b"\xb5"),
        "a form feed is no blank": row(b"\f" + a + b" " + v),
        "carriage returns": base.replace(b"\n", b"\r\n"),
        "a null value": row(a + b",," + v),
        "a comma continuing a row": table(body=rows[:5] + [a + b",", v] + rows[6:]),
        "a signed exponent without its letter": row(a + b" 2.05+2"),
        "a quoted value": row(a + b" '" + v + b"'"),
        "beyond single precision": table([b"1e39 0 0 2.1 0.99 0.85"]),
        "below single precision": table([b"1e-46 0 0 2.1 0.99 0.85"]),
        "a cosine that single precision makes 1": b"\n".join(
            cosines[:2] + [b"1.00000001 " + cosines[2].split()[1]] + cosines[3:]),
    }
    for seed in sorted((REPO_ROOT / "fuzz/corpus/fuzz_table").iterdir()):
        cases[f"fuzz_table/{seed.name}"] = seed.read_bytes()
    alphabet = b"0123456789+-.eEdD0000011111999995"
    for seed in sorted((REPO_ROOT / "fuzz/corpus/fuzz_free_form").iterdir()):
        data = seed.read_bytes()
        if data[0] % 3 == 0:  # a statement program, then the text it reads
            cases[f"fuzz_free_form/{seed.name}"] = table([data[3 + data[1] % 16:]])
        elif data[0] % 3 == 1:  # one number, spelt in the alphabet
            number = bytes(alphabet[b % len(alphabet)] for b in data[2:])
            cases[f"fuzz_free_form/{seed.name}"] = table([b"1 2 3 " + number + b" 0.9 0.85"])
    return cases


@requires_tool
def test_the_tool_and_the_reader_agree_on_free_form_input(tmp_path):
    # Each case is run through the tool as it is, and, where the reader
    # takes it, as the reader's values written back in full precision: the
    # two coefficient files are then the same bytes only if both read the
    # same single-precision numbers.
    cases = _free_form_cases()
    tables, outcome = {}, {}
    for k, (name, data) in enumerate(cases.items()):
        (tmp_path / "given.dat").write_bytes(data)
        try:
            table = read_phase_table(tmp_path / "given.dat")
        except FormatError as err:
            outcome[name] = str(err)
        else:
            column = np.float32(table.mu) if table.from_cosines else table.angle
            tables[f"r{k:02d}"] = ("".join(f"{x:.9g} " for x in table.header) + "\n" + "".join(
                f"{x:.9g} {y:.9g}\n" for x, y in zip(column, table.value))).encode()
            outcome[name] = None
        tables[f"t{k:02d}"] = data
    report = run_bands(tmp_path, tables, 8)
    for k, (name, refused) in enumerate(outcome.items()):
        status = report[f"t{k:02d}_DE_000.dat"]["status"]
        assert (status == "ok") == (refused is None), (name, status, refused)
        if refused is None:
            given, read_back = (tmp_path / f"out/{p}{k:02d}_DE_000.dat" for p in "tr")
            assert given.read_bytes() == read_back.read_bytes(), name
