"""Cumulative adjustment factors and the slicing of rows by dominant period."""
import collections.abc
import warnings

import pandas as pd
import pytest
from hypothesis import given, strategies as st

import velora.tavlo.datac.services.future as future

internal_get_ex_factor = getattr(future, "__internal_get_ex_factor")

# One roll per row: product, ex-date and its factor for each method.  The open_*
# columns differ from the prev_close_* ones, so a wrong column shows.
ROLLS = [
    ("A", "2021-01-04", 1, 10, 2.0, 3.0),
    ("A", "2021-02-01", -2, 20, 0.5, 3.0),
    ("A", "2021-03-01", 3, 30, 4.0, 3.0),
    ("B", "2021-01-11", 5, 1, 1.5, 0.5),
    ("B", "2021-02-08", 6, 1, 2.0, 0.5),
    ("C", "2021-01-18", 7, 7, 8.0, 8.0),
]


def factors_table():
    index = pd.MultiIndex.from_tuples([(r[0], pd.Timestamp(r[1])) for r in ROLLS],
                                      names=["underlying_symbol", "ex_date"])
    columns = ["prev_close_spread", "open_spread", "prev_close_ratio", "open_ratio"]
    return pd.DataFrame([r[2:] for r in ROLLS], index=index, columns=columns)


@pytest.fixture
def served(monkeypatch):
    calls = []

    def _get_future_factors_df(*args, **kwargs):
        calls.append((args, kwargs))
        return factors_table()

    monkeypatch.setattr(future, "_get_future_factors_df", _get_future_factors_df)
    return calls


@pytest.mark.parametrize("method, adjust_type, a, b", [
    ("prev_close_ratio", "pre", [0.5, 0.25, 1.0], [0.5, 1.0]),
    ("prev_close_ratio", "post", [2.0, 1.0, 4.0], [1.5, 3.0]),
    ("open_ratio", "pre", [1 / 9, 1 / 3, 1.0], [2.0, 1.0]),
    ("open_ratio", None, [3.0, 9.0, 27.0], [0.5, 0.25]),
    ("prev_close_spread", "pre", [-1, -3, 0], [-6, 0]),
    ("prev_close_spread", "post", [1, -1, 2], [5, 11]),
    ("open_spread", "pre", [-50, -30, 0], [-1, 0]),
    ("open_spread", "none", [10, 30, 60], [1, 2]),
])
def test_cumulative_factors_per_product(served, method, adjust_type, a, b):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = internal_get_ex_factor(["A", "B"], adjust_type, method, 2)
    assert caught == []
    assert served == [((2,), {})]
    assert isinstance(result, pd.Series) and result.name == "ex_cum_factor"
    assert list(result.index.names) == ["underlying_symbol", "ex_date"]
    assert list(result.index) == [(r[0], pd.Timestamp(r[1])) for r in ROLLS[:5]]
    assert result.tolist() == pytest.approx(a + b)


@pytest.mark.parametrize("method, expected", [("prev_close_ratio", 1.0), ("open_spread", 0)])
def test_single_roll_is_normalised_to_neutral(served, method, expected):
    result = internal_get_ex_factor(["C"], "pre", method)
    assert result.tolist() == [expected]
    assert served == [((0,), {})]


def test_unserved_factors_table_fails_on_loc():
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'loc'"):
        internal_get_ex_factor(["A"], "pre", "open_ratio")


@pytest.mark.parametrize("symbols, method", [
    (["Z"], "open_ratio"),          # unknown product
    (["A"], "close_ratio"),         # unknown method
    ("A", "open_ratio"),            # a plain string drops the product level
])
def test_unknown_keys_raise_key_error(served, symbols, method):
    with pytest.raises(KeyError):
        internal_get_ex_factor(symbols, "pre", method)


def test_non_string_method_fails_at_endswith(monkeypatch):
    table = factors_table().rename(columns={"open_ratio": 7})
    monkeypatch.setattr(future, "_get_future_factors_df", lambda rule: table)
    with pytest.raises(AttributeError, match="'int' object has no attribute 'endswith'"):
        internal_get_ex_factor(["A"], "pre", 7)


def test_steps_in_order_with_the_inner_function(monkeypatch):
    log = []

    class Grouped:
        def apply(self, func):
            log.append(("apply", func.__qualname__, func.__module__))
            return {"ex_cum_factor": "cumulative"}

    class Frame:
        def groupby(self, *args, **kwargs):
            log.append(("groupby", args, kwargs))
            return Grouped()

    class Column:
        def __setattr__(self, name, value):
            log.append(("setattr", name, value))

        def reset_index(self, *args, **kwargs):
            log.append(("reset_index", args, kwargs))
            return Frame()

    class Selected:
        def __getitem__(self, key):
            log.append(("column", key))
            return Column()

    class Loc:
        def __getitem__(self, key):
            log.append(("loc", key))
            return Selected()

    class Table:
        loc = Loc()

    monkeypatch.setattr(future, "_get_future_factors_df", lambda *a, **k: log.append(("table", a, k)) or Table())
    assert internal_get_ex_factor(["A"], "pre", "open_ratio", 3) == "cumulative"
    assert log == [
        ("table", (3,), {}),
        ("loc", ["A"]),
        ("column", "open_ratio"),
        ("setattr", "name", "ex_factor"),
        ("reset_index", (), {}),
        ("groupby", ("underlying_symbol",), {"as_index": True}),
        ("apply", "__internal_get_ex_factor.<locals>._process", "velora.tavlo.datac.services.future"),
    ]


