"""Random whole acquisitions, exercised in child processes under limits.

A case is made from one integer seed: `make_case(seed)` returns the files
of an acquisition folder (name -> bytes) chosen at random: a metadata.yml
that is anything from a clean dump to odd YAML, chunk pairs whose index
records may point anywhere, auxiliary gzip-pickle files that may be
damaged, and events under every model string with random tuning keys.

`run_case(seed, ...)` writes the case into a fresh folder and runs
`exercise` on it in a child interpreter (`python3 -m fuzz_support SEED
DIR`) with an address-space limit and a CPU limit (which the child sets on
itself before it does anything else) and a wall-clock timeout.
The child drives every entry point of the module over the folder and
prints one JSON line: per operation, the outcome (ok or the exception's
class) and the CPU time it took, plus the child's peak resident size.  The
parent classifies the run into findings:

  signal     the child died of a signal (SIGSEGV, SIGABRT, SIGKILL, ...)
  hang       the child ran past the wall timeout
  memory     MemoryError, or a peak far above what the case's bytes need
  slow       one operation took far more CPU time than the case's size
             explains (CPU time of the whole child, all its threads, which
             the machine's load does not stretch)
  panic      PanicException (a broken internal invariant); listed apart,
             since some inputs are meant to end that way
  exception  an exception class outside the ones the operation may raise

Exceptions that the host libraries raise on their own behalf (yaml's
loader, gzip, the unpickler) reach the caller unchanged by design; those
are recognised by the traceback (yaml, gzip) or by the operation
(pickle.loads of a calibration getter) and are not findings.

The children replace `pickle.loads` with a loader that refuses every
global before the module first uses it, so a random pickle can never name
and run a callable of the host.
"""

import io
import json
import os
import random
import resource
import struct
import subprocess
import sys
import tempfile
import time
import zlib
import gzip
import pickle
from pathlib import Path

HERE = Path(__file__).resolve().parent

MODELS = (
    "zelkv3", "quopv2", "brindlexv3", "zelkv3s", "ryk16", "tolv96",
    "mervyv2_eval", "mervyv1_evalr2", "mervyv2_evalr1", "mervyv2_evalr2",
    "quopoc_quop", "quopoc_zelk", "skarn", "hux-k12-4",
)
TUNING_KEYS = (
    "abs_wind_mask", "chan_shift", "chanmask", "chip_stop_word", "data_mask",
    "databitmask", "datamask", "headers", "n_channel_headers", "n_chip_footers",
    "n_chip_headers", "n_event_footers", "n_event_headers", "n_footer_words",
    "n_footers", "n_last_bits", "n_window_footers", "n_window_headers",
    "num_chips", "packet_size", "stop_word", "timing_mask", "timing_shift",
    "windmask",
)
MISC_FILES = ("readout_metadata", "pedestals_calibration", "timing_calibration", "adc2mv_calibration")
# Words that the decoders look for: stop words, masks, all-ones.
MAGIC_WORDS = (0x0000, 0xFFFF, 0xFA5A, 0x5AFA, 0x8000, 0x00FF, 0xFF00, 0x03FF, 0x0FFF, 0x1FFF, 0x003F)


# ------------------------------------------------------------------ generation

def _count(rng, known):
    """A count for channels / windows / samples.  With `known` False the
    huge channel counts of the already-filed faults are left out."""
    r = rng.random()
    if r < 0.55:
        return rng.choice((0, 1, 2, 3, 4, 8, 16, 32))
    if r < 0.85:
        return rng.randint(0, 200)
    if r < 0.95:
        return rng.choice((96, 128, 255, 256, 1000, 4096, 65535, 65536))
    if known:
        return rng.choice((10**6, 10**8, 2**32, 2**63, 2**64 - 1))
    return rng.choice((65537, 2**17))


def _tuning_value(rng):
    r = rng.random()
    if r < 0.5:
        return rng.choice((0, 1, 2, 3, 4, 7, 8, 12, 16, 31, 32, 63, 64))
    if r < 0.7:
        return rng.choice(MAGIC_WORDS + (0xFFFFFFFF, 2**16, 2**32, 2**63, 2**64 - 1, 2**64, 10**30))
    if r < 0.8:
        return rng.randint(-5, -1)
    return rng.choice(("x", "0x10", 1.5, True, None, [1, 2], {"a": 1}, "", float("nan")))


