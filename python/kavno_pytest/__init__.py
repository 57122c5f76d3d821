"""kavno's pytest plugin, registered through the pytest11 entry point: it needs no configuration once kavno is
installed. A failing `==` or `!=` between kavno records (which compare by identity, as kavno's records must) shows
their fields side by side and the fields that differ, so that a test can see what a record held."""

from __future__ import annotations

import math
from typing import Any

RECORD_CLASSES = ("Pair", "Candle", "Order", "Position")


def _is_record(value: object) -> bool:
    try:
        import kavno
    except ImportError:  # kavno is not importable here: nothing to explain
        return False
    return any(type(value) is getattr(kavno, name, None) for name in RECORD_CLASSES)


def _fields(record: object) -> dict[str, Any]:
    import kavno_feed

    return dict(kavno_feed.fields(record))


def _differs(left: object, right: object) -> bool:
    if isinstance(left, float) and isinstance(right, float) and math.isnan(left) and math.isnan(right):
        return False
    return bool(left != right)


def explain(op: str, left: object, right: object) -> list[str] | None:
    """The lines pytest shows for `left op right` when either side is a kavno record."""
    if op not in ("==", "!=") or not (_is_record(left) or _is_record(right)):
        return None
    lines = [f"{type(left).__name__} {op} {type(right).__name__}: kavno records compare by identity; "
             "kavno_feed.same(a, b) compares their fields"]
    if not (_is_record(left) and _is_record(right)):
        side = left if _is_record(left) else right
        lines += [f"  {name} = {value!r}" for name, value in _fields(side).items()]
        return lines
    if type(left) is not type(right):
        lines.append(f"different classes: {type(left).__name__} and {type(right).__name__}")
    ours, theirs = _fields(left), _fields(right)
    names = list(ours) + [name for name in theirs if name not in ours]
    differing = [name for name in names if _differs(ours.get(name), theirs.get(name))]
    lines.append("fields that differ:" if differing else "every field is the same (the two are different objects)")
    lines += [f"  {name}: {ours.get(name)!r} != {theirs.get(name)!r}" for name in differing]
    same = [name for name in names if name not in differing]
    if same:
        lines.append("fields that agree: " + ", ".join(f"{name}={ours[name]!r}" for name in same))
    return lines


def pytest_assertrepr_compare(config: Any, op: str, left: object, right: object) -> list[str] | None:
    return explain(op, left, right)
