"""Arrow C data interface structures made in Python with ctypes, as a ctypes producer makes them: struct arrays of
columns whose every field a test may set to something malformed, carried in capsules, released through ctypes
callbacks that count their calls."""

import ctypes
import struct

RELEASED = {"schema": 0, "array": 0, "stream": 0}


class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


class ArrowArrayStream(ctypes.Structure):
    pass


SCHEMA_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))
ARRAY_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))
STREAM_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))
GET_SCHEMA = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowSchema))
GET_NEXT = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowArray))
GET_LAST_ERROR = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.POINTER(ArrowArrayStream))

ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p), ("flags", ctypes.c_int64),
    ("n_children", ctypes.c_int64), ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))),
    ("dictionary", ctypes.POINTER(ArrowSchema)), ("release", SCHEMA_RELEASE), ("private_data", ctypes.c_void_p)]
ArrowArray._fields_ = [
    ("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64), ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))), ("dictionary", ctypes.POINTER(ArrowArray)),
    ("release", ARRAY_RELEASE), ("private_data", ctypes.c_void_p)]
ArrowArrayStream._fields_ = [
    ("get_schema", GET_SCHEMA), ("get_next", GET_NEXT), ("get_last_error", GET_LAST_ERROR),
    ("release", STREAM_RELEASE), ("private_data", ctypes.c_void_p)]


@SCHEMA_RELEASE
def _release_schema(schema):
    RELEASED["schema"] += 1
    schema.contents.release = SCHEMA_RELEASE()


@ARRAY_RELEASE
def _release_array(array):
    RELEASED["array"] += 1
    array.contents.release = ARRAY_RELEASE()


@STREAM_RELEASE
def _release_stream(stream):
    RELEASED["stream"] += 1
    stream.contents.release = STREAM_RELEASE()


_keep = []  # everything the structures point at lives as long as the tests
_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_capsule_new.restype = ctypes.py_object
_NAMES = {name: ctypes.create_string_buffer(name) for name in (b"arrow_schema", b"arrow_array", b"arrow_array_stream")}


def capsule(structure, name):
    """A capsule of `structure` (kept alive) named `name` (bytes, or None for an unnamed one)."""
    _keep.append(structure)
    pointer = ctypes.cast(_NAMES[name], ctypes.c_char_p) if name in _NAMES else name
    return _capsule_new(ctypes.addressof(structure), pointer, None)


def _pointers(items, kind):
    array = (ctypes.POINTER(kind) * max(len(items), 1))(*[ctypes.pointer(item) for item in items])
    _keep.append(array)
    return ctypes.cast(array, ctypes.POINTER(ctypes.POINTER(kind)))


def _buffers(buffers):
    held = [ctypes.create_string_buffer(data, len(data)) if data is not None else None for data in buffers]
    _keep.append(held)
    pointers = (ctypes.c_void_p * max(len(held), 1))(*[ctypes.addressof(b) if b is not None else None for b in held])
    _keep.append(pointers)
    return ctypes.cast(pointers, ctypes.POINTER(ctypes.c_void_p))


def schema(format, name=b"", children=(), dictionary=None):
    made = ArrowSchema(format=format, name=name, n_children=len(children), release=_release_schema, flags=2)
    made.children = _pointers(list(children), ArrowSchema)
    if dictionary is not None:
        made.dictionary = ctypes.pointer(dictionary)
        _keep.append(dictionary)
    _keep.append(made)
    return made


def array(length, buffers, children=(), null_count=0, offset=0, n_buffers=None, n_children=None):
    made = ArrowArray(length=length, null_count=null_count, offset=offset,
                      n_buffers=len(buffers) if n_buffers is None else n_buffers,
                      n_children=len(children) if n_children is None else n_children, release=_release_array)
    made.buffers = _buffers(buffers)
    made.children = _pointers(list(children), ArrowArray)
    _keep.append(made)
    return made


def bits(valid):
    """A validity bitmap of booleans, least significant bit first."""
    out = bytearray((len(valid) + 7) // 8)
    for i, bit in enumerate(valid):
        if bit:
            out[i // 8] |= 1 << (i % 8)
    return bytes(out)


BAR_COLUMNS = ("open_time", "open", "high", "low", "close", "volume")


def bars(rows=3, start_ms=1_704_067_260_000):
    """Arrays and schemas of a struct of bar columns (open_time int64 ms, the rest float64), one minute apart."""
    times = struct.pack(f"<{rows}q", *(start_ms + 60_000 * i for i in range(rows)))
    prices = struct.pack(f"<{rows}d", *([100.0] * rows))
    schemas = [schema(b"l", b"open_time")] + [schema(b"g", name.encode()) for name in BAR_COLUMNS[1:]]
    arrays = [array(rows, [None, times])] + [array(rows, [None, prices]) for _ in BAR_COLUMNS[1:]]
    return schemas, arrays


class Exported:
    """Data that speaks the PyCapsule interface with the capsules it was given."""

    def __init__(self, schema=None, array=None, stream=None):
        self.schema, self.array, self.stream = schema, array, stream
        if stream is not None:
            self.__arrow_c_stream__ = lambda requested_schema=None: self.stream

    def __arrow_c_array__(self, requested_schema=None):
        return self.schema, self.array


def exported(struct_schema, struct_array):
    return Exported(capsule(struct_schema, b"arrow_schema"), capsule(struct_array, b"arrow_array"))


def table(rows=3, **overrides):
    """A struct of bar columns with `overrides` set on the struct array (after it is made)."""
    schemas, arrays = bars(rows)
    top = array(rows, [None], arrays)
    for field, value in overrides.items():
        setattr(top, field, value)
    return schema(b"+s", b"", schemas), top


def stream(struct_schema=None, batches=(), schema_error=0, next_error=0, message=b"the producer broke"):
    """A stream of `batches` (struct arrays) under `struct_schema`, or one whose get_schema or get_next fails."""
    remaining = list(batches)
    text = ctypes.create_string_buffer(message) if message is not None else None

    @GET_SCHEMA
    def get_schema(_stream, out):
        if schema_error:
            return schema_error
        ctypes.memmove(out, ctypes.addressof(struct_schema), ctypes.sizeof(ArrowSchema))
        return 0

    @GET_NEXT
    def get_next(_stream, out):
        if next_error:
            return next_error
        if remaining:
            ctypes.memmove(out, ctypes.addressof(remaining.pop(0)), ctypes.sizeof(ArrowArray))
        else:
            out.contents.release = ARRAY_RELEASE()
        return 0

    @GET_LAST_ERROR
    def get_last_error(_stream):
        return ctypes.addressof(text) if text is not None else None

    made = ArrowArrayStream(get_schema=get_schema, get_next=get_next, get_last_error=get_last_error,
                            release=_release_stream)
    _keep.extend([get_schema, get_next, get_last_error, made, text])
    return made
