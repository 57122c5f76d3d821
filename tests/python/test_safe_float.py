"""safe_float: the order and texts of its argument checks, and the decimal rounding it computes."""

import math
from decimal import ROUND_HALF_UP, Decimal, InvalidOperation

import pytest
from hypothesis import assume, given, strategies as st

import kavno
from operands import Index, RaisingFloat
from kavno import safe_float

# Every test here is leak-checked where it is written (conftest.py).
pytestmark = pytest.mark.leak_check


class Floaty:
    def __float__(self):
        return 2.5


class BadFloat:
    def __float__(self):
        return "not a float"


class Big(int):
    def __index__(self):  # never consulted: an int subclass converts by its stored value
        raise AssertionError("__index__ of an int subclass was called")


@pytest.mark.parametrize("value, decimals", [
    (1.23456, 2), (-1.0, 2), (math.nan, 2), (math.inf, 2), (-math.inf, 0), (3, True), (True, 0),
    (Floaty(), 1), (Index(7), 0), (1.0, 4294967295), (1.0, Index(5)), (1.0, Big(3)),
])
def test_accepted_arguments(value, decimals):
    assert type(safe_float(value, decimals)) is float


def prefix_error(value, decimals, param):
    with pytest.raises(TypeError) as info:
        safe_float(value, decimals)
    assert str(info.value).startswith(f"argument '{param}': ")
    assert len(info.value.args) == 1
    return info.value


@pytest.mark.parametrize("value", ["1.5", None, [1.0], BadFloat(), b"1"])
def test_value_type_errors_are_prefixed(value):
    prefix_error(value, 2, "value")


def test_value_is_checked_before_decimals():
    prefix_error("x", -1, "value")
    prefix_error("x", 2.0, "value")


@pytest.mark.parametrize("decimals", [2.0, "2", None, 1.5, [2]])
def test_decimals_type_errors_are_prefixed(decimals):
    prefix_error(1.0, decimals, "decimals")


@pytest.mark.parametrize("decimals", [4294967296, 18446744073709551615, Index(2**32)])
def test_decimals_beyond_32_bits(decimals):
    with pytest.raises(OverflowError) as info:
        safe_float(1.0, decimals)
    assert str(info.value) == "out of range integral type conversion attempted"
    assert info.value.args == ("out of range integral type conversion attempted",)


@pytest.mark.parametrize("decimals", [-1, 2**64, Index(-5), -(2**70)])
def test_decimals_the_interpreter_refuses_pass_unprefixed(decimals):
    with pytest.raises(OverflowError) as info:
        safe_float(1.0, decimals)
    assert not str(info.value).startswith("argument")


def test_value_too_large_for_a_double_passes_unprefixed():
    with pytest.raises(OverflowError) as info:
        safe_float(10**400, 2)
    assert not str(info.value).startswith("argument")


def test_exceptions_of_user_hooks_pass_unchanged():
    with pytest.raises(RuntimeError, match="^boom$"):
        safe_float(RaisingFloat(), 2)

    class IndexBoom:
        def __index__(self):
            raise KeyError("k")

    with pytest.raises(KeyError):
        safe_float(1.0, IndexBoom())


@pytest.mark.parametrize("value, decimals, expected", [
    (2.675, 2, 2.68), (1.005, 2, 1.01), (0.1 + 0.2, 2, 0.3), (-1.5, 0, -2.0), (1234.5678, 0, 1235.0),
    (1.5e-07, 7, 2e-07), (123.456, 4294967295, 123.456), (1.7976931348623157e308, 0, 1.7976931348623157e308),
    (2.5, 0, 3.0), (0.125, 2, 0.13), (-0.125, 2, -0.13), (1e22, 5, 1e22), (7, 3, 7.0), (True, 0, 1.0),
])
def test_rounding_examples(value, decimals, expected):
    assert safe_float(value, decimals) == expected


def test_signs_and_non_finite_values():
    assert math.copysign(1.0, safe_float(-0.004, 2)) == -1.0 and safe_float(-0.004, 2) == 0.0
    assert math.isnan(safe_float(math.nan, 3))
    assert safe_float(math.inf, 3) == math.inf and safe_float(-math.inf, 0) == -math.inf
    assert safe_float(-1.0, 2) == -1.0


def oracle(value, decimals):
    return float(Decimal(repr(value)).quantize(Decimal(1).scaleb(-decimals), rounding=ROUND_HALF_UP))


@given(st.floats(allow_nan=False, allow_infinity=False), st.integers(min_value=0, max_value=30))
def test_rounding_agrees_with_decimal_quantize(value, decimals):
    try:
        expected = oracle(value, decimals)
    except InvalidOperation:  # quantize is not defined past its precision
        assume(False)
    assert safe_float(value, decimals) == expected


@given(st.floats(allow_nan=False, allow_infinity=False), st.integers(min_value=0, max_value=400))
def test_enough_places_give_the_value_back(value, decimals):
    fraction_digits = max(0, -Decimal(repr(value)).as_tuple().exponent)
    assume(decimals >= fraction_digits)
    assert safe_float(value, decimals) == value


def test_module_attribute_is_the_function():
    assert kavno.safe_float is safe_float