def _params(rng, known):
    model = rng.choice(MODELS) if rng.random() < 0.93 else rng.choice(("", "Zelkv3", "zelkv3 ", "ryk16\0", "модель"))
    p = {"model": model, "channels": _count(rng, known), "windows": _count(rng, known), "samples": _count(rng, known)}
    if model in ("brindlexv3", "zelkv3s") and not known:
        p["channels"] = min(p["channels"], 4096)
    for key in rng.sample(TUNING_KEYS, rng.randint(0, 6)):
        p[key] = _tuning_value(rng)
    if rng.random() < 0.2:
        p[rng.choice(("x", "note", "1", "true"))] = _tuning_value(rng)
    return p


def _yaml_scalar(v):
    if v is None:
        return "null"
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, float):
        return ".nan" if v != v else repr(v)
    if isinstance(v, int):
        return str(v)
    if isinstance(v, str):
        return json.dumps(v)
    return json.dumps(v)


def _metadata(rng, params, known):
    """The text of metadata.yml, as bytes."""
    lines = ["params:"] + [f"  {json.dumps(k)}: {_yaml_scalar(v)}" for k, v in params.items()]
    lines.append("registers: {}" if rng.random() < 0.7 else "registers:\n  a: 1\n  b: [1, 2]")
    text = "\n".join(lines) + "\n"
    r = rng.random()
    if r < 0.45:
        pass
    elif r < 0.55:  # anchors and aliases, small
        text = "other: &a [1, 2, 3]\n" + text.replace("registers: {}", "registers: {x: *a, y: *a}")
    elif r < 0.6:
        text = text.replace("params:", "params: &p", 1) + "copy: *p\n"
    elif r < 0.65:  # duplicate keys, merge keys, tags
        text += rng.choice(("params: {}\n", "registers: {<<: {a: 1}}\n", "x: !!binary aGVsbG8=\n",
                            "x: !!python/object:os.system {}\n", "x: !custom 1\n", "? [1, 2]\n: 3\n"))
    elif r < 0.7:  # odd scalars for the counts
        text = text.replace(f'"channels": {params["channels"]}',
                            '"channels": ' + rng.choice(("0x10", "0o17", "1_000", "1e3", "+5", "~", "'4'", "!!int 4",
                                                         "-0", "9" * 30, ".inf", "2001-01-01", "[1]")))
    elif r < 0.75:  # encodings and framing
        text = rng.choice(("\ufeff" + text, text.replace("\n", "\r\n"), "%YAML 1.1\n---\n" + text,
                           text + "---\nother: 1\n", text + "...\n", "\t" + text, text + "\0"))
    elif r < 0.8:  # flow style, nesting a person might write
        depth = rng.randint(1, 40)
        text += "deep: " + "[" * depth + "1" + "]" * depth + "\n"
    elif r < 0.83 and known:  # the filed nesting and alias faults
        if rng.random() < 0.5:
            text += "deep: " + "[" * 20000 + "]" * 20000 + "\n"
        else:
            text = "o: &a [" + ", ".join(["1"] * 2000) + "]\n" + text.replace(
                "registers: {}", "registers: {x: [" + ", ".join(["*a"] * 2000) + "]}")
    elif r < 0.88:  # shape errors
        text = rng.choice(("", "[]\n", "params: [1]\nregisters: {}\n", "registers: {}\n", "params: {}\nregisters: {}\n",
                           "null\n", "params:\n  model: zelkv3\nregisters: {}\n", "42\n", ": :\n", "{{{\n"))
    else:  # byte-level damage
        b = bytearray(text.encode())
        for _ in range(rng.randint(1, 4)):
            if b:
                b[rng.randrange(len(b))] = rng.randrange(256)
        return bytes(b)
    return text.encode("utf-8")


def _words_event(rng, n_words, big_endian):
    fmt = ">H" if big_endian else "<H"
    out = bytearray()
    for _ in range(n_words):
        r = rng.random()
        w = rng.choice(MAGIC_WORDS) if r < 0.2 else (rng.randrange(16) if r < 0.4 else rng.randrange(65536))
        out += struct.pack(fmt, w)
    return bytes(out)


def _ryk16_like(rng, channels, length):
    # chip header byte, channel blocks of header word + samples + footer, 2 footer bytes
    out = bytearray([rng.randrange(256)])
    for c in range(max(1, min(channels, 16))):
        out += struct.pack("<H", ((c << 8) & 0xFF00) | rng.randrange(256))
        out += _words_event(rng, length, False)
        out += b"\0\0"
    out += b"\0\0"
    return bytes(out)


