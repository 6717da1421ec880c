"""The model file: a fitted MireloClassifier as named arrays that open without running code.

Layout (all integers little-endian):

- 8 bytes of magic, ``b"MIRELO\\x00\\x01"``;
- the file format (uint32) and 4 zero bytes;
- the header's length in bytes (uint64), then the header: UTF-8 JSON holding the parameters, the
  fit's scalar values and the sections, each a name, a dtype, a shape, an offset and a size;
- the sections' bytes, each starting at a multiple of ALIGNMENT from the start of the file;
- a 32-byte BLAKE2b digest of every byte before it.

From format 2 the file also holds the store as the search reads it (``store_`` sections: the rows'
order, their packed copies and codes, norms, boxes), which a model opened from the file reads
where it lies, mapped or read, so that nothing is rebuilt on open. A model grown by partial_fit
whose added rows still wait beside its store is saved without them and rebuilt on open.

Nothing in the file is unpickled or evaluated: JSON and raw arrays of fixed element types only.
Every offset and size is checked against the file's length before anything is read, and the
fields are handed to the same checks an unpickled model goes through; the store's sections are
checked by the native module against each other and the rows before the search may follow them.
"""

import hashlib
import json
import math
import os
import re
import secrets
import struct
from typing import Any, BinaryIO, Dict, List, NoReturn, Optional, Tuple

import numpy as np

from . import _native
from ._model_state import ARRAYS, NUMBERS, ModelState

MAGIC = b"MIRELO\x00\x01"
# The file's layout; a file of another format is refused, never guessed at. Format 1, without
# the store's sections, is still read (its store is rebuilt on open).
FORMAT = 2
_READABLE = (1, 2)
ALIGNMENT = 64
DIGEST_BYTES = 32
_PREAMBLE = struct.Struct("<8sII Q")

# Element types a class array may hold as numbers; text and bytes go as offsets and data. Only
# dtype strings of these shapes are handed to NumPy: nothing structured, nothing of objects.
_NUMBER_KINDS = "biuf"
_SECTION_DTYPE = re.compile(r"[<>|][biuf][1248]")
_TEXT_DTYPE = re.compile(r"[<>|](O|[US][0-9]{1,9})")
_OFFSETS = np.dtype("<i8")
_BYTES = np.dtype("u1")
# The store's sections, each one-dimensional, and the numbers that go with them.
_STORE = "store_"
_STORE_ARRAYS = {name: np.dtype(text) for name, text in [
    ("order", "<u4"), ("rows", "<f4"), ("codes", "<i2"), ("tails", "<i2"), ("coarse_codes", "|u1"),
    ("coarse_steps", "<f4"), ("norms", "<f4"), ("checkpoint_norms", "<f4"), ("run_largest", "<f8")]}
_STORE_LEVELS = {"boxes": np.dtype("<f4"), "box_norms": np.dtype("<f8")}
_STORE_LEVEL_NAME = re.compile(r"(boxes|box_norms)_([0-9]{1,2})")
_STORE_NUMBERS = ("exponent", "prefix", "checkpoint", "levels")
# The store's numbers and sections by name, as the native model's store_sections() gives them.
_Store = Tuple[Dict[str, int], Dict[str, np.ndarray]]
# The JSON values a saved parameter may take.
_PLAIN = (type(None), bool, int, float, str)


def _hasher() -> Any:
    return hashlib.blake2b(digest_size=DIGEST_BYTES)


def _fail(problem: str) -> NoReturn:
    raise ValueError(f"Expected a mirelo model file, got {problem}")


# -- writing ----------------------------------------------------------------------------------

def _texts(values: np.ndarray, name: str) -> Tuple[Dict[str, np.ndarray], str]:
    """Sections for strings or bytes: each item's end in the data, and the data."""
    items = [value.encode("utf-8") if isinstance(value, str) else bytes(value) for value in values]
    kind = "str" if all(isinstance(value, str) for value in values) else "bytes"
    ends = np.cumsum([0] + [len(item) for item in items], dtype=_OFFSETS)
    data = np.frombuffer(b"".join(items), dtype=_BYTES)
    return {f"{name}_offsets": ends, f"{name}_data": data}, kind


def _class_sections(classes: np.ndarray) -> Tuple[Dict[str, np.ndarray], Dict[str, Any]]:
    if classes.dtype.kind in _NUMBER_KINDS:
        return {"classes": classes}, {"kind": "numbers"}
    texts = classes.dtype.kind in "US" or (classes.dtype.kind == "O" and (
        all(isinstance(value, str) for value in classes) or all(isinstance(value, bytes) for value in classes)))
    if not texts:
        raise ValueError(f"Expected classes of numbers, str or bytes to save to a file, got {classes.dtype} classes "
                         f"such as {classes[:3]!r}; pickle such a model instead")
    sections, kind = _texts(classes, "class")
    return sections, {"kind": kind, "dtype": classes.dtype.str}


