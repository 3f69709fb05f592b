"""mavo_edge as installed (never the source tree): the digest vectors, the verifier's outcomes and
messages, bad arguments, argument types, threads and process pools, offsets and the version check.
Expected digests come from the published vectors."""
import csv
import importlib.metadata
import importlib.util
import shutil
import threading
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import pytest

import mavo_edge

VECTORS = Path(__file__).resolve().parents[2] / "tests" / "vectors" / "digest_vectors.tsv"
ZEROS = "0" * 64
# 3 units of the zero seed, from the vectors.
XOR3, SUM3 = "e472b00bee88c7a0", "0a830c0420b7813e"


def report(xor=XOR3, total=SUM3, name='"NVIDIA H100"', uuid='"0000:01:00.0"', duration="6", units="3"):
    return (f'{{"xor_value":"{xor}","sum_value":"{total}","gpu_name":{name},"gpu_uuid":{uuid},'
            f'"duration_ms":{duration},"units":{units}}}\n')


def test_installed_not_source():
    assert "site-packages" in mavo_edge.__file__ or "dist-packages" in mavo_edge.__file__


@pytest.mark.parametrize("row", list(csv.DictReader(VECTORS.open(), delimiter="\t")),
                         ids=lambda row: f"{row['seed_text'][:16]}x{row['units']}")
def test_digest_vectors(row):
    units = int(row["units"])
    assert mavo_edge.expected_digests(row["seed_text"], units) == \
        mavo_edge.Digests(row["xor_value"], row["sum_value"], units)
    line = report(row["xor_value"], row["sum_value"], units=row["units"])
    assert mavo_edge.check_report(line.encode(), row["seed_text"], units, threads=3).units == units


@pytest.mark.parametrize("line, name_bytes", [
    (report(), b"NVIDIA H100"),
    (report().replace("\n", "\r\n"), b"NVIDIA H100"),
    (report().rstrip("\n"), b"NVIDIA H100"),
    (report(name='"A\\u00e9\\"\\u0000"'), b'A\xc3\xa9"\x00'),
    (report(name='"\xff\xfe"').encode("latin-1"), b"\xff\xfe"),  # not UTF-8: kept as surrogates
])
def test_equal(line, name_bytes):
    found = mavo_edge.check_report(line, ZEROS, 3)
    assert found == mavo_edge.Report(XOR3, SUM3, found.gpu_name, "0000:01:00.0", 6, 3)
    assert found.gpu_name.encode("utf-8", "surrogateescape") == name_bytes


@pytest.mark.parametrize("line, mismatches, message", [
    (report(xor="e472b00bee88c7a1"), {"xor_value": (XOR3, "e472b00bee88c7a1")},
     "xor_value: expected e472b00bee88c7a0, found e472b00bee88c7a1"),
    (report(total="ffffffffffffffff"), {"sum_value": (SUM3, "ffffffffffffffff")},
     "sum_value: expected 0a830c0420b7813e, found ffffffffffffffff"),
    (report(units="4"), {"units": ("3", "4")}, "units: expected 3, found 4"),
    (report(xor="0" * 16, units="4"), {"xor_value": (XOR3, "0" * 16), "units": ("3", "4")},
     "xor_value: expected e472b00bee88c7a0, found 0000000000000000\nunits: expected 3, found 4"),
])
def test_mismatch(line, mismatches, message):
    with pytest.raises(mavo_edge.ReportMismatch) as raised:
        mavo_edge.check_report(line, ZEROS, 3)
    assert (raised.value.mismatches, str(raised.value)) == (mismatches, message)
    assert raised.value.report.gpu_name == "NVIDIA H100"
    assert isinstance(raised.value, mavo_edge.ReportError) and isinstance(raised.value, ValueError)


