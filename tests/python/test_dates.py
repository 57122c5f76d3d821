"""The datetime bridge and the six date helpers: every row of their failure tables, exact types and texts."""

import datetime as dt
import re
import time
import warnings
from datetime import timedelta, timezone

import pytest
from hypothesis import given, strategies as st

import kavno
from operands import Index
from kavno import date_to_str, ms_to_date, now_date, now_ms, str_to_date, truncate_to_day

UTC = timezone.utc
LEAP_WARNING = "ignored leap-second, `datetime` does not support leap-seconds"

# Every test here is leak-checked where it is written (conftest.py).
pytestmark = pytest.mark.leak_check


def utc(*fields):
    return dt.datetime(*fields, tzinfo=UTC)


def assert_exact_utc(value):
    assert type(value) is dt.datetime
    assert value.tzinfo is UTC
    assert value.fold == 0


def runtime_error(function, argument, message):
    with pytest.raises(RuntimeError) as info:
        function(argument)
    assert type(info.value) is RuntimeError
    assert info.value.args == (message,)


# --- the bridge: argument extraction -------------------------------------------------------------------------

class SubDateTime(dt.datetime):
    @property
    def year(self):  # the bridge reads stored fields, not attributes
        return 1


class NamedUtcEqual(dt.tzinfo):
    """Claims to equal UTC; its offset must never be consulted."""

    def __eq__(self, other):
        return True

    __hash__ = object.__hash__

    def utcoffset(self, d):
        raise AssertionError("offset consulted")


class EqualityRaises(dt.tzinfo):
    def __init__(self, error):
        self.error = error

    def __eq__(self, other):
        raise self.error

    __hash__ = object.__hash__


class FalsyResult:
    def __bool__(self):
        raise ZeroDivisionError("truth")


class TruthRaises(dt.tzinfo):
    def __eq__(self, other):
        return FalsyResult()

    __hash__ = object.__hash__


@pytest.mark.parametrize("function, param", [(truncate_to_day, "date"), (date_to_str, "d")])
class TestDatetimeArguments:
    def test_wrong_types(self, function, param):
        for value, name in ((dt.date(2024, 1, 1), "date"), ("2024-01-01", "str"), (None, "NoneType"), (1, "int")):
            with pytest.raises(TypeError) as info:
                function(value)
            assert str(info.value) == f"argument '{param}': '{name}' object cannot be converted to 'PyDateTime'"
            assert info.value.__suppress_context__ is True

    def test_naive_datetime(self, function, param):
        with pytest.raises(TypeError) as info:
            function(dt.datetime(2024, 1, 1))
        assert str(info.value) == f"argument '{param}': expected a datetime with non-None tzinfo"

    @pytest.mark.parametrize("tz", [timezone(timedelta(hours=8)), timezone(timedelta(hours=-1), "UTC"),
                                    timezone(timedelta(microseconds=1))])
    def test_other_zones_are_refused_unprefixed(self, function, param, tz):
        with pytest.raises(ValueError) as info:
            function(dt.datetime(2024, 1, 1, tzinfo=tz))
        assert type(info.value) is ValueError
        assert info.value.args == ("expected datetime.timezone.utc",)

    @pytest.mark.parametrize("tz", [UTC, timezone(timedelta(0)), timezone(timedelta(0), "Zulu"), NamedUtcEqual()])
    def test_zones_equal_to_utc_are_accepted(self, function, param, tz):
        value = dt.datetime(2024, 5, 17, 13, 45, 12, 999999, tzinfo=tz)
        expected = {truncate_to_day: utc(2024, 5, 17), date_to_str: "2024-05-17T13:45:12.999999+00:00"}[function]
        assert function(value) == expected

    def test_equality_errors(self, function, param):
        with pytest.raises(RuntimeError, match="^eq broke$"):
            function(dt.datetime(2024, 1, 1, tzinfo=EqualityRaises(RuntimeError("eq broke"))))
        with pytest.raises(TypeError) as info:
            function(dt.datetime(2024, 1, 1, tzinfo=EqualityRaises(TypeError("eq type"))))
        assert str(info.value) == f"argument '{param}': eq type"
        with pytest.raises(ZeroDivisionError):
            function(dt.datetime(2024, 1, 1, tzinfo=TruthRaises()))

    def test_subclass_is_read_through_stored_fields_and_fold_is_ignored(self, function, param):
        value = SubDateTime(2024, 5, 17, 13, 45, 12, tzinfo=UTC)
        assert function(value) == function(utc(2024, 5, 17, 13, 45, 12))
        assert function(value.replace(fold=1)) == function(value)