def _plain_parameters(parameters: Dict[str, Any]) -> Dict[str, Any]:
    parameters = {name: value.item() if isinstance(value, np.generic) else value
                  for name, value in parameters.items()}
    odd = {name: value for name, value in parameters.items() if type(value) not in _PLAIN}
    if odd:
        raise ValueError(f"Expected parameters of numbers, str, bool or None to save to a file, got {odd!r}; "
                         "pickle such a model instead")
    return parameters


def write(path: "os.PathLike[str] | str", parameters: Dict[str, Any], state: ModelState, classes: np.ndarray,
          feature_names: Optional[np.ndarray], dtype: np.dtype, scaled: bool,
          store: Optional[_Store]) -> None:
    """Writes the file whole beside `path`, then puts it in place: a reader sees the old file or the new one.
    `store` is the native model's store_sections(), or None for a store rebuilt on open."""
    sections: Dict[str, np.ndarray] = {name: getattr(state, name) for name in ARRAYS}
    if store is not None:
        sections.update({_STORE + name: values for name, values in store[1].items()})
    class_sections, class_kind = _class_sections(classes)
    sections.update(class_sections)
    if feature_names is not None:
        sections.update(_texts(feature_names, "feature_name")[0])
    header: Dict[str, Any] = {
        "parameters": _plain_parameters(parameters),
        "numbers": {name: getattr(state, name) for name in NUMBERS},
        "classes": class_kind,
        "feature_names": feature_names is not None,
        "dtype": np.dtype(dtype).str,
        "scaled": bool(scaled),
        "store": None if store is None else {name: int(store[0][name]) for name in _STORE_NUMBERS},
    }
    arrays = {name: np.ascontiguousarray(values) for name, values in sections.items()}
    table = [{"name": name, "dtype": values.dtype.str, "shape": list(values.shape), "offset": 0,
              "size": values.nbytes} for name, values in arrays.items()]
    header["sections"] = table
    # The sections start after the header, which holds their offsets: place them until the
    # header's length stops changing (it only grows, so this ends).
    encoded, start = b"", -1
    while start != _PREAMBLE.size + len(encoded):
        start = _PREAMBLE.size + len(encoded)
        offset = start
        for entry in table:
            offset = -(-offset // ALIGNMENT) * ALIGNMENT
            entry["offset"] = offset
            offset += entry["size"]
        encoded = json.dumps(header, separators=(",", ":")).encode("utf-8")
    # Created as any new file is (the umask applies), under a name no other writer takes.
    aside = f"{os.fspath(path)}.{os.getpid()}-{secrets.token_hex(4)}.part"
    handle = os.open(aside, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666)
    try:
        with os.fdopen(handle, "wb") as file:
            hasher = _hasher()
            _put(file, hasher, _PREAMBLE.pack(MAGIC, FORMAT, 0, len(encoded)) + encoded)
            position = start
            for entry in table:
                _put(file, hasher, b"\0" * (entry["offset"] - position))
                _put(file, hasher, arrays[entry["name"]].reshape(-1).view(np.uint8))
                position = entry["offset"] + entry["size"]
            file.write(hasher.digest())
            file.flush()
            os.fsync(file.fileno())
        os.replace(aside, path)
    except BaseException:
        os.unlink(aside)
        raise


def _put(file: BinaryIO, hasher: Any, data: Any) -> None:
    hasher.update(data)
    file.write(data)


# -- reading ----------------------------------------------------------------------------------

class Contents:
    """What a model file holds, every piece checked against the file before it is read."""

    def __init__(self, parameters: Dict[str, Any], state: ModelState, classes: np.ndarray,
                 feature_names: Optional[np.ndarray], dtype: str, scaled: bool,
                 store: Optional[_Store], file: Any) -> None:
        self.parameters = parameters
        self.state = state
        self.classes = classes
        self.feature_names = feature_names
        self.dtype = dtype
        self.scaled = scaled
        self.store = store
        self.file = file

    def model(self) -> _native.Model:
        """The native model: its store read in place from the file's bytes where the file holds it."""
        if self.store is None:
            return self.state.model()
        return _native.Model.from_store(tuple(self.state), *self.store, self.file)


def read(path: "os.PathLike[str] | str", mmap_mode: Optional[str], verify: bool) -> Contents:
    """The file's contents; with mmap_mode "r" its arrays are views of a read-only mapping."""
    if mmap_mode not in (None, "r"):
        raise ValueError(f"Expected mmap_mode None or 'r', got {mmap_mode!r}")
    with open(path, "rb") as file:
        size = os.fstat(file.fileno()).st_size
        if size < _PREAMBLE.size + DIGEST_BYTES:
            _fail(f"a file of {size} bytes, too short for one: it is truncated or of another kind")
        buffer = _native.FileBytes(file.fileno(), mapped=mmap_mode == "r")
    if len(memoryview(buffer)) < _PREAMBLE.size + DIGEST_BYTES:
        _fail("a file that shrank while it was opened")
    return _contents(buffer, verify)


def stored_digest(path: "os.PathLike[str] | str") -> bytes:
    """The digest a model file ends with, read without reading the rest (a name for its contents)."""
    with open(path, "rb") as file:
        file.seek(0, os.SEEK_END)
        if file.tell() < _PREAMBLE.size + DIGEST_BYTES:
            _fail("a file too short for one")
        file.seek(-DIGEST_BYTES, os.SEEK_END)
        return file.read(DIGEST_BYTES)


def _contents(buffer: Any, verify: bool) -> Contents:
    data = memoryview(buffer)
    magic, format, reserved, header_bytes = _PREAMBLE.unpack_from(data)
    if magic != MAGIC:
        kind = "a pickle" if data[:1] == b"\x80" else "a file of another kind"
        _fail(f"{kind}: it does not begin with mirelo's magic bytes (pickles are never loaded from a file)")
    if format not in _READABLE or reserved != 0:
        raise ValueError(f"This model file is in format {format}, and this mirelo reads formats up to {FORMAT}: "
                         "load it with the mirelo that saved it, or fit the model again")
    body = len(data) - DIGEST_BYTES
    if header_bytes > body - _PREAMBLE.size:
        _fail(f"a header of {header_bytes} bytes in a file of {len(data)}: it is truncated or damaged")
    if verify:
        hasher = _hasher()
        hasher.update(data[:body])
        if hasher.digest() != bytes(data[body:]):
            _fail("one whose contents do not match its digest: it is truncated or was damaged after it was saved")
    try:
        header = json.loads(bytes(data[_PREAMBLE.size:_PREAMBLE.size + header_bytes]).decode("utf-8"))
    except (ValueError, RecursionError):
        header = None
    if not isinstance(header, dict):
        _fail("a header that is not a JSON object: it is damaged")
    start = _PREAMBLE.size + header_bytes
    arrays = _sections(data, header.get("sections"), start, body)
    numbers = _mapping(header, "numbers", set(NUMBERS))
    for name, kind in NUMBERS.items():
        if type(numbers[name]) is not kind:
            _fail(f"a {name} of {numbers[name]!r}")
    missing = sorted(set(ARRAYS) - set(arrays))
    if missing or numbers["n_classes"] < 1:
        _fail(f"one without the sections {missing} or with {numbers['n_classes']} classes")
    parameters = _mapping(header, "parameters", None)
    if not all(type(value) in _PLAIN for value in parameters.values()):
        _fail(f"parameters {parameters!r} holding values other than numbers, str, bool or None")
    state = ModelState(**{name: arrays.pop(name) for name in ARRAYS}, **numbers)
    store = _store(header, format, arrays)
    classes = _classes(header.get("classes"), arrays, state.n_classes)
    if len(classes) != state.n_classes:
        _fail(f"{len(classes)} classes for a class count of {state.n_classes}")
    names = None
    if header.get("feature_names") is True:
        names = np.empty(len(state.mean), dtype=object)
        names[:] = _decoded(arrays, "feature_name", "str", len(state.mean))
    if arrays:
        _fail(f"sections {sorted(arrays)} that no model holds")
    if type(header.get("dtype")) is not str or type(header.get("scaled")) is not bool:
        _fail(f"a dtype {header.get('dtype')!r} and scale flag {header.get('scaled')!r}")
    return Contents(parameters, state, classes, names, header["dtype"], header["scaled"], store, buffer)


def _store(header: Dict[str, Any], format: int, arrays: Dict[str, np.ndarray]) -> Optional[_Store]:
    """The store's numbers and sections, taken out of `arrays`; None for a store rebuilt on open."""
    if format == 1:
        if "store" in header:
            _fail("a format 1 header holding a store")
        return None
    numbers = header.get("store", False)
    names = sorted(name for name in arrays if name.startswith(_STORE))
    if numbers is None and not names:
        return None
    if not (isinstance(numbers, dict) and set(numbers) == set(_STORE_NUMBERS)
            and all(type(value) is int and -2**31 <= value < 2**31 for value in numbers.values())
            and 0 <= numbers["levels"] <= 64):
        _fail(f"a store described as {numbers!r}")
    expected = {_STORE + name for name in _STORE_ARRAYS}
    expected |= {f"{_STORE}{name}_{level}" for name in _STORE_LEVELS for level in range(numbers["levels"])}
    if set(names) != expected:
        _fail(f"store sections {names}, not the {numbers['levels']} levels' and the screen's")
    return numbers, {name[len(_STORE):]: arrays.pop(name) for name in names}


def _mapping(header: Dict[str, Any], key: str, names: Optional[set]) -> Dict[str, Any]:
    value = header.get(key)
    if not (isinstance(value, dict) and (names is None or set(value) == names)):
        _fail(f"a header whose {key} are {value!r}")
    return value


def _allowed(name: str, dtype: np.dtype, ndim: int) -> bool:
    if name in ARRAYS:
        return (dtype, ndim) == ARRAYS[name]
    if name.startswith(_STORE):
        level = _STORE_LEVEL_NAME.fullmatch(name[len(_STORE):])
        kinds = _STORE_LEVELS if level else _STORE_ARRAYS
        return ndim == 1 and kinds.get(level.group(1) if level else name[len(_STORE):]) == dtype
    if name.endswith("_offsets"):
        return dtype == _OFFSETS and ndim == 1
    if name.endswith("_data"):
        return dtype == _BYTES and ndim == 1
    return name == "classes" and dtype.kind in _NUMBER_KINDS and ndim == 1


def _dtype(text: str, pattern: "re.Pattern[str]") -> Optional[np.dtype]:
    """The dtype a header names, when it is of the pattern's shape and NumPy knows it."""
    try:
        return np.dtype(text) if pattern.fullmatch(text) else None
    except TypeError:
        return None


def _sections(data: memoryview, table: Any, start: int, end: int) -> Dict[str, np.ndarray]:
    """The sections as arrays over `data`, each one's place and size checked first."""
    if not isinstance(table, list):
        _fail("a header without a list of sections")
    arrays: Dict[str, np.ndarray] = {}
    for entry in table:
        keys = {"name", "dtype", "shape", "offset", "size"}
        if not (isinstance(entry, dict) and set(entry) == keys and type(entry["name"]) is str
                and type(entry["dtype"]) is str and isinstance(entry["shape"], list)
                and all(type(n) is int and n >= 0 for n in entry["shape"])
                and type(entry["offset"]) is int and type(entry["size"]) is int):
            _fail(f"a section described as {entry!r}")
        name = entry["name"]
        dtype = _dtype(entry["dtype"], _SECTION_DTYPE)
        if dtype is None or name in arrays or not _allowed(name, dtype, len(entry["shape"])):
            _fail(f"a section {name!r} of dtype {entry['dtype']!r} and {len(entry['shape'])} dimensions, or twice")
        count = math.prod(entry["shape"])
        offset, size = entry["offset"], entry["size"]
        if size != count * dtype.itemsize or offset % ALIGNMENT or offset < start or offset + size > end:
            _fail(f"section {name!r} at {offset} of {size} bytes for shape {entry['shape']}, outside bytes "
                  f"{start} to {end} or misaligned: the file is truncated or damaged")
        arrays[name] = np.frombuffer(data, dtype=dtype, count=count, offset=offset).reshape(entry["shape"])
    return arrays


def _decoded(arrays: Dict[str, np.ndarray], name: str, kind: str, count: int) -> List[Any]:
    """`count` items of str or bytes from a pair of sections."""
    ends, data = arrays.pop(f"{name}_offsets", None), arrays.pop(f"{name}_data", None)
    if ends is None or data is None or len(ends) != count + 1 or ends[0] != 0 or ends[-1] != len(data) \
            or (np.diff(ends) < 0).any():
        _fail(f"{name} sections whose {count + 1} offsets do not run from 0 to the data's end")
    raw = data.tobytes()
    items = [raw[first:last] for first, last in zip(ends[:-1].tolist(), ends[1:].tolist())]
    if kind == "bytes":
        return items
    try:
        return [item.decode("utf-8") for item in items]
    except UnicodeDecodeError:
        _fail(f"{name} text that is not UTF-8")


def _classes(description: Any, arrays: Dict[str, np.ndarray], count: int) -> np.ndarray:
    if description == {"kind": "numbers"} and "classes" in arrays:
        return arrays.pop("classes").copy()
    if isinstance(description, dict) and set(description) == {"kind", "dtype"} \
            and description["kind"] in ("str", "bytes") and isinstance(description["dtype"], str) \
            and _dtype(description["dtype"], _TEXT_DTYPE) is not None:
        dtype = np.dtype(description["dtype"])
        data_bytes = arrays["class_data"].size if "class_data" in arrays else 0
        values = _decoded(arrays, "class", description["kind"], count)
        # A fixed width far beyond the labels' own would allocate what the file does not hold.
        small = len(values) * dtype.itemsize <= 64 * (len(values) + data_bytes) + 2**16
        if dtype.kind in ("OU" if description["kind"] == "str" else "OS") and small:
            classes = np.empty(len(values), dtype=dtype)
            classes[:] = values
            # A fixed width shorter than a value would cut it: refused, not taken for another label.
            if classes.tolist() == values:
                return classes
    _fail(f"classes described as {description!r}")
