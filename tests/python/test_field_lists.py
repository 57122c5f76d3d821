"""Each record's fields are listed once, in include/kavno/records.hpp; the classes, the factories and both stubs
follow that list: names, order, kinds, docstrings, which keywords a factory requires."""

import ast
import inspect
import pathlib
import re

import pytest

import kavno

feed = pytest.importorskip("kavno_feed")

ROOT = pathlib.Path(__file__).resolve().parents[2]
RECORDS = ROOT / "include" / "kavno" / "records.hpp"
pytestmark = pytest.mark.skipif(not RECORDS.is_file(), reason="the headers are not beside the tests")

STUB_TYPES = {"Text": "str", "Double": "float", "Int64": "int", "Int32": "int", "DateTime": "datetime"}
FACTORY_TYPES = {"Text": "str", "Double": "_Number", "Int64": "int", "Int32": "int", "DateTime": "_Date"}


def field_lists():
    """{"Candle": [(name, kind or enumeration, doc, given), ...], ...} as the header lists them."""
    text = RECORDS.read_text()
    lists = {}
    for record, body in re.findall(r"#define KAVNO_(\w+)_FIELDS\(R, FIELD, MEMBER\)\s*\\\n((?:.*\\\n)*.*\n)", text):
        rows = re.findall(r"(FIELD|MEMBER)\(R, (\w+), (\w+), \"([^\"]*)\", ([^)]+\)?)\)", body)
        lists[record.capitalize()] = [(name, kind, doc, given) for _, name, kind, doc, given in rows]
    return lists


LISTS = field_lists()


def stub(module):
    return ast.parse((ROOT / "stubs" / f"{module}-stubs" / "__init__.pyi").read_text())


def test_the_header_lists_the_four_records():
    assert list(LISTS) == ["Pair", "Candle", "Order", "Position"]
    assert [len(fields) for fields in LISTS.values()] == [7, 12, 12, 6]


@pytest.mark.parametrize("record", LISTS)
def test_the_class_has_the_lists_fields_in_order_with_their_docstrings(record):
    cls = getattr(kavno, record)
    attributes = [(name, getattr(cls, name).__doc__) for name, value in vars(cls).items()
                  if type(value).__name__ == "getset_descriptor" and not name.startswith("__")]
    assert attributes == [(name, doc) for name, _, doc, _ in LISTS[record]]


@pytest.mark.parametrize("record", LISTS)
def test_the_kavno_stub_has_the_lists_fields_in_order(record):
    [cls] = [node for node in stub("kavno").body if isinstance(node, ast.ClassDef) and node.name == record]
    properties = [(node.name, ast.unparse(node.returns), ast.get_docstring(node).rsplit("(runtime docstring: ", 1)[1])
                  for node in cls.body if isinstance(node, ast.FunctionDef) and node.name != "__new__"]
    assert properties == [(name, STUB_TYPES.get(kind, kind), f"{doc})") for name, kind, doc, _ in LISTS[record]]


@pytest.mark.parametrize("record", LISTS)
def test_the_factory_takes_the_required_fields_first_then_the_rest(record):
    fields = LISTS[record]
    order = [f for f in fields if f[3] == "required"] + [f for f in fields if f[3] != "required"]
    expected = [(name, inspect.Parameter.empty if given == "required" else None) for name, _, _, given in order]
    signature = inspect.signature(getattr(feed, f"make_{record.lower()}"))
    assert [(p.name, p.default) for p in signature.parameters.values()] == expected
    assert all(p.kind is inspect.Parameter.KEYWORD_ONLY for p in signature.parameters.values())

    [function] = [node for node in stub("kavno_feed").body
                  if isinstance(node, ast.FunctionDef) and node.name == f"make_{record.lower()}"]
    types = {name: FACTORY_TYPES.get(kind, f"{kind} | int") for name, kind, _, _ in fields}
    stubbed = [(a.arg, ast.unparse(a.annotation), d is not None) for a, d in
               zip(function.args.kwonlyargs, function.args.kw_defaults)]
    assert stubbed == [(name, types[name] + ("" if given == "required" else " | None"), given != "required")
                       for name, _, _, given in order]


def test_a_factory_applies_the_lists_values_and_zeros():
    position = feed.make_position(code="X", side=0, volume=1.0, price=1.0)
    assert position.leverage == 1  # value(1)
    assert position.kind == kavno.TradeKind.Spot  # zero: the first member
    pair = feed.make_pair(code="X", base="B", quote="Q")
    assert (pair.min_volume, pair.min_price, pair.min_amount) == (0.0, 0.0, 0.0)