# --- the bridge: result conversion, seen through the helpers ---------------------------------------------------

def test_leap_second_warns_and_drops_a_second():
    with pytest.warns(UserWarning) as caught:
        value = str_to_date("2016-12-31T23:59:60.5Z")
    assert value == utc(2016, 12, 31, 23, 59, 59, 500000)
    assert [str(w.message) for w in caught] == [LEAP_WARNING]


def test_leap_second_warning_as_error_goes_to_the_unraisable_hook():
    seen = []
    with pytest.MonkeyPatch.context() as patch, warnings.catch_warnings():
        # Not the hook's argument itself: its traceback would keep this frame, and a cycle through it, alive.
        patch.setattr("sys.unraisablehook", lambda u: seen.append((type(u.exc_value), str(u.exc_value), u.object)))
        warnings.simplefilter("error")
        value = str_to_date("2016-12-31T23:59:60Z")
    assert value == utc(2016, 12, 31, 23, 59, 59)
    assert seen == [(UserWarning, LEAP_WARNING, value)]


def test_results_are_new_exact_utc_datetimes():
    first, second = str_to_date("2024-03-15T10:30:00Z"), str_to_date("2024-03-15T10:30:00Z")
    assert first == second and first is not second
    for value in (first, truncate_to_day(first), ms_to_date(0), now_date()):
        assert_exact_utc(value)


# --- str_to_date ------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("text, expected", [
    ("2024-03-15T10:30:00+08:00", utc(2024, 3, 15, 2, 30)),
    ("2024-03-15 10:30:00Z", utc(2024, 3, 15, 10, 30)),
    ("2024-03-15t10:30:00z", utc(2024, 3, 15, 10, 30)),
    ("2024-03-15T10:30:00-00:00", utc(2024, 3, 15, 10, 30)),
    ("2024-03-15T10:30:00\u221205:00", utc(2024, 3, 15, 15, 30)),
    ("2024-03-15T10:30:00.1234567891Z", utc(2024, 3, 15, 10, 30, 0, 123456)),
    ("2024-03-15T10:30:00.5Z", utc(2024, 3, 15, 10, 30, 0, 500000)),
    ("2024-03-15T10:30:00.0000009Z", utc(2024, 3, 15, 10, 30)),
    ("2024-03-15T00:30:00+01:00", utc(2024, 3, 14, 23, 30)),
    ("2024-02-29T00:00:00Z", utc(2024, 2, 29)),
    ("2000-02-29T00:00:00Z", utc(2000, 2, 29)),
    ("0001-01-01T00:00:00Z", utc(1, 1, 1)),
    ("9999-12-31T23:59:59.999999Z", utc(9999, 12, 31, 23, 59, 59, 999999)),
])
def test_str_to_date_readings(text, expected):
    value = str_to_date(text)
    assert value == expected
    assert_exact_utc(value)


@pytest.mark.parametrize("message, texts", [
    ("premature end of input", ["", "2024-03-15", "2024-03-15T10:30:00", "2024-03-15T10:30:00.",
                                "2024-03-15T10:30:00+08", "2024-03-15T10:30:00+08:0"]),
    ("input contains invalid characters", ["2024-03-15T10:30Z", "2024/03/15T10:30:00Z", "2024-03-15T10:30:00+0800",
                                           "2024-03-15T10:30:00.Z", " 2024-03-15T10:30:00Z", "2024-02-30Tgarbage",
                                           "２０２４-03-15T10:30:00Z", "2024-03-15T10:30:00\u201305:00"]),
    ("trailing input", ["2024-03-15T10:30:00Z ", "2024-03-15T10:30:00+08:00:00", "2024-03-15T10:30:00Z\x00"]),
    ("input is out of range", ["2024-13-01T00:00:00Z", "2024-03-15T24:00:00Z", "2023-02-29T00:00:00Z",
                               "2024-03-15T10:30:00+24:00", "2024-03-15T10:30:00+08:60", "2024-13-xx",
                               "2016-12-31T23:59:61Z", "1900-02-29T00:00:00Z", "2024-04-31T00:00:00Z"]),
])
def test_str_to_date_refusals(message, texts):
    for text in texts:
        runtime_error(str_to_date, text, message)


@pytest.mark.parametrize("text", ["0000-01-01T00:00:00Z", "0001-01-01T00:00:00+00:01", "9999-12-31T23:59:59-00:01"])
def test_str_to_date_outside_the_datetime_years_raises_the_interpreters_value_error(text):
    with pytest.raises(ValueError) as info:
        str_to_date(text)
    assert type(info.value) is ValueError


class Text(str):
    pass


