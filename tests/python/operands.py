"""Operands that reach kavno's entries through the interpreter's protocols, shared by the tests."""


class Index:
    """An integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __index__(self):
        raise KeyError("index")


class RaisingFloat:
    def __float__(self):
        raise RuntimeError("boom")


class Cause(Exception):
    pass


class RaisesTypeErrorWithCause:
    """A TypeError with a cause, from a conversion hook."""

    def __float__(self):
        try:
            raise Cause("inner")
        except Cause as cause:
            raise TypeError("outer") from cause
