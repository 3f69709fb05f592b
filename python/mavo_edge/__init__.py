"""Checks mavo-edge-gpu-helper reports on the CPU, as ``mavo-edge-verify`` does, in process.

A coordinator issues a seed with :func:`new_seed`, has a machine run
``mavo-edge-gpu-helper --seed <seed> --units <units> --json`` and checks the line it printed with
:func:`check_report`. The work runs in ``libmavo_edge_verify.so.0`` beside this file, called
through ctypes, which releases the GIL for each call: Python threads check reports in parallel.

Reports and seeds are ``str`` or any bytes-like object (``bytes``, ``bytearray``, ``memoryview``);
another type raises :class:`TypeError`. Unit and thread counts are integers. For any input, the
functions raise only :class:`ReportError` (for a report), :class:`ValueError` (for a refused seed
or count) or :class:`TypeError`, and every exception survives :mod:`pickle`, as process pools
need.

Texts that come from the report (``gpu_name``, ``gpu_uuid``) are decoded from UTF-8 with the
``surrogateescape`` error handler: a byte that is not part of valid UTF-8 becomes a lone surrogate
(U+DC80 to U+DCFF), and ``text.encode("utf-8", "surrogateescape")`` gives the report's bytes back.
A ``str`` report is encoded the same way.
"""

import ctypes
import operator
import re
import secrets
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, Optional, Tuple, Union

__all__ = [
    "MAX_REPORT_BYTES",
    "MAX_THREADS",
    "MAX_UNITS",
    "Digests",
    "MalformedReport",
    "Report",
    "ReportError",
    "ReportMismatch",
    "check_report",
    "expected_digests",
    "new_seed",
]

# The version and limits of the header that the library beside this file was built with.
_HEADER = Path(__file__).with_name("verify.h").read_text(encoding="ascii")


def _defined(name: str) -> str:
    found = re.search(rf"^#define {name} (\S+)$", _HEADER, re.M)
    if found is None:
        raise ImportError(f"mavo_edge: verify.h defines no {name}")
    return found.group(1)


__version__: str = _defined("MAVO_EDGE_VERSION").strip('"')
#: The most units a report may cover.
MAX_UNITS: int = int(_defined("MAVO_EDGE_MAX_UNITS"))
#: The most threads one check may take.
MAX_THREADS: int = int(_defined("MAVO_EDGE_MAX_THREADS"))
#: The longest report line read, its line end included.
MAX_REPORT_BYTES: int = int(_defined("MAVO_EDGE_MAX_REPORT_BYTES"))

_EQUAL, _MISMATCH, _MALFORMED, _BAD_ARGUMENTS = 0, 1, 2, 3
_FIELDS = ("xor_value", "sum_value", "gpu_name", "gpu_uuid", "duration_ms", "units")
_REFUSED_THREADS = 0xFFFFFFFF  # above the limit, so that the library says why

Text = Union[str, bytes, bytearray, memoryview]


class ReportError(ValueError):
    """A report that does not pass; its message is mavo-edge-verify's, without the name."""


class ReportMismatch(ReportError):
    """A well-formed report whose digests or unit count differ from those expected."""

    def __init__(self, message: str, mismatches: Dict[str, Tuple[str, str]], report: "Report"):
        super().__init__(message)
        #: field name -> (expected, found), for each of xor_value, sum_value, units that differs.
        self.mismatches = mismatches
        #: What the report says, all of it.
        self.report = report

    def __reduce__(self) -> Tuple[Any, ...]:
        return type(self), (str(self), self.mismatches, self.report), self.__dict__


class MalformedReport(ReportError):
    """Not the helper's report line. The message is mavo-edge-verify's, which counts bytes of the
    line as UTF-8; :attr:`offset` indexes the report as given: the ``str`` for a ``str`` report,
    the bytes for a bytes-like one."""

    def __init__(self, message: str, offset: int):
        super().__init__(message)
        #: Where the first character (``str``) or byte (bytes-like) at fault stands.
        self.offset = offset

    def __reduce__(self) -> Tuple[Any, ...]:
        return type(self), (str(self), self.offset), self.__dict__


