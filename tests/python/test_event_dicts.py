"""Decoded events as dicts."""

import pytest

import acqbuilder
import vexoacq

KEYS = ["data", "window_labels", "time", "timing", "ecc_errors"]


def one_event_acq(make_acq, params, event):
    return vexoacq.Acquisition(str(make_acq("a", params=params, chunks=[[event]])))


def test_ryk16_reference_event(make_acq):
    raw = bytes.fromhex("AA 01 00 FF FF FE FF 00 FC 00 00 34 12 00 00")
    acq = one_event_acq(make_acq, acqbuilder.params("ryk16", 1, 2, 2), raw)
    d = acq[0]
    assert list(d) == KEYS
    assert d == {
        "data": [[0.0, 1.0, 1023.0, 1023.0]],
        "window_labels": [[1, 0]],
        "time": [[0, 1, 2, 3]],
        "timing": None,
        "ecc_errors": None,
    }
    assert all(type(v) is float for v in d["data"][0])
    assert all(type(v) is int for v in d["time"][0] + d["window_labels"][0])
    assert acq.parsed_event(0) == d


def test_tolv96_full_event(make_acq):
    raw = acqbuilder.tolv96_event(lambda ch, k: (ch * 7 + k) % 1024)
    acq = one_event_acq(make_acq, acqbuilder.params("tolv96", 96, 1, 4096), raw)
    d = acq[0]
    assert list(d) == KEYS
    assert d["timing"] is None
    assert d["ecc_errors"] == [[] for _ in range(96)]
    assert len(d["data"]) == len(d["window_labels"]) == len(d["time"]) == 96
    for ch in (0, 17, 95):
        assert d["data"][ch] == [float((ch * 7 + k) % 1024) for k in range(4096)]
        assert d["window_labels"][ch] == [0]
        assert d["time"][ch] == list(range(4096))


def test_two_calls_share_nothing(make_acq):
    raw = acqbuilder.ryk16_event([[5, 5, 5, 5], [5, 6, 7, 8]], windows=2)
    acq = one_event_acq(make_acq, acqbuilder.params("ryk16", 2, 2, 2), raw)
    a, b = acq[0], acq[0]
    assert a == b
    assert a is not b
    for key in ("data", "window_labels", "time"):
        assert a[key] is not b[key]
        assert all(x is not y for x, y in zip(a[key], b[key]))
    # Mutating one dict leaves the other and later calls untouched.
    a["data"][0][0] = -1.0
    assert b["data"][0][0] == 5.0 and acq[0]["data"][0][0] == 5.0


@pytest.mark.parametrize("model", ["Ryk16", "ryk16 ", "", "zelkv", "tolv96\n"])
def test_unsupported_models(make_acq, model):
    acq = one_event_acq(make_acq, acqbuilder.params(model, 1, 2, 2), b"")
    with pytest.raises(Exception) as info:
        acq[0]
    assert type(info.value).__name__ == "ParsingError"
    assert info.value.args == ("Failed to parse event: data is from an unsupported board model",)


@pytest.mark.parametrize(
    "raw, message",
    [
        (b"", "Failed to parse event: required data missing when parsing"),
        (bytes.fromhex("AA 01 00 FF FF FE FF 00 FC 00 00 34 12 00"), "Failed to parse event: unexpected length of data"),
        (bytes.fromhex("AA 01 01 FF FF FE FF 00 FC 00 00 34 12 00 00"), "Failed to parse event: invalid channel number"),
    ],
)
def test_decoder_errors(make_acq, raw, message):
    acq = one_event_acq(make_acq, acqbuilder.params("ryk16", 1, 2, 2), raw)
    with pytest.raises(Exception) as info:
        acq[0]
    assert type(info.value).__name__ == "ParsingError"
    assert info.value.args == (message,)
