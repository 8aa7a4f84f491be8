"""CSV, array and data-frame readers: quoting, missing values, conversion errors that say where."""

from __future__ import annotations

import gzip
import io
import math

import pytest

from tarvo.stream import iter_arrays, iter_csv, iter_frame, parse_label


def write(tmp_path, text, name="data.csv"):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return path


def test_quoted_fields_names_and_multiline_text(tmp_path):
    path = write(
        tmp_path,
        '"width, cm",note,"label"\n'
        '"1.5","a note, with a comma",1\n'
        '2,"a note\nover two lines",0\n'
        '" 3.25 ",plain,"2"\n',
    )
    rows = list(iter_csv(path, "label", drop=["note"]))
    assert rows == [({"width, cm": 1.5}, 1), ({"width, cm": 2.0}, 0), ({"width, cm": 3.25}, 2)]
    assert all(type(y) is int for _, y in rows)


@pytest.mark.parametrize("token", ["", "?", "NA", "nan", "NaN", " NA "])
def test_missing_values_leave_the_feature_out(tmp_path, token):
    path = write(tmp_path, f"a,b,y\n1,{token},0\n{token},4,1\n")
    assert list(iter_csv(path, "y")) == [({"a": 1.0}, 0), ({"b": 4.0}, 1)]


def test_infinities_are_values_not_gaps(tmp_path):
    path = write(tmp_path, "a,b,y\ninf,-inf,1\n")
    assert list(iter_csv(path, "y")) == [({"a": math.inf, "b": -math.inf}, 1)]


def test_regression_target_converters_and_blank_lines(tmp_path):
    path = write(tmp_path, "t,a,kind\n0.5,1,x\n\n-2e3,2,yy\n")
    rows = list(iter_csv(path, "t", converters={"t": float, "kind": len}))
    assert rows == [({"a": 1.0, "kind": 1}, 0.5), ({"a": 2.0, "kind": 2}, -2000.0)]


def test_no_target_gives_none_and_other_delimiter(tmp_path):
    path = write(tmp_path, "a;b\n1;2\n")
    assert list(iter_csv(path, delimiter=";")) == [({"a": 1.0, "b": 2.0}, None)]


def test_gzip_file_bom_and_open_handle(tmp_path):
    path = tmp_path / "data.csv.gz"
    with gzip.open(path, "wt", encoding="utf-8") as fh:
        fh.write("\ufeffa,y\n1,1\n2,0\n")
    assert list(iter_csv(path, "y")) == [({"a": 1.0}, 1), ({"a": 2.0}, 0)]
    assert list(iter_csv(io.StringIO("a,y\n7,3\n"), "y")) == [({"a": 7.0}, 3)]


def test_header_without_rows_yields_nothing(tmp_path):
    assert list(iter_csv(write(tmp_path, "a,y\n"), "y")) == []


@pytest.mark.parametrize(
    ("text", "fragments"),
    [
        ("a,b,y\n" + "1,2,0\n" * 1000 + "1,x2,1\n", ["row 1001", "line 1002", "column 'b'", "'x2'",
                                                    "numbers in its first 1,000 rows"]),
        ("a,y\n1,0\n2,1.5\n", ["row 2", "column 'y'", "'1.5'"]),
        ("a,y\n1,0\n2,abc\n", ["row 2", "column 'y'", "'abc'", "the labels before it are numbers"]),
        ("a,y\n1,0\n2,4294967296\n", ["row 2", "column 'y'", "32-bit"]),  # after labels kept as they are
        ("a,y\n1,\n", ["row 1", "column 'y'", "missing target"]),
        ("a,y\n1,NA\n", ["row 1", "column 'y'", "missing target"]),
        ("a,y\n1,0\n1,0,5\n", ["row 2", "3 fields", "the header has 2"]),
        ('a,y,n\n1,0,"two\nlines"\n3,zz,0\n', ["row 2", "line 4", "column 'y'"]),
    ],
)
def test_bad_values_name_row_line_and_column(tmp_path, text, fragments):
    path = write(tmp_path, text)
    with pytest.raises(ValueError) as info:
        list(iter_csv(path, "y", converters={"n": str} if ",n" in text else None))
    message = str(info.value)
    assert str(path) in message
    for fragment in fragments:
        assert fragment in message