@dataclass(frozen=True)
class Digests:
    """The digests a report must carry: 16 lower-case hex digits each, as in the report."""

    xor_value: str
    sum_value: str
    units: int


@dataclass(frozen=True)
class Report:
    """A report that passed: its values, the texts decoded as the module says."""

    xor_value: str
    sum_value: str
    gpu_name: str
    gpu_uuid: str
    duration_ms: int
    units: int


class _Result(ctypes.Structure):
    pass


_Handle = ctypes.POINTER(_Result)
_library = ctypes.CDLL(str(Path(__file__).with_name("libmavo_edge_verify.so.0")))
_library.mavo_edge_expected_digests.restype = _Handle
_library.mavo_edge_expected_digests.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_uint64, ctypes.c_uint]
_library.mavo_edge_check_report.restype = _Handle
_library.mavo_edge_check_report.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t,
                                            ctypes.c_uint64, ctypes.c_uint]
_library.mavo_edge_result_outcome.restype = ctypes.c_int
_library.mavo_edge_result_outcome.argtypes = [_Handle]
_library.mavo_edge_result_message.restype = ctypes.c_char_p
_library.mavo_edge_result_message.argtypes = [_Handle]
_library.mavo_edge_result_offset.restype = ctypes.c_uint64
_library.mavo_edge_result_offset.argtypes = [_Handle]
# The texts may hold NUL bytes: they are read with their sizes. The digests and numbers cannot,
# and are read more cheaply as C strings.
_found_text = _library["mavo_edge_result_found"]
_found_text.restype = ctypes.c_void_p
_found_text.argtypes = [_Handle, ctypes.c_int, ctypes.POINTER(ctypes.c_size_t)]
_found_ascii = _library["mavo_edge_result_found"]
_found_ascii.restype = ctypes.c_char_p
_found_ascii.argtypes = [_Handle, ctypes.c_int, ctypes.c_void_p]
_library.mavo_edge_result_expected.restype = ctypes.c_char_p
_library.mavo_edge_result_expected.argtypes = [_Handle, ctypes.c_int]
_library.mavo_edge_result_free.restype = None
_library.mavo_edge_result_free.argtypes = [_Handle]
_library.mavo_edge_version.restype = ctypes.c_char_p
_library.mavo_edge_version.argtypes = []
if _library.mavo_edge_version().decode("ascii") != __version__:
    raise ImportError(f"mavo_edge {__version__} found libmavo_edge_verify.so.0 of version "
                      f"{_library.mavo_edge_version().decode('ascii')} beside it: reinstall the package")


def new_seed() -> str:
    """A fresh seed: 64 lower-case hex digits from :mod:`secrets`.

    Only the first 16 digits (64 bits) decide the digests, so they carry the freshness: never issue
    a seed whose first 16 digits were issued before.
    """
    return secrets.token_hex(32)


def _as_bytes(value: Text, name: str) -> bytes:
    """A str as UTF-8 with surrogateescape (UnicodeEncodeError for a surrogate that stands for no
    byte), a bytes-like object as its bytes; TypeError for anything else."""
    if isinstance(value, (str, bytes)):
        return value if isinstance(value, bytes) else value.encode("utf-8", "surrogateescape")
    try:
        with memoryview(value) as view:
            return view.tobytes()
    except TypeError:
        raise TypeError(f"{name} must be str or a bytes-like object, not {type(value).__name__}") from None


def _seed_bytes(seed: Text) -> bytes:
    try:
        return _as_bytes(seed, "seed")
    except UnicodeEncodeError:  # kept, for the library to refuse the seed in its own words
        return str(seed).encode("utf-8", "surrogatepass")


def _count(value: object, name: str) -> int:
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None


def _counts(units: int, threads: Optional[int]) -> Tuple[int, int]:
    """Unit and thread counts for the library; those it cannot take become ones it refuses."""
    units = _count(units, "units")
    c_units = units if 0 <= units < 2**64 else 0
    if threads is None:
        return c_units, 0
    threads = _count(threads, "threads")
    return c_units, threads if 1 <= threads <= MAX_THREADS else _REFUSED_THREADS