def _mervyv1_like(rng, packets):
    out = bytearray()
    for _ in range(packets):
        words = [rng.randrange(64), rng.randrange(4096), rng.randrange(4096), rng.randrange(256)]
        words += [rng.randrange(65536) for _ in range(rng.randint(0, 32))]
        words = [w if w != 0xFA5A else 0 for w in words][:36]
        words += [0] * (36 - len(words))
        words.append(0xFA5A)
        out += struct.pack(">37H", *words)
    return bytes(out)


def _event(rng, params):
    model = params["model"]
    r = rng.random()
    if r < 0.02:  # a large event: time and memory must stay in proportion
        ev = rng.randbytes(rng.choice((65536, 262144, 1 << 20)))
    elif r < 0.04:
        ev = _words_event(rng, 1 << 15, rng.random() < 0.5)
    elif r < 0.25:
        ev = rng.randbytes(rng.choice((0, 1, 2, 3, 4, 8, 12, 22, 64, 100, 300)))
    elif r < 0.5:
        ev = _words_event(rng, rng.randint(0, 400), rng.random() < 0.5)
    elif r < 0.7 and model in ("ryk16", "tolv96"):
        ev = _ryk16_like(rng, params["channels"] if isinstance(params["channels"], int) else 1, rng.randint(0, 64))
    elif r < 0.7 and model.startswith("merv"):
        ev = _mervyv1_like(rng, rng.randint(0, 8))
    else:
        ev = bytes(rng.randint(0, 3) for _ in range(rng.randint(0, 200)))
    if ev and rng.random() < 0.3:  # truncate or flip
        ev = bytearray(ev)
        if rng.random() < 0.5:
            del ev[rng.randrange(len(ev)):]
        else:
            ev[rng.randrange(len(ev))] ^= 1 << rng.randrange(8)
        ev = bytes(ev)
    return ev


def _chunks(rng, params, files):
    for n in range(rng.choice((0, 1, 1, 1, 2, 3))):
        events = [_event(rng, params) for _ in range(rng.randint(0, 5))]
        data = b"".join(events)
        idx = bytearray()
        off = 0
        for e in events:
            o, ln = off, len(e)
            r = rng.random()
            if r < 0.08:
                o = rng.choice((len(data), len(data) + 1, 0xFFFFFFFF, 0x7FFFFFFF, rng.randrange(2**32)))
            elif r < 0.16:
                ln = rng.choice((0, len(data) + 1, 0xFFFFFFFF, 0x80000000, rng.randrange(2**32)))
            elif r < 0.2:
                o, ln = 0xFFFFFFFF, 0xFFFFFFFF
            idx += struct.pack("<II", o & 0xFFFFFFFF, ln & 0xFFFFFFFF)
            off += len(e)
        r = rng.random()
        if r < 0.05 and idx:
            del idx[rng.randrange(len(idx)):]
        elif r < 0.08:
            idx += bytes(rng.randint(1, 7))
        if rng.random() < 0.04:
            files[f"{n}.bin/"] = b""  # a folder in place of the data file
        elif rng.random() < 0.96:
            files[f"{n}.bin"] = data
        if rng.random() < 0.97:
            files[f"{n}.idx"] = bytes(idx)


def _safe_pickle_value(rng, depth=0):
    r = rng.random()
    if depth > 4 or r < 0.3:
        return rng.choice((0, 1, -1, 2**70, 1.5, float("nan"), float("inf"), "s", b"b", None, True))
    if r < 0.6:
        return [_safe_pickle_value(rng, depth + 1) for _ in range(rng.randint(0, 4))]
    if r < 0.7:
        return tuple(_safe_pickle_value(rng, depth + 1) for _ in range(rng.randint(0, 3)))
    if r < 0.8:
        return {rng.choice(("data", "x", 1)): _safe_pickle_value(rng, depth + 1) for _ in range(rng.randint(0, 3))}
    return {frozenset((1, 2)), 3} if r < 0.85 else bytearray(b"xy")