def test_str_to_date_arguments():
    assert str_to_date(Text("2024-03-15T10:30:00Z")) == utc(2024, 3, 15, 10, 30)
    with pytest.raises(TypeError) as info:
        str_to_date(b"2024-03-15T10:30:00Z")
    assert str(info.value) == "argument 's': 'bytes' object cannot be converted to 'PyString'"
    with pytest.raises(UnicodeEncodeError) as info:
        str_to_date("2024-03-15T10:30:00\udc80")
    assert not str(info.value).startswith("argument")


@pytest.mark.leak_check(False)  # a megabyte a run: too slow to repeat
def test_str_to_date_of_a_megabyte_of_fraction_digits():
    assert str_to_date("2024-03-15T10:30:00." + "9" * 1_000_000 + "Z") == utc(2024, 3, 15, 10, 30, 0, 999999)
    runtime_error(str_to_date, "2024-03-15T10:30:00Z" + "x" * 1_000_000, "trailing input")


# --- date_to_str ------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("value, text", [
    (utc(2024, 1, 2, 3, 4, 5), "2024-01-02T03:04:05+00:00"),
    (utc(2024, 1, 2, 3, 4, 5, 120000), "2024-01-02T03:04:05.120+00:00"),
    (utc(2024, 1, 2, 3, 4, 5, 123456), "2024-01-02T03:04:05.123456+00:00"),
    (utc(2024, 1, 2, 3, 4, 5, 1), "2024-01-02T03:04:05.000001+00:00"),
    (utc(5, 1, 2, 3, 4, 5), "0005-01-02T03:04:05+00:00"),
    (utc(9999, 12, 31, 23, 59, 59, 999999), "9999-12-31T23:59:59.999999+00:00"),
])
def test_date_to_str(value, text):
    assert date_to_str(value) == text
    assert type(date_to_str(value)) is str


def test_date_to_str_of_a_parsed_text():
    assert date_to_str(str_to_date("2024-03-15T10:30:00.250+08:00")) == "2024-03-15T02:30:00.250+00:00"


# --- truncate_to_day --------------------------------------------------------------------------------------------

@pytest.mark.parametrize("value, expected", [
    (utc(2024, 5, 17, 13, 45, 12, 345678), utc(2024, 5, 17)),
    (utc(1969, 12, 31, 23, 59, 59, 999999), utc(1969, 12, 31)),
    (utc(1970, 1, 1), utc(1970, 1, 1)),
    (utc(1677, 9, 21, 0, 12, 43, 145225), utc(1677, 9, 21)),
    (utc(1677, 9, 21, 5), utc(1677, 9, 21)),
    (utc(2262, 4, 11, 23, 47, 16, 854775), utc(2262, 4, 11)),
])
def test_truncate_to_day(value, expected):
    result = truncate_to_day(value)
    assert result == expected
    assert_exact_utc(result)
    assert result is not value


@pytest.mark.parametrize("value", [utc(1677, 9, 21, 0, 12, 43, 145224), utc(1, 1, 1), utc(2262, 4, 11, 23, 47, 16, 854776),
                                   utc(9999, 12, 31)])
def test_truncate_to_day_outside_the_nanosecond_timestamps(value):
    runtime_error(truncate_to_day, value, "timestamp exceeds num_nanoseconds limit")


# --- ms_to_date -------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("ts, expected", [
    (0, utc(1970, 1, 1)),
    (-1, utc(1969, 12, 31, 23, 59, 59, 999000)),
    (1700000000123, utc(2023, 11, 14, 22, 13, 20, 123000)),
    (True, utc(1970, 1, 1, 0, 0, 0, 1000)),
    (Index(1000), utc(1970, 1, 1, 0, 0, 1)),
    (253402300799999, utc(9999, 12, 31, 23, 59, 59, 999000)),
    (-62135596800000, utc(1, 1, 1)),
])
def test_ms_to_date(ts, expected):
    value = ms_to_date(ts)
    assert value == expected
    assert_exact_utc(value)


@pytest.mark.parametrize("ts", [253402300800000, -62135596800001, 8210266876799999, -8334601228800000])
def test_ms_to_date_outside_the_datetime_years(ts):
    with pytest.raises(ValueError) as info:
        ms_to_date(ts)
    assert type(info.value) is ValueError


@pytest.mark.parametrize("ts", [8210266876800000, -8334601228800001, 2**63 - 1, -(2**63)])
def test_ms_to_date_outside_the_supported_years(ts):
    runtime_error(ms_to_date, ts, "时间戳转换失败")