def _character_offset(text: str, byte_offset: int) -> int:
    """The index in text of the character whose UTF-8 encoding holds byte byte_offset."""
    if text.isascii():
        return byte_offset
    end = 0
    for index, character in enumerate(text):
        end += len(character.encode("utf-8", "surrogateescape"))
        if end > byte_offset:
            return index
    return len(text)


def _ascii(result: "ctypes._Pointer[_Result]", index: int) -> str:
    return str(_found_ascii(result, index, None).decode("ascii"))


def _text(result: "ctypes._Pointer[_Result]", index: int) -> str:
    size = ctypes.c_size_t()
    address = _found_text(result, index, ctypes.byref(size))
    return ctypes.string_at(address, size.value).decode("utf-8", "surrogateescape")


def _expected(result: "ctypes._Pointer[_Result]", index: int) -> str:
    return str(_library.mavo_edge_result_expected(result, index).decode("ascii"))


def _raise_unless(result: "ctypes._Pointer[_Result]", accepted: Tuple[int, ...],
                  report: Optional[str] = None) -> int:
    """The outcome, when accepted; else raises what it means (offsets into report, if a str)."""
    if not result:
        raise MemoryError("mavo_edge: out of memory")
    outcome = int(_library.mavo_edge_result_outcome(result))
    if outcome in accepted:
        return outcome
    message = _library.mavo_edge_result_message(result).decode("utf-8", "surrogateescape")
    if outcome == _MALFORMED:
        offset = int(_library.mavo_edge_result_offset(result))
        raise MalformedReport(message, offset if report is None else _character_offset(report, offset))
    if outcome == _BAD_ARGUMENTS:
        raise ValueError(message)
    raise RuntimeError(f"mavo_edge: {message}")


def expected_digests(seed: Text, units: int, *, threads: Optional[int] = None) -> Digests:
    """The digests of the helper's report for this seed and unit count.

    ``threads`` (1 to :data:`MAX_THREADS`) sets how many threads compute; by default every hardware
    thread. A seed or count that mavo-edge-verify refuses raises :class:`ValueError` with its
    message.
    """
    seed_bytes = _seed_bytes(seed)
    result = _library.mavo_edge_expected_digests(seed_bytes, len(seed_bytes), *_counts(units, threads))
    try:
        _raise_unless(result, (_EQUAL,))
        return Digests(_expected(result, 0), _expected(result, 1), int(_expected(result, 5)))
    finally:
        _library.mavo_edge_result_free(result)


def _report_bytes(report: Text) -> bytes:
    try:
        return _as_bytes(report, "report")
    except UnicodeEncodeError as error:  # no helper's line decodes to such a str
        at = len(str(report)[:error.start].encode("utf-8", "surrogateescape"))
        raise MalformedReport(f"malformed report: unpaired surrogate at byte {at}", error.start) from None


def check_report(report: Text, seed: Text, units: int, *, threads: Optional[int] = None) -> Report:
    """Checks one report line (ending in LF, CR LF or nothing).

    Returns what the report says when its digests and units are those of ``seed`` and ``units``.
    Raises :class:`ReportMismatch` when they differ, :class:`MalformedReport` when the text is not
    the helper's report (both are :class:`ReportError`, a :class:`ValueError`), and
    :class:`ValueError` for a seed or count that mavo-edge-verify refuses. ``threads`` as in
    :func:`expected_digests`.
    """
    report_bytes, seed_bytes = _report_bytes(report), _seed_bytes(seed)
    result = _library.mavo_edge_check_report(report_bytes, len(report_bytes), seed_bytes, len(seed_bytes),
                                             *_counts(units, threads))
    try:
        outcome = _raise_unless(result, (_EQUAL, _MISMATCH), report if isinstance(report, str) else None)
        values = Report(_ascii(result, 0), _ascii(result, 1), _text(result, 2), _text(result, 3),
                        int(_ascii(result, 4)), int(_ascii(result, 5)))
        if outcome == _MISMATCH:
            pairs = {_FIELDS[index]: (_expected(result, index), _ascii(result, index)) for index in (0, 1, 5)}
            mismatches = {field: pair for field, pair in pairs.items() if pair[0] != pair[1]}
            message = _library.mavo_edge_result_message(result).decode("utf-8")
            raise ReportMismatch(message, mismatches, values)
        return values
    finally:
        _library.mavo_edge_result_free(result)