def _pedestal_table(rng, params):
    ch = params["channels"] if isinstance(params["channels"], int) else 2
    w = params["windows"] if isinstance(params["windows"], int) else 2
    s = params["samples"] if isinstance(params["samples"], int) else 2
    ch, w, s = (min(v, 8) + rng.randint(-1, 1) for v in (ch, w, s))
    return [[[rng.choice((0.0, 1.5, -3.0, 1e30, float("nan"))) for _ in range(max(s, 0))]
             for _ in range(max(w, 0))] for _ in range(max(ch, 0))]


def _random_pickle_ops(rng):
    ops = bytearray(b"\x80" + bytes([rng.randint(0, 5)]))
    alphabet = b"NKJ(ltd]}.e\x85\x86\x87\x88\x89\x8a\x8cGsua0123qhjpgTUVXBC\x8d\x8e\x8f\x90\x91\x94\x95\x96\x97"
    for _ in range(rng.randint(0, 60)):
        op = alphabet[rng.randrange(len(alphabet))]
        ops.append(op)
        if rng.random() < 0.5:
            ops += bytes(rng.randrange(256) for _ in range(rng.randint(0, 9)))
    ops += b"."
    return bytes(ops)


def _misc(rng, params, known):
    r = rng.random()
    if r < 0.35:
        obj = {"data": _pedestal_table(rng, params)} if rng.random() < 0.6 else _safe_pickle_value(rng)
        raw = gzip.compress(pickle.dumps(obj, protocol=rng.randint(0, 5)))
    elif r < 0.55:
        raw = gzip.compress(_random_pickle_ops(rng))
    elif r < 0.65:
        raw = rng.randbytes(rng.randint(0, 64))
    elif r < 0.75:  # damaged gzip: cut, flipped, wrong trailer, two members
        good = gzip.compress(pickle.dumps({"data": _pedestal_table(rng, params)}))
        b = bytearray(good)
        k = rng.random()
        if k < 0.3:
            del b[rng.randrange(len(b)):]
        elif k < 0.6:
            b[rng.randrange(len(b))] ^= 0xFF
        elif k < 0.8:
            b[-4:] = struct.pack("<I", 0xFFFFFFFF)
        else:
            b += good
        raw = bytes(b)
    elif r < 0.82:  # a zip bomb of modest size: zeros that unpickle to nothing
        n = rng.choice((10**5, 10**6, 2 * 10**7))
        raw = gzip.compress(b"\x80\x04" + b"(" * n + b".", compresslevel=9) if known else gzip.compress(b"\0" * n)
    elif r < 0.9:
        raw = zlib.compress(pickle.dumps({"data": [[[1.0]]]}))  # zlib stream, not gzip
    else:
        raw = pickle.dumps({"data": [[[1.0]]]})  # uncompressed pickle
    return raw


def _corpus_params(entry):
    """Params and event of one input of the C++ decode fuzz corpus, read as
    tests/cpp/support/fuzz_entries.hpp's split_decode_input reads it."""
    b = lambda i: entry[i] if i < len(entry) else 0  # noqa: E731
    params = {"model": MODELS[b(0) % len(MODELS)], "channels": 96 if b(1) & 0x80 else b(1) & 0x3F,
              "windows": b(2) & 0x3F, "samples": b(3) & 0x7F}
    pos = 5
    for _ in range(b(4) % 8):
        if pos + 5 > len(entry):
            break
        v = struct.unpack_from("<I", entry, pos + 1)[0]
        if not entry[pos] & 0x80:
            v &= 0xFF
        params[TUNING_KEYS_CPP[entry[pos] % len(TUNING_KEYS_CPP)]] = v
        pos += 5
    return params, entry[pos:]


# The key order of the C++ fuzz entries (the same names as TUNING_KEYS).
TUNING_KEYS_CPP = TUNING_KEYS


