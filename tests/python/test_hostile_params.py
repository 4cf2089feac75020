"""Channel counts in metadata.yml far beyond what any event can address.

Channel numbers come from 16-bit fields, so a record slot past the last one
those fields can name is never filled.  Such a count is refused as a
ParsingError ("provided parameters are invalid") before any slot is made or
any length table is searched: a few bytes of event can no longer ask for
gigabytes of slots or hours of candidate search.  Each hostile case runs in a
child interpreter under an address-space limit and a CPU-time limit, both far
above what the call needs, so that a regression ends the child instead of the
test run (and a wall-clock limit, for a child that waits without using CPU).
"""

import os
import sys
import textwrap

import pytest
import vexoacq

from acqbuilder import params, write_acquisition
from conftest import run_limited, words

# The child needs some tens of megabytes and a twentieth of a second of CPU;
# the faults needed gigabytes (zelkv3 with 10**8 channels peaked at 7 GB for
# one 12-byte event) or hours (the brindlexv3 search took 20 s at 10**10
# channels and grows linearly).
MEMORY_LIMIT = 1 << 30
CPU_LIMIT_S = 20

REFUSED = "Failed to parse event: provided parameters are invalid"

CHILD = textwrap.dedent(
    """
    import resource, sys
    resource.setrlimit(resource.RLIMIT_AS, ({limit}, {limit}))
    import vexoacq
    acq = vexoacq.Acquisition(sys.argv[1])
    try:
        acq[0]
    except Exception as e:
        print(type(e).__name__, e)
    else:
        print("decoded")
    out = sys.argv[2]
    vexoacq.export_csv(acq, [0] * int(sys.argv[3]), out, False)
    print("exported")
    """
)


def run_child(root, out_dir, events):
    code = CHILD.format(limit=MEMORY_LIMIT)
    return run_limited([sys.executable, "-c", code, os.fspath(root), os.fspath(out_dir), str(events)],
                       cpu_seconds=CPU_LIMIT_S)


# One mervy packet under the default keys: 37 words, data in the samples,
# closed by the stop word.
MERVY_PACKET = words(0, 0, 0, 0, *([1] * 32), 0xFA5A)

HOSTILE = [
    # The length table of brindlexv3 and zelkv3s was searched from
    # `channels` down, one count at a time.
    ("brindlexv3_search", params("brindlexv3", 10**12, 2, 4), bytes(22)),
    ("zelkv3s_search", params("zelkv3s", 10**12, 2, 4), bytes(22)),
    ("brindlexv3_search_many_windows", params("brindlexv3", 10**12, 10**12, 4), bytes(22)),
    # Slots made from `channels` before anything else was looked at.
    ("zelkv3_slots", params("zelkv3", 10**8, 256, 1), bytes(12)),
    ("quopv2_slots", params("quopv2", 10**8, 256, 1), bytes(12)),
    ("quopoc_slots", params("quopoc_quop", 10**10, 256, 2), words(0, 0, 0, 5, 1, 2, 0xFFFF)),
    ("skarnv1_slots", params("skarn", 10**10, 4, 1), bytes(42)),
    ("mervyv1_slots", params("mervyv2_eval", 10**10, 7, 32), MERVY_PACKET),
]


@pytest.mark.parametrize("name, params_map, event", HOSTILE, ids=[h[0] for h in HOSTILE])
def test_channel_counts_past_the_channel_fields_are_refused_in_bounded_time_and_memory(
    tmp_path, name, params_map, event
):
    root = write_acquisition(tmp_path / name, params=params_map, chunks=[[event]])
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    # A block of 1000 such events once needed 1000 times the slots.
    proc = run_child(root, out_dir, 1000)
    assert proc.returncode == 0, (proc.returncode, proc.stderr[-2000:])
    assert proc.stdout.splitlines() == ["ParsingError " + REFUSED, "exported"]


def test_counts_the_channel_fields_can_address_still_decode(tmp_path):
    # 65536 slots for zelkv3: one window whose header names channel 65535
    # under a full channel mask.
    p = params("zelkv3", 65536, 256, 1, chanmask=0xFFFF, chan_shift=0)
    acq = vexoacq.Acquisition(
        write_acquisition(tmp_path / "top", params=p, chunks=[[words(0, 0, 0, 0xFFFF, 2, 0xFFFF)]])
    )
    ev = acq[0]
    assert len(ev["data"]) == 65536
    assert ev["data"][65535] == [1.0] and ev["window_labels"][65535] == [255]
    assert all(not d for d in ev["data"][:65535])
    # One more slot than the field can name is refused.
    p["channels"] = 65537
    acq = vexoacq.Acquisition(
        write_acquisition(tmp_path / "past", params=p, chunks=[[words(0, 0, 0, 0xFFFF, 2, 0xFFFF)]])
    )
    with pytest.raises(Exception) as info:
        acq[0]
    assert type(info.value).__name__ == "ParsingError"
    assert str(info.value) == REFUSED