@pytest.mark.parametrize(
    ("kwargs", "fragment"),
    [
        ({"target": "label"}, "target column 'label'"),
        ({"target": "y", "drop": ["zz"]}, "dropped column 'zz'"),
        ({"target": "y", "converters": {"q": float}}, "converter column 'q'"),
    ],
)
def test_unknown_column_names_are_errors(tmp_path, kwargs, fragment):
    path = write(tmp_path, "a,y\n1,0\n")
    with pytest.raises(ValueError, match=fragment):
        list(iter_csv(path, **kwargs))


def test_duplicated_header_names_are_errors(tmp_path):
    with pytest.raises(ValueError, match="duplicated column names 'a'"):
        list(iter_csv(write(tmp_path, "a,a,y\n1,2,0\n"), "y"))


def test_converter_failure_is_wrapped_with_location(tmp_path):
    path = write(tmp_path, "a,y\n1,0\n2,0\n")
    with pytest.raises(ValueError, match=r"row 2 \(line 3\), column 'a'") as info:
        list(iter_csv(path, "y", converters={"a": lambda text: 1 / (int(text) - 2)}))
    assert isinstance(info.value.__cause__, ZeroDivisionError)


@pytest.mark.parametrize(
    ("text", "label"), [("3", 3), ("-1", -1), ("2.0", 2), (" 7 ", 7), ("2147483647", 2**31 - 1)]
)
def test_parse_label_accepts_integral_texts(text, label):
    assert parse_label(text) == label


@pytest.mark.parametrize("text", ["2.5", "inf", "nan", "x", "-2147483649"])
def test_parse_label_rejects_the_rest(text):
    with pytest.raises(ValueError):
        parse_label(text)


def test_iter_arrays_from_python_rows_with_gaps():
    rows = [[1.0, 2.0], [None, 3.0], [float("nan"), 4.0]]
    assert list(iter_arrays(rows, [0, 1, 0], ["a", "b"])) == [
        ({"a": 1.0, "b": 2.0}, 0),
        ({"b": 3.0}, 1),
        ({"b": 4.0}, 0),
    ]


def test_iter_arrays_from_numpy_gives_python_numbers():
    np = pytest.importorskip("numpy")
    X = np.arange(6000, dtype=np.float32).reshape(3000, 2)
    X[1500, 1] = np.nan
    y = np.arange(3000, dtype=np.int64) % 3
    rows = list(iter_arrays(X, y))
    assert len(rows) == 3000
    assert rows[0] == ({"x0": 0.0, "x1": 1.0}, 0)
    assert rows[1500] == ({"x0": 3000.0}, 0)
    assert rows[2999] == ({"x0": 5998.0, "x1": 5999.0}, 2)
    assert all(type(v) is float for x, _ in rows[:5] for v in x.values())
    assert type(rows[7][1]) is int


def test_iter_frame_reads_numeric_columns_in_chunks():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"a": [float(i) for i in range(2500)], "b": range(2500), "y": [i % 2 for i in range(2500)]})
    frame.loc[3, "a"] = float("nan")
    rows = list(iter_frame(frame, "y", drop=["b"]))
    assert len(rows) == 2500
    assert rows[2] == ({"a": 2.0}, 0)
    assert rows[3] == ({}, 1)
    assert rows[2499] == ({"a": 2499.0}, 1)
    with pytest.raises(ValueError, match="column 'c' is neither numbers nor text"):
        list(iter_frame(frame.assign(c=pd.Timestamp("2024-01-01")), "y"))


def test_nan_regression_target_is_missing(tmp_path):
    path = write(tmp_path, "a,t\n1,0.5\n2,nan\n")
    with pytest.raises(ValueError, match=r"row 2 \(line 3\), column 't': missing target"):
        list(iter_csv(path, "t", converters={"t": float}))