def _corpus_case(rng, corpus, known):
    """A case whose events come from the decode corpus: decodable events of
    one geometry, so export, merge and pedestal subtraction get real work."""
    params, first = _corpus_params(rng.choice(corpus))
    files = {"metadata.yml": _metadata(rng, params, known) if rng.random() < 0.2 else
             (yaml_text(params)).encode()}
    if first and rng.random() < 0.15:
        # many copies of one event: most layouts are runs of blocks, so this
        # stays decodable and shows any cost that grows faster than the size
        # (up to 2 MB with `known`, which brings in the quadratic label merge
        # already on file; 256 KB otherwise, where it stays well under a second)
        cap = (2 << 20) if known else (256 << 10)
        first = first * max(1, min(rng.choice((16, 256, 4096, 65536)), cap // len(first)))
    events = [first]
    for _ in range(rng.randint(0, 6)):
        p2, ev = _corpus_params(rng.choice(corpus))
        if p2 == params or rng.random() < 0.3:
            events.append(ev)
    data = b"".join(events)
    idx = bytearray()
    off = 0
    for e in events:
        idx += struct.pack("<II", off, len(e))
        off += len(e)
    files["0.bin"], files["0.idx"] = data, bytes(idx)
    if rng.random() < 0.6:
        files["pedestals_calibration"] = gzip.compress(pickle.dumps({"data": _pedestal_table(rng, params)}))
    return params, files


def yaml_text(params):
    lines = ["params:"] + [f"  {json.dumps(k)}: {_yaml_scalar(v)}" for k, v in params.items()]
    return "\n".join(lines) + "\nregisters: {}\n"


def make_case(seed, known=False):
    """The files of one acquisition (name -> bytes; a name ending in "/" is a folder)."""
    return make_case_params(seed, known)[1]


def make_case_params(seed, known=False, corpus=None):
    """(the params mapping the case was made from, its files).  `corpus`: a
    list of inputs of the C++ decode fuzz corpus, used for half the cases."""
    rng = random.Random(seed)
    if corpus and rng.random() < 0.5:
        return _corpus_case(rng, corpus, known)
    params = _params(rng, known)
    files = {"metadata.yml": _metadata(rng, params, known)}
    _chunks(rng, params, files)
    for name in MISC_FILES:
        if rng.random() < 0.35:
            files[name] = _misc(rng, params, known)
        elif rng.random() < 0.03:
            files[name + "/"] = b""  # a folder of that name
    if rng.random() < 0.02:
        files = {"metadata.yml/": b"", **{k: v for k, v in files.items() if k != "metadata.yml"}}
    if rng.random() < 0.03:
        files["0.idx/"] = b""
        files.pop("0.idx", None)
    return params, files


def write_case(folder, files):
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    for name, data in files.items():
        if name.endswith("/"):
            (folder / name.rstrip("/")).mkdir(exist_ok=True)
        else:
            (folder / name).write_bytes(data)
    return folder


# ------------------------------------------------------------------ the child

class _NoGlobals(pickle.Unpickler):
    def find_class(self, module, name):
        raise pickle.UnpicklingError(f"global {module}.{name} refused")


def _safe_loads(data):
    return _NoGlobals(io.BytesIO(data)).load()


# Exceptions an operation may raise, by class name; "acquisition.X" names
# the module's own classes.  `None` marks operations that must not raise.
_ACQ = ("FileNotFoundError", "IndexError")
ALLOWED = {
    "Acquisition": ("FileNotFoundError", "OSError", "acquisition.MetadataError"),
    "len": ("FileNotFoundError", "OverflowError"),
    "getitem": _ACQ + ("acquisition.ParsingError",),
    "slice": _ACQ + ("acquisition.ParsingError",),
    "iter": (),
    "raw_event": _ACQ + ("OverflowError",),
    "parsed_event": _ACQ + ("OverflowError", "acquisition.ParsingError"),
    "chunk_count": (),
    "metadata": (),
    "params": ("TypeError", "KeyError"),
    "misc": ("OSError",),
    "list_acquisitions": (),
    "is_acquisition": (),
    "export_csv": ("acquisition.MetadataError", "acquisition.ExportError"),
    "ecc": (),
}


def _class_name(exc):
    t = type(exc)
    return t.__name__ if t.__module__ == "builtins" else f"{t.__module__}.{t.__name__}"


def _from_host_library(exc):
    """True when the exception was raised inside yaml or gzip (passed on unchanged by design)."""
    tb = exc.__traceback__
    while tb is not None:
        fn = tb.tb_frame.f_code.co_filename
        if "/yaml/" in fn or fn.endswith(("gzip.py", "_compression.py")):
            return True
        tb = tb.tb_next
    return False


def exercise(folder, rng_seed=0):
    """Runs every entry point over `folder`; returns the per-operation log."""
    pickle.loads = _safe_loads  # before the module's first use: it stores what it finds then
    import vexoacq

    rng = random.Random(rng_seed)
    log = []

    def op(kind, label, fn, host_ok=False):
        t0 = time.process_time()
        try:
            value = fn()
            outcome, message = "ok", None
        except BaseException as exc:  # noqa: BLE001 - every class is classified below
            value = None
            outcome, message = _class_name(exc), str(exc)[:200]
            if isinstance(exc, KeyboardInterrupt):
                raise
            if host_ok and outcome not in ("MemoryError", "pyo3_runtime.PanicException") and (
                    kind == "misc" or _from_host_library(exc)):
                outcome = "host:" + outcome
        log.append({"kind": kind, "op": label, "outcome": outcome, "message": message,
                    "cpu_seconds": round(time.process_time() - t0, 4)})
        return value

    folder = str(folder)
    op("is_acquisition", "is_acquisition", lambda: vexoacq.is_acquisition(folder))
    op("list_acquisitions", "list_acquisitions(parent)", lambda: vexoacq.list_acquisitions(os.path.dirname(folder)))
    acq = op("Acquisition", "Acquisition(root)", lambda: vexoacq.Acquisition(folder), host_ok=True)
    out = tempfile.mkdtemp(prefix="fuzzout")
    if acq is not None:
        n = op("len", "len", lambda: len(acq))
        count = n if isinstance(n, int) else 0
        for name in ("chunk_count", "metadata", "params"):
            op(name, name, lambda name=name: getattr(acq, name))
        for name in ("readout_metadata", "pedestals_calibration", "adc_to_mv_calibration", "timing_calibration"):
            op("misc", name, lambda name=name: getattr(acq, name), host_ok=True)
        indices = sorted({0, 1, max(count - 1, 0), count, count + 1, rng.randrange(count + 3)})
        for i in indices:
            op("getitem", f"acq[{i}]", lambda i=i: acq[i])
            op("raw_event", f"raw_event({i})", lambda i=i: acq.raw_event(i))
            op("parsed_event", f"parsed_event({i})", lambda i=i: acq.parsed_event(i))
        op("slice", "acq[:]", lambda: acq[:])
        op("slice", "acq[1::2]", lambda: acq[1::2])
        # a for loop, not list(acq): list() asks len() for a size hint first,
        # and a failing count raises there by design
        op("iter", "for e in acq", lambda: [e for e in acq])
        it = iter(acq)
        op("iter", "next(it) x3", lambda: [next(it, None) for _ in range(3)])
        for corr in (False, True):
            op("export_csv", f"export_csv(corr={corr})", lambda corr=corr: vexoacq.export_csv(acq, indices, out, corr))
        # the export reads metadata.yml afresh, in its own parser: give it a
        # text that yaml.safe_load never saw
        meta = os.path.join(folder, "metadata.yml")
        if os.path.isfile(meta):
            with open(meta, "rb") as f:
                text = bytearray(f.read())
            for _ in range(rng.randint(1, 6)):
                if text:
                    at = rng.randrange(len(text))
                    text[at:at + rng.randint(0, 3)] = rng.choice((b"[", b"{", b"&a ", b"*a", b"!!", b":", b"\n  ",
                                                                   b"-", b"\xff", b"0x", b"#", b"'", b'"'))
            with open(meta, "wb") as f:
                f.write(text)
            op("export_csv", "export_csv(rewritten metadata)", lambda: vexoacq.export_csv(acq, indices, out, True))
    for _ in range(3):
        raw = _ecc_input(rng)
        op("ecc", f"ecc_check(len={len(raw)})", lambda raw=raw: vexoacq.ecc_check(raw))
        op("ecc", f"ecc_correct(len={len(raw)})", lambda raw=raw: vexoacq.ecc_correct(raw))
    return log


def _ecc_input(rng):
    chip = 131140
    n = rng.randint(1, 2)
    length = rng.choice((0, 1, 2, 3, chip * n - 5, chip * n - 6, chip * n, chip * n + 2, chip * n + 3, 100))
    if rng.random() < 0.5:
        return rng.randbytes(length)
    return rng.randbytes(min(length, 64)) + bytes(max(0, length - 64))


def _load_corpus(path):
    if not path or not os.path.isdir(path):
        return None
    return [Path(path, name).read_bytes() for name in sorted(os.listdir(path))]


def child_main(argv):
    # the limits are set here, first thing, rather than by a preexec_fn: the
    # parent runs cases from several threads, and preexec_fn is not safe there
    mem, cpu = (int(v) for v in os.environ["FUZZ_CHILD_LIMITS"].split(","))
    _limits(mem, cpu)()
    seed, folder = int(argv[0]), argv[1]
    known = "known" in argv[2:]
    corpus = _load_corpus(os.environ.get("FUZZ_EVENT_CORPUS"))
    params, files = make_case_params(seed, known, corpus)
    write_case(folder, files)
    log = exercise(folder, rng_seed=seed)
    peak_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    sys.stdout.write(json.dumps({"log": log, "peak_kb": peak_kb, "model": str(params["model"])}) + "\n")


# ------------------------------------------------------------------ the parent

def _limits(mem_bytes, cpu_seconds):
    def apply():
        resource.setrlimit(resource.RLIMIT_AS, (mem_bytes, mem_bytes))
        resource.setrlimit(resource.RLIMIT_CPU, (cpu_seconds, cpu_seconds + 1))
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    return apply


def run_in_child(args, *, mem_bytes, cpu_seconds, timeout, env=None):
    """Runs `python3 -m fuzz_support ARGS` under the limits; returns (rc, stdout, stderr, wall) or
    rc None on timeout."""
    env = dict(os.environ if env is None else env)
    env["FUZZ_CHILD_LIMITS"] = f"{mem_bytes},{cpu_seconds}"
    env["PYTHONPATH"] = os.pathsep.join([str(HERE)] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    t0 = time.perf_counter()
    proc = subprocess.Popen([sys.executable, "-m", "fuzz_support", *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env, start_new_session=True)
    try:
        out, err = proc.communicate(timeout=timeout)
        rc = proc.returncode
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, 9)
        out, err = proc.communicate()
        rc = None
    return rc, out.decode("utf-8", "replace"), err.decode("utf-8", "replace"), time.perf_counter() - t0


def classify(rc, out, err, wall, case_bytes, *, slow_seconds, peak_mb):
    """Findings of one child run: a list of (category, detail)."""
    if rc is None:
        return [("hang", f"no result after {wall:.1f} s")]
    if rc < 0:
        return [("signal", f"signal {-rc}: {err.strip()[-300:]}")]
    if rc != 0:
        kind = "memory" if "MemoryError" in err else "crash"
        if rc in (137, 152) or "CPU time" in err:
            kind = "hang"
        return [(kind, f"exit {rc}: {err.strip()[-300:]}")]
    result = json.loads(out.strip().splitlines()[-1])
    findings = []
    budget = slow_seconds + case_bytes / 2e6  # a second per couple of MB on top of a fixed allowance
    for entry in result["log"]:
        outcome = entry["outcome"]
        if outcome == "MemoryError" and entry["kind"] == "misc":
            continue  # gzip.decompress / pickle.loads of a calibration getter: the host's own
        if outcome == "MemoryError":
            findings.append(("memory", f"{entry['op']}: MemoryError"))
        elif outcome == "pyo3_runtime.PanicException":
            findings.append(("panic", f"{entry['op']} [{result['model']}]: {entry['message']}"))
        elif outcome != "ok" and not outcome.startswith("host:") and outcome not in ALLOWED[entry["kind"]]:
            findings.append(("exception", f"{entry['op']}: {outcome}: {entry['message']}"))
        if entry["cpu_seconds"] > budget:
            findings.append(("slow", f"{entry['op']}: {entry['cpu_seconds']:.2f} s of CPU for {case_bytes} bytes"))
    if result["peak_kb"] / 1024 > peak_mb + case_bytes * 50 / 2**20:
        findings.append(("memory", f"peak {result['peak_kb'] / 1024:.0f} MB for {case_bytes} bytes"))
    return findings


def run_case(seed, *, known=False, mem_bytes=2 << 30, cpu_seconds=60, timeout=600, slow_seconds=2.0,
             peak_mb=400, workdir=None):
    """Makes, writes and exercises case `seed` in a child; returns its findings."""
    corpus = _load_corpus(os.environ.get("FUZZ_EVENT_CORPUS"))
    case_bytes = sum(len(v) for v in make_case_params(seed, known, corpus)[1].values())
    with tempfile.TemporaryDirectory(dir=workdir, prefix="fuzzcase") as tmp:
        folder = os.path.join(tmp, "acq")
        args = [str(seed), folder] + (["known"] if known else [])
        rc, out, err, wall = run_in_child(args, mem_bytes=mem_bytes, cpu_seconds=cpu_seconds, timeout=timeout)
    return classify(rc, out, err, wall, case_bytes, slow_seconds=slow_seconds, peak_mb=peak_mb)


if __name__ == "__main__":
    child_main(sys.argv[1:])
