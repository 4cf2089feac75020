"""Event dicts of tolv96 and ryk16 events fetched one after another.

These decoders decode into the thread's reused record; each dict must still be
exactly that of its own event, whatever event came before (more or fewer
chips or channels, a failed decode), and a decode started while another
dict is being built (a garbage-collector callback) must not disturb it.
"""

import gc
import sys

import pytest

import acqbuilder
import vexoacq

SAMPLES = 64


def tolv96_expected(sample_fn, chips):
    """The dict of acqbuilder.tolv96_event(sample_fn, chips, samples=SAMPLES)."""
    present = range(16 * chips)
    return {
        "data": [[float(sample_fn(ch, k)) for k in range(SAMPLES)] if ch in present else [] for ch in range(96)],
        "window_labels": [[0] if ch in present else [] for ch in range(96)],
        "time": [list(range(SAMPLES)) if ch in present else [] for ch in range(96)],
        "timing": None,
        "ecc_errors": [[] for _ in range(96)],
    }


def fn(seed):
    return lambda ch, k: (seed * 131 + ch * 7 + k * 3) % 1024


# (chips, seed) of the events in the acquisition, in order; None: an event
# of odd length, which does not decode.
EVENTS = [(6, 1), (2, 2), None, (6, 3), (1, 4)]


@pytest.fixture
def tolv_acq(make_acq):
    raws = [b"\x00" * 3 if e is None else acqbuilder.tolv96_event(fn(e[1]), chips=e[0], samples=SAMPLES) for e in EVENTS]
    folder = make_acq("tolv", params=acqbuilder.params("tolv96", 96, 1, SAMPLES), chunks=[raws])
    return vexoacq.Acquisition(str(folder))


def test_tolv96_events_of_other_shapes_in_turn(tolv_acq):
    for i in [0, 1, 0, 2, 3, 4, 3, 2, 1, 4, 0]:
        if EVENTS[i] is None:
            with pytest.raises(Exception) as info:
                tolv_acq[i]
            assert info.value.args == ("Failed to parse event: unexpected length of data",)
        else:
            chips, seed = EVENTS[i]
            assert tolv_acq[i] == tolv96_expected(fn(seed), chips), f"event {i}"


def test_ryk16_events_of_other_channel_counts_in_turn(make_acq):
    events = [[[k % 1024 for k in range(c * 10, c * 10 + 4)] for c in range(n)] for n in (3, 1)]
    acqs = [
        vexoacq.Acquisition(
            str(make_acq(f"ryk{n}", params=acqbuilder.params("ryk16", n, 2, 2), chunks=[[acqbuilder.ryk16_event(e, windows=2)]]))
        )
        for n, e in zip((3, 1), events)
    ]
    for turn in [0, 1, 0, 1, 1, 0]:
        d = acqs[turn][0]
        assert d["data"] == [[float(v) for v in vals] for vals in events[turn]]
        assert d["window_labels"] == [[0, 1]] * len(events[turn])
        assert d["time"] == [[0, 1, 2, 3]] * len(events[turn])


@pytest.mark.skipif(
    sys.version_info >= (3, 12), reason="the collector runs only between bytecodes from 3.12 on, never inside a call"
)
def test_decode_inside_a_collector_callback_leaves_the_outer_dict_intact(tolv_acq):
    nested = []
    inside = False

    def callback(phase, info):
        if phase == "start" and inside and len(nested) < 3:
            nested.append(tolv_acq[1])

    old = gc.get_threshold()
    gc.callbacks.append(callback)
    try:
        gc.set_threshold(1)
        inside = True
        outer = tolv_acq[0]
        inside = False
    finally:
        gc.set_threshold(*old)
        gc.callbacks.remove(callback)
    assert nested, "the collector never ran while the dict was built"
    assert outer == tolv96_expected(fn(1), 6)
    outer_floats = {id(v) for vals in outer["data"] for v in vals}
    for d in nested:
        assert d == tolv96_expected(fn(2), 2)
        # Both dicts are alive, so a shared float object would show one id.
        assert not outer_floats & {id(v) for vals in d["data"] for v in vals}
