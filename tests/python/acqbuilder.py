"""Writes acquisition folders for tests, benchmarks and the demo.

An acquisition folder holds "metadata.yml", chunk pairs "N.bin" / "N.idx"
(the index: one record per event, offset and length as two little-endian
u32) and optional gzip-compressed pickles ("readout_metadata",
"pedestals_calibration", "timing_calibration", "adc2mv_calibration").

    root = write_acquisition(tmp_path / "run1", params=params("ryk16", 1, 2, 2),
                             chunks=[[ev0, ev1], [ev2]],
                             misc={"readout_metadata": {"a": 1}})

Event encoders for three board families are included: ryk16_event,
tolv96_event and mervyv1_event build raw events under the default tuning
keys.
"""

import gzip
import pickle
import struct
from pathlib import Path

import yaml

MISC_FILES = ("readout_metadata", "pedestals_calibration", "timing_calibration", "adc2mv_calibration")


def params(model, channels, windows, samples, **extra):
    """The `params` mapping of "metadata.yml"."""
    p = {"model": model, "channels": channels, "windows": windows, "samples": samples}
    p.update(extra)
    return p


def metadata_text(params_map, registers=None):
    """YAML text of a "metadata.yml" with `params` and `registers`."""
    doc = {"params": params_map, "registers": {} if registers is None else registers}
    return yaml.safe_dump(doc, sort_keys=False)


def index_bytes(lengths, start=0):
    """Index records for consecutive events of the given lengths."""
    out = bytearray()
    offset = start
    for n in lengths:
        out += struct.pack("<II", offset, n)
        offset += n
    return bytes(out)


def write_chunk(folder, n, events):
    """Writes chunk `n` ("{n}.bin" and "{n}.idx") holding `events` (bytes each)."""
    folder = Path(folder)
    (folder / f"{n}.bin").write_bytes(b"".join(events))
    (folder / f"{n}.idx").write_bytes(index_bytes([len(e) for e in events]))


def gzip_pickle(obj, protocol=pickle.DEFAULT_PROTOCOL):
    return gzip.compress(pickle.dumps(obj, protocol=protocol))


def write_acquisition(folder, *, params=None, metadata=None, chunks=(), misc=None, registers=None):
    """Creates `folder` as an acquisition and returns its Path.

    metadata: the exact content of "metadata.yml" (str or bytes); when None
    it is made from `params` and `registers`.  chunks: a list of chunks, each
    a list of event byte strings.  misc: file name -> object (written as a
    gzip-compressed pickle) or bytes (written as they are).
    """
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    if metadata is None:
        metadata = metadata_text(params if params is not None else {}, registers)
    path = folder / "metadata.yml"
    if isinstance(metadata, bytes):
        path.write_bytes(metadata)
    else:
        path.write_text(metadata, encoding="utf-8")
    for n, events in enumerate(chunks):
        write_chunk(folder, n, events)
    for name, value in (misc or {}).items():
        data = value if isinstance(value, (bytes, bytearray)) else gzip_pickle(value)
        (folder / name).write_bytes(bytes(data))
    return folder


# ------------------------------------------------------------ event encoders

def _channel_block(channel, start, samples, windows_count, chanmask_shift=8):
    """One ryk16/tolv96 channel block: header word, bit-inverted samples, footer."""
    words = [((channel << chanmask_shift) & 0xFF00) | (start & 0x00FF)]
    words += [(~v) & 0xFFFF for v in samples]
    words.append(0)
    return struct.pack(f"<{len(words)}H", *words)


def ryk16_event(channel_samples, windows, start=0, chip_header=0xAA):
    """A ryk16 event: one chip header byte, one block per channel, 2 footer bytes.

    channel_samples[c] is the list of windows*samples values (0..1023) of
    channel c; every block starts its ring at window `start`.
    """
    body = b"".join(_channel_block(c, start, vals, windows) for c, vals in enumerate(channel_samples))
    return bytes([chip_header]) + body + b"\x00\x00"


def tolv96_event(sample_fn, chips=6, windows=1, samples=4096, start=0):
    """A tolv96 event of `chips` chip blocks of 16 channels and 2 footer bytes.

    sample_fn(channel, k) gives the k-th value (0..1023) of global channel
    `channel`; each block holds windows*samples values.
    """
    s = windows * samples
    out = bytearray()
    for chip in range(chips):
        out.append(chip & 0x3F)
        for c in range(16):
            ch = chip * 16 + c
            out += _channel_block(c, start, [sample_fn(ch, k) for k in range(s)], windows)
        out += b"\x00\x00\x00"
    out += b"\x00\x00"
    return bytes(out)


MERVYV1_STOP_WORD = 0xFA5A
MERVYV1_PACKET_WORDS = 37


def mervyv1_packet(channel, timing, window, samples):
    """One mervyv1 packet of 37 big-endian words: channel, timing high and low
    12 bits, window label, the samples, zero padding and the stop word.

    At most 32 samples (0..65535, none equal to the stop word); the 24-bit
    `timing` is split as the decoder's default masks and shift read it.
    """
    words = [channel, (timing >> 12) & 0x0FFF, timing & 0x0FFF, window] + list(samples)
    if len(words) > MERVYV1_PACKET_WORDS - 1 or MERVYV1_STOP_WORD in samples:
        raise ValueError("samples do not fit a default mervyv1 packet")
    words += [0] * (MERVYV1_PACKET_WORDS - 1 - len(words))
    words.append(MERVYV1_STOP_WORD)
    return struct.pack(f">{len(words)}H", *words)


def mervyv1_event(packets):
    """A mervyv1 event: the packets (channel, timing, window, samples) in order."""
    return b"".join(mervyv1_packet(*p) for p in packets)


def expected_time(labels, windows, samples):
    """The time axis of one channel from its window labels."""
    if not labels:
        return []
    first = labels[0]
    out = []
    for w in labels:
        rel = w - first if w >= first else w + windows - first
        out += [(rel * samples + s) % 65536 for s in range(samples)]
    return out