# --- slicing by dominant period -----------------------------------------------------

def reference(data):
    s = None
    uids = set()
    for i, (obid, _) in enumerate(data):
        if obid in uids:
            uids.clear()
            yield slice(s, i)
            s = i
        uids.add(obid)
    yield slice(s, None)


@pytest.mark.parametrize("data, expected", [
    ([], [slice(None, None)]),
    ([("A", 1), ("B", 1), ("A", 2), ("B", 2), ("A", 3)], [slice(None, 2), slice(2, 4), slice(4, None)]),
    ([("A", 1), ("A", 2)], [slice(None, 1), slice(1, None)]),
    ([("A", 1), ("B", 2), ("C", 3)], [slice(None, None)]),
    (iter([["A", 1], ("B", 2), "AC", ("A", 0)]), [slice(None, 2), slice(2, 3), slice(3, None)]),
])
def test_slices(data, expected):
    assert list(future._slice_dominant_data(data)) == expected


@given(st.lists(st.tuples(st.sampled_from("ABCD"), st.integers())))
def test_slices_match_the_python_generator(pairs):
    assert list(future._slice_dominant_data(pairs)) == list(reference(pairs))


@pytest.mark.parametrize("codes, days", [(300, 4), (17, 40), (1, 50)])
def test_long_and_many_slices_match_the_python_generator(codes, days):
    # Slices longer than any table the codes are kept in at first, and slices
    # that end where the last one ended, with str and int codes mixed.
    pairs = [(("C%d" % k) if k % 3 else k, day) for day in range(days) for k in range(codes)]
    pairs += [("C1", 0), (1, 0), (2, 0), ("C1", 0)]
    assert list(future._slice_dominant_data(pairs)) == list(reference(pairs))


class Key:
    """A contract code whose hashing and comparing are counted."""

    calls = []

    def __init__(self, code):
        self.code = code

    def __hash__(self):
        Key.calls.append(("hash", self.code))
        return hash(self.code)

    def __eq__(self, other):
        Key.calls.append(("eq", self.code))
        return isinstance(other, Key) and other.code == self.code


@given(st.lists(st.tuples(st.one_of(st.sampled_from("AB"), st.integers(0, 2), st.builds(Key, st.sampled_from("AB"))),
                          st.none())))
def test_mixed_keys_are_hashed_and_compared_as_python_does(pairs):
    Key.calls = []
    expected = list(reference(pairs))
    expected_calls, Key.calls = Key.calls, []
    assert list(future._slice_dominant_data(pairs)) == expected
    assert Key.calls == expected_calls


class Rows:
    """An iterable that records how far it has been read."""

    def __init__(self, rows):
        self.rows, self.log = rows, []

    def __iter__(self):
        self.log.append("iter")
        for row in self.rows:
            self.log.append(row[0])
            yield row


def test_generator_is_lazy():
    rows = Rows([("A", 1), ("B", 1), ("A", 2), ("C", 1)])
    gen = future._slice_dominant_data(rows)
    assert isinstance(gen, collections.abc.Generator) and gen.__qualname__ == "_slice_dominant_data"
    assert rows.log == []
    assert next(gen) == slice(None, 2)
    assert rows.log == ["iter", "A", "B", "A"]
    assert gen.send("ignored") == slice(2, None)
    assert rows.log == ["iter", "A", "B", "A", "C"]
    with pytest.raises(StopIteration):
        next(gen)


def test_data_is_not_iterated_before_the_first_step():
    gen = future._slice_dominant_data(5)
    with pytest.raises(TypeError, match="'int' object is not iterable"):
        next(gen)


class Opaque:
    pass


@pytest.mark.parametrize("bad", [5, Opaque(), ("A",), ("A", 1, 2), [], "ABC", range(1), range(3), (["A"], 1), ({}, 1)])
def test_bad_elements_fail_as_unpacking_does(bad):
    data = [("A", 1), ("B", 2), ("A", 3), bad, ("C", 1)]
    native, python = future._slice_dominant_data(data), reference(data)
    assert next(native) == next(python) == slice(None, 2)
    with pytest.raises(Exception) as expected:
        next(python)
    with pytest.raises(expected.type) as got:
        next(native)
    assert str(got.value) == str(expected.value)
    with pytest.raises(StopIteration):  # finished after the error
        next(native)
