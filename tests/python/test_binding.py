"""Argument collection and the argument-error rule, the same for every function with arguments."""

import datetime as dt

import pytest

import kavno
from operands import Cause, RaisesTypeErrorWithCause

UTC = dt.timezone.utc
NOW = dt.datetime(2024, 5, 17, 13, 45, 12, tzinfo=UTC)

# Every test here is leak-checked where it is written (conftest.py).
pytestmark = pytest.mark.leak_check

# name, parameters, one valid value per parameter
WITH_ARGUMENTS = [
    ("safe_float", ("value", "decimals"), (1.25, 1)),
    ("truncate_to_day", ("date",), (NOW,)),
    ("str_to_date", ("s",), ("2024-03-15T10:30:00Z",)),
    ("date_to_str", ("d",), (NOW,)),
    ("ms_to_date", ("ts",), (0,)),
]


def call_error(function, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)
    error = info.value
    assert error.args == (str(error),)  # the module's exceptions carry exactly their message
    return str(error)


@pytest.mark.parametrize("name, params, values", WITH_ARGUMENTS)
def test_positional_keyword_and_mixed_calls_agree(name, params, values):
    function = getattr(kavno, name)
    expected = function(*values)
    assert function(**dict(zip(params, values))) == expected
    assert function(**dict(reversed(list(zip(params, values))))) == expected
    assert function(*values[:1], **dict(zip(params[1:], values[1:]))) == expected


@pytest.mark.parametrize("name, params, values", WITH_ARGUMENTS)
def test_too_many_positional_arguments(name, params, values):
    count = len(params)
    message = call_error(getattr(kavno, name), *values, 0)
    assert message == f"{name}() takes {count} positional arguments but {count + 1} were given"


def test_too_many_says_were_and_keeps_the_plural_for_one_parameter():
    # Too many means at least two given (a function of no parameters takes none through the binder): always "were";
    # and "1 positional arguments", as the module has always said it.
    assert call_error(kavno.safe_float, 1.0, 2, 3) == "safe_float() takes 2 positional arguments but 3 were given"
    assert call_error(kavno.ms_to_date, 1, 2) == "ms_to_date() takes 1 positional arguments but 2 were given"


@pytest.mark.parametrize("name, params, values", WITH_ARGUMENTS)
def test_missing_arguments_are_listed_in_parameter_order(name, params, values):
    function = getattr(kavno, name)
    if len(params) == 1:
        assert call_error(function) == f"{name}() missing 1 required positional argument: '{params[0]}'"
    else:
        assert call_error(function) == (
            f"{name}() missing 2 required positional arguments: '{params[0]}' and '{params[1]}'")
        assert call_error(function, values[0]) == (
            f"{name}() missing 1 required positional argument: '{params[1]}'")
        assert call_error(function, **{params[1]: values[1]}) == (
            f"{name}() missing 1 required positional argument: '{params[0]}'")


@pytest.mark.parametrize("name, params, values", WITH_ARGUMENTS)
def test_unexpected_keyword_is_reported_before_missing_arguments(name, params, values):
    assert call_error(getattr(kavno, name), x=1) == f"{name}() got an unexpected keyword argument 'x'"


@pytest.mark.parametrize("name, params, values", WITH_ARGUMENTS)
def test_repeated_argument(name, params, values):
    message = call_error(getattr(kavno, name), *values, **{params[0]: values[0]})
    assert message == f"{name}() got multiple values for argument '{params[0]}'"


def test_order_of_checks():
    # positional count before keywords, and the first offending keyword decides
    assert call_error(kavno.safe_float, 1.0, 2, 3, x=1) == "safe_float() takes 2 positional arguments but 3 were given"
    assert call_error(kavno.safe_float, 1.0, value=2.0, x=1) == "safe_float() got multiple values for argument 'value'"
    assert call_error(kavno.safe_float, 1.0, x=1, value=2.0) == "safe_float() got an unexpected keyword argument 'x'"
    assert call_error(kavno.safe_float, 1.0, 2, value=2.0) == "safe_float() got multiple values for argument 'value'"


def test_keyword_names_are_matched_exactly():
    assert call_error(kavno.str_to_date, S="x") == "str_to_date() got an unexpected keyword argument 'S'"
    # a keyword that cannot be encoded names no parameter; its text is rendered with replacements
    message = call_error(kavno.str_to_date, **{"s\udc80": "x"})
    assert message == "str_to_date() got an unexpected keyword argument 's\ufffd\ufffd\ufffd'"  # one per byte


def test_type_error_of_a_conversion_gains_the_prefix_and_suppresses_context():
    with pytest.raises(TypeError) as info:
        kavno.str_to_date(5)
    assert str(info.value) == "argument 's': 'int' object cannot be converted to 'PyString'"
    assert info.value.__cause__ is None
    assert info.value.__suppress_context__ is True


class RaisesTypeErrorSubclass:
    class Special(TypeError):
        pass

    def __float__(self):
        raise self.Special("special")


def test_prefixed_error_keeps_the_cause_of_the_original():
    with pytest.raises(TypeError) as info:
        kavno.safe_float(RaisesTypeErrorWithCause(), 2)
    assert str(info.value) == "argument 'value': outer"
    assert type(info.value.__cause__) is Cause and str(info.value.__cause__) == "inner"
    assert info.value.__suppress_context__ is True


def test_other_exception_types_pass_unchanged():
    with pytest.raises(RaisesTypeErrorSubclass.Special) as info:
        kavno.safe_float(RaisesTypeErrorSubclass(), 2)
    assert str(info.value) == "special"


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


class RaisesUnprintable:
    def __float__(self):
        raise TypeError(Unprintable())  # str() of this TypeError raises


def test_an_unprintable_error_is_rendered_with_the_fallback():
    seen = []
    with pytest.MonkeyPatch.context() as patch, pytest.raises(TypeError) as info:
        # Only the exception's type: keeping the hook's argument would keep its traceback, and through it this frame.
        patch.setattr("sys.unraisablehook", lambda unraisable: seen.append(type(unraisable.exc_value)))
        kavno.safe_float(RaisesUnprintable(), 2)
    assert str(info.value) == "argument 'value': <unprintable TypeError object>"
    assert seen == [ValueError]


@pytest.mark.parametrize("name", ["now_date", "now_ms"])
def test_functions_without_parameters_refuse_any_argument(name):
    function = getattr(kavno, name)
    # the interpreter's own refusal: its wording differs between versions
    with pytest.raises(TypeError):
        function(1)
    with pytest.raises(TypeError):
        function(x=1)