@pytest.mark.parametrize("line, what, at", [  # the offset is that of `at`'s first byte in the line
    ("", "expected '{'", ""),
    (report() + "\n", "more than one line", "\n"),
    ('{"xor_value":"', "unterminated string", None),
    (report().rstrip("\n") + " ]", "unexpected text after the object", "]"),
    (report().replace('"xor_value"', '"sum_value"', 1), 'expected key "xor_value"', '"sum_value"'),
    (report(xor="E472B00BEE88C7A0"), "xor_value is not 16 lower-case hex digits", '"E472'),
    (report(units="03"), "expected a whole number", "03}"),
    (report(units="18446744073709551616"), "number out of range", "18446744073709551616"),
    (report(name='"\t"'), "control character in string", "\t"),
    (report(name='"\\x"'), "invalid escape", 'x"'),
    (report(name='"\\u12x"'), "invalid \\u escape", 'x"'),
    (report(name='"\\udc00"'), "unpaired surrogate", "\\udc00"),
])
def test_malformed(line, what, at):
    offset = len(line) if at is None else line.index(at)
    with pytest.raises(mavo_edge.MalformedReport) as raised:
        mavo_edge.check_report(line, ZEROS, 3)
    assert (str(raised.value), raised.value.offset) == (f"malformed report: {what} at byte {offset}", offset)


def test_longer_than_the_limit():
    with pytest.raises(mavo_edge.MalformedReport, match="^malformed report: longer than 65536 bytes at byte 65536$"):
        mavo_edge.check_report(b" " * 65537, ZEROS, 3)


@pytest.mark.parametrize("seed, units, threads, message", [
    ("0" * 63, 3, None, "seed must contain exactly 64 hexadecimal characters"),
    ("0" * 63 + "\u00e9", 3, None, "seed must contain exactly 64 hexadecimal characters"),
    ("g" + "0" * 63, 3, None, "seed contains a non-hexadecimal character"),
    (ZEROS, 0, None, "units must be 1 to 100000000"),
    (ZEROS, 100000001, None, "units must be 1 to 100000000"),
    (ZEROS, -1, None, "units must be 1 to 100000000"),
    (ZEROS, 3, 0, "threads must be 1 to 1024"),
    (ZEROS, 3, 1025, "threads must be 1 to 1024"),
])
def test_bad_arguments(seed, units, threads, message):
    for call in (lambda: mavo_edge.expected_digests(seed, units, threads=threads),
                 lambda: mavo_edge.check_report(report(), seed, units, threads=threads)):
        with pytest.raises(ValueError) as raised:
            call()
        assert str(raised.value) == message and not isinstance(raised.value, mavo_edge.ReportError)