def test_ms_to_date_argument_errors():
    for value in (2**63, -(2**63) - 1):
        with pytest.raises(OverflowError) as info:
            ms_to_date(value)
        assert not str(info.value).startswith("argument")
    for value in (1.5, "1", None):
        with pytest.raises(TypeError) as info:
            ms_to_date(value)
        assert str(info.value).startswith("argument 'ts': ")


# --- the clock --------------------------------------------------------------------------------------------------

def test_now_ms_and_now_date_read_the_real_time_clock():
    before = time.time_ns() // 1_000_000
    ms = now_ms()
    date = now_date()
    after = time.time_ns() // 1_000_000
    assert type(ms) is int and before <= ms <= after
    assert_exact_utc(date)
    assert before <= date.timestamp() * 1000 // 1 <= after + 1


# --- properties -------------------------------------------------------------------------------------------------

aware = st.datetimes(timezones=st.just(UTC))


@given(aware)
def test_date_to_str_round_trips(value):
    assert str_to_date(date_to_str(value)) == value


offsets = st.integers(min_value=-(23 * 60 + 59), max_value=23 * 60 + 59)


@st.composite
def rfc3339_texts(draw):
    local = draw(st.datetimes(min_value=dt.datetime(1, 1, 2), max_value=dt.datetime(9999, 12, 30)))
    fraction = draw(st.text("0123456789", min_size=0, max_size=12))
    minutes = draw(offsets)
    separator = draw(st.sampled_from("Tt "))
    if minutes == 0 and draw(st.booleans()):
        zone = draw(st.sampled_from(["Z", "z", "+00:00", "-00:00"]))
    else:
        sign = "-" if minutes < 0 else "+"
        if sign == "-" and draw(st.booleans()):
            sign = "\u2212"
        zone = f"{sign}{abs(minutes) // 60:02d}:{abs(minutes) % 60:02d}"
    text = (f"{local.year:04d}-{local.month:02d}-{local.day:02d}{separator}"
            f"{local.hour:02d}:{local.minute:02d}:{local.second:02d}")
    if fraction:
        text += "." + fraction
    micro = int((fraction + "000000")[:6]) if fraction else 0
    expected = (local.replace(microsecond=micro) - timedelta(minutes=minutes)).replace(tzinfo=UTC)
    return text + zone, expected


@given(rfc3339_texts())
def test_generated_texts_match_an_independent_reading(case):
    text, expected = case
    assert str_to_date(text) == expected


@given(rfc3339_texts(), st.integers(min_value=0, max_value=40), st.sampled_from(["drop", "change", "append"]),
       st.characters())
def test_mutated_texts_fail_only_as_documented(case, position, how, char):
    text = case[0]
    position = min(position, len(text))
    if how == "drop":
        text = text[:position] + text[position + 1:]
    elif how == "change":
        text = text[:position] + char + text[position + 1:]
    else:
        text = text + char
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # a mutation may make a leap second
            value = str_to_date(text)
    except RuntimeError as error:
        assert str(error) in {"input is out of range", "input contains invalid characters",
                              "premature end of input", "trailing input"}
    except UnicodeEncodeError as error:  # a lone surrogate: no UTF-8 text at all
        assert error.reason == "surrogates not allowed" and "\ud800" <= text[error.start] <= "\udfff"
    except ValueError as error:  # a valid text whose instant, in UTC, falls outside datetime's years
        assert re.fullmatch(r"year (0|10000) is out of range", str(error)), error
    else:
        assert_exact_utc(value)


EPOCH = dt.datetime(1970, 1, 1, tzinfo=UTC)
FIRST_NS = utc(1677, 9, 21, 0, 12, 43, 145225)
LAST_NS = utc(2262, 4, 11, 23, 47, 16, 854775)


@given(st.one_of(aware, st.datetimes(min_value=dt.datetime(1677, 9, 20), max_value=dt.datetime(1677, 9, 22),
                                     timezones=st.just(UTC)),
                 st.datetimes(min_value=dt.datetime(2262, 4, 10), max_value=dt.datetime(2262, 4, 12),
                              timezones=st.just(UTC))))
def test_truncate_to_day_is_midnight_inside_the_nanosecond_span_and_refused_outside(value):
    if FIRST_NS <= value <= LAST_NS:
        assert truncate_to_day(value) == value.replace(hour=0, minute=0, second=0, microsecond=0)
    else:
        runtime_error(truncate_to_day, value, "timestamp exceeds num_nanoseconds limit")


@given(st.integers(min_value=-62135596800000, max_value=253402300799999))
def test_ms_to_date_matches_timedelta_arithmetic(ts):
    assert ms_to_date(ts) == EPOCH + timedelta(milliseconds=ts)
