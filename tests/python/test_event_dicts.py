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


@pytest.mark.parametrize("model", ["mervyv2_eval", "mervyv1_evalr2", "mervyv2_evalr1", "mervyv2_evalr2"])
def test_mervy_timing(make_acq, model):
    samples = 32
    # (channel, timing, window, samples); channel 1 gets no packet.  The
    # timing values use both 12-bit halves, up to the full 24 bits.
    packets = [
        (2, 0x123458, 6, [k + 1 for k in range(samples)]),
        (0, 0x123456, 5, [1000 + k for k in range(samples)]),
        (2, 0x123459, 7, [0xFFFF - k for k in range(samples)]),
        (3, 0xFFFFFF, 1, [7] * samples),
    ]
    raw = acqbuilder.mervyv1_event(packets)
    acq = one_event_acq(make_acq, acqbuilder.params(model, 4, 1, samples), raw)
    d = acq[0]
    assert list(d) == KEYS
    assert d["ecc_errors"] is None

    timing = [[t for ch, t, _, _ in packets if ch == c] for c in range(4)]
    assert timing == [[0x123456], [], [0x123458, 0x123459], [0xFFFFFF]]
    assert d["timing"] == timing
    assert type(d["timing"]) is list
    assert all(type(slot) is list for slot in d["timing"])
    assert all(type(t) is int for slot in d["timing"] for t in slot)

    assert d["window_labels"] == [[w for ch, _, w, _ in packets if ch == c] for c in range(4)]
    assert d["data"] == [[float(v) for ch, _, _, vals in packets if ch == c for v in vals] for c in range(4)]
    # Each channel's run of slots starts at its first timing value, counted
    # from the earliest first timing value in windows of `samples` slots.
    tmin = min(slot[0] for slot in timing if slot)
    expected_time = []
    for slot in timing:
        if not slot:
            expected_time.append([])
            continue
        t0 = slot[0] - tmin
        lo, hi = (t0 * samples) % 65536, ((t0 + len(slot)) * samples) % 65536
        expected_time.append(list(range(lo, hi)))
    assert d["time"] == expected_time
    assert d["time"][:3] == [list(range(0, 32)), [], list(range(64, 128))]
    assert acq.parsed_event(0) == d