def test_threads_agree_and_run_in_parallel():
    expected = mavo_edge.expected_digests("0123456789abcdef" + "0" * 48, 1000003, threads=1)
    results = []
    workers = [threading.Thread(target=lambda t=t: results.append(
        mavo_edge.expected_digests("0123456789ABCDEF" + "x" * 48, 1000003, threads=t))) for t in (1, 2, 7, 1024)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert results == [expected] * 4


def test_new_seed():
    seeds = {mavo_edge.new_seed() for _ in range(100)}
    assert len(seeds) == 100
    for seed in seeds:
        assert len(seed) == 64 and set(seed) <= set("0123456789abcdef")
        assert mavo_edge.expected_digests(seed, 1).units == 1


def test_exceptions_cross_a_process_pool():
    """A worker's ReportError reaches the caller whole, and the pool keeps working."""
    jobs = [(report(), ZEROS, 3), ("{", ZEROS, 3), (report(units="4"), ZEROS, 3), (report(), ZEROS, 3)]
    with ProcessPoolExecutor(max_workers=2) as pool:
        futures = [pool.submit(mavo_edge.check_report, *job) for job in jobs]
        assert futures[0].result().units == futures[3].result().units == 3
        with pytest.raises(mavo_edge.MalformedReport) as malformed:
            futures[1].result()
        with pytest.raises(mavo_edge.ReportMismatch) as mismatch:
            futures[2].result()
    assert (str(malformed.value), malformed.value.offset) == ("malformed report: expected '\"' at byte 1", 1)
    assert (str(mismatch.value), mismatch.value.mismatches) == ("units: expected 3, found 4", {"units": ("3", "4")})
    assert mismatch.value.report == mavo_edge.Report(XOR3, SUM3, "NVIDIA H100", "0000:01:00.0", 6, 4)


@pytest.mark.parametrize("report_in, seed, units, threads, raised, message", [
    (bytearray(report().encode()), ZEROS, 3, None, None, None),
    (memoryview(report().encode()), bytearray(ZEROS.encode()), 3, 2, None, None),
    (None, ZEROS, 3, None, TypeError, "report must be str or a bytes-like object, not NoneType"),
    (report(), 0, 3, None, TypeError, "seed must be str or a bytes-like object, not int"),
    (report(), ZEROS, 3.0, None, TypeError, "units must be an integer, not float"),
    (report(), ZEROS, "3", None, TypeError, "units must be an integer, not str"),
    (report(), ZEROS, 3, 1.5, TypeError, "threads must be an integer, not float"),
    (report(), "0" * 63 + "\ud800", 3, None, ValueError, "seed must contain exactly 64 hexadecimal characters"),
    (report(name='"\ud800"'), ZEROS, 3, None, mavo_edge.MalformedReport,
     f"malformed report: unpaired surrogate at byte {report().index('NVIDIA')}"),
], ids=["bytearray", "memoryview", "none_report", "int_seed", "float_units", "str_units", "float_threads",
        "surrogate_in_seed", "surrogate_in_report"])
def test_argument_types(report_in, seed, units, threads, raised, message):
    if raised is None:
        assert mavo_edge.check_report(report_in, seed, units, threads=threads).gpu_name == "NVIDIA H100"
        return
    with pytest.raises(raised) as caught:
        mavo_edge.check_report(report_in, seed, units, threads=threads)
    assert type(caught.value) is raised and str(caught.value) == message


def utf8_size(text):
    return len(text.encode("utf-8", "surrogateescape"))


NAMED = report(name='"GPU \u00e9\u20ac\U0001F600"').rstrip("\n") + " ]"  # 1, 2 and 3 bytes more than characters
RAW_BYTE = report(name='"\udcff"', duration="06")  # a byte that is not UTF-8 is one character


@pytest.mark.parametrize("line, index, byte", [
    (NAMED, NAMED.index("]"), utf8_size(NAMED[:NAMED.index("]")])),
    (RAW_BYTE, RAW_BYTE.index("06"), utf8_size(RAW_BYTE[:RAW_BYTE.index("06")])),
    ("a" + "\u00e9" * 40000, 32768, 65536),  # the limit falls on the second byte of an é
], ids=["multibyte_name", "raw_byte", "limit_within_a_character"])
def test_malformed_offsets_index_what_was_given(line, index, byte):
    for given, offset in ((line, index), (line.encode("utf-8", "surrogateescape"), byte)):
        with pytest.raises(mavo_edge.MalformedReport) as raised:
            mavo_edge.check_report(given, ZEROS, 3)
        assert raised.value.offset == offset and str(raised.value).endswith(f" at byte {byte}")


def test_version_of_the_library_is_checked(tmp_path):
    """The package refuses a library built from another version than its header (imported in this
    process, under another name: under qemu-user no second Python can be started)."""
    assert mavo_edge.__version__ == importlib.metadata.version("mavo-edge-verify")
    copy = tmp_path / "mavo_edge"
    shutil.copytree(Path(mavo_edge.__file__).parent, copy)
    header = copy / "verify.h"
    header.write_text(header.read_text().replace(f'"{mavo_edge.__version__}"', '"9.9.9"'))
    found = importlib.util.spec_from_file_location("mavo_edge_9_9_9", copy / "__init__.py")
    with pytest.raises(ImportError) as raised:
        found.loader.exec_module(importlib.util.module_from_spec(found))
    assert str(raised.value) == (f"mavo_edge 9.9.9 found libmavo_edge_verify.so.0 of version "
                                 f"{mavo_edge.__version__} beside it: reinstall the package")
