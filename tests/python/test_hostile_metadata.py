"""Damaged and hostile "metadata.yml" and auxiliary files.

Every case runs in a fresh interpreter under an address-space limit, a
CPU-time limit and a wall-clock limit, so that a call that computes or
allocates without bound, or waits for ever, fails its case instead of
stalling or exhausting the test run.  The memory and CPU bounds are some
tens of times what the cases need (the costliest takes under a second of
CPU); the wall-clock bound only catches a child that waits without using
CPU (a FIFO read), and is far above anything the machine's load explains.
"""

import os
import resource
import subprocess
import sys
import textwrap

import pytest

import acqbuilder
import vexoacq
from conftest import SMALL_PARAMS, child_env, run_limited, small_event

MEMORY_LIMIT = 1 << 30  # bytes of address space for the child
CPU_LIMIT = 20  # seconds of CPU time for the child

COUNTS = "  channels: 1\n  windows: 2\n  samples: 2\n"


def run_bounded(code, *args):
    """Runs `code` in a child interpreter under the limits; returns its stdout."""

    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, MEMORY_LIMIT))

    proc = run_limited([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], cpu_seconds=CPU_LIMIT,
                       preexec_fn=limit)
    assert proc.returncode == 0, (proc.returncode, proc.stderr)
    return proc.stdout


def make_special(path, kind):
    if kind == "fifo":
        os.mkfifo(path)
    else:
        os.symlink("/dev/zero", path)


def one_event_acq(folder, **kwargs):
    kwargs.setdefault("params", SMALL_PARAMS)
    return acqbuilder.write_acquisition(folder, chunks=[[small_event(0)]], **kwargs)


# ------------------------------------------------------ special files

@pytest.mark.parametrize("kind", ["fifo", "dev_zero"])
def test_special_metadata_file_is_unreadable(tmp_path, kind):
    # The object is made while metadata.yml is a regular file; then the file
    # becomes a FIFO (reading it would wait for a writer for ever) or a link to
    # /dev/zero (reading it would never end).
    root = one_event_acq(tmp_path / "listed" / "acq")
    out = tmp_path / "out"
    out.mkdir()
    got = run_bounded("""
        import os, sys, vexoacq
        root, out, kind = sys.argv[1:]
        acq = vexoacq.Acquisition(root)
        path = os.path.join(root, "metadata.yml")
        os.remove(path)
        os.mkfifo(path) if kind == "fifo" else os.symlink("/dev/zero", path)
        assert vexoacq.is_acquisition(root)  # recognising a folder opens nothing
        assert vexoacq.list_acquisitions(os.path.dirname(root)) == []
        try:
            vexoacq.Acquisition(root)
        except OSError as e:
            print(type(e).__name__, e)
        try:
            vexoacq.export_csv(acq, [0], out, False)
        except Exception as e:
            print(type(e).__name__, e)
        print(os.listdir(out))
    """, root, out, kind)
    assert got.splitlines() == [
        "OSError Could not read acquisition: failed to read metadata",
        "MetadataError Could not process metadata: invalid metadata format",
        "[]",
    ]


@pytest.mark.parametrize("kind", ["fifo", "dev_zero"])
def test_special_auxiliary_files_are_unreadable(tmp_path, kind):
    root = one_event_acq(tmp_path / "acq")
    for name in acqbuilder.MISC_FILES:
        make_special(root / name, kind)
    plain, corrected = tmp_path / "plain", tmp_path / "corrected"
    plain.mkdir()
    corrected.mkdir()
    got = run_bounded("""
        import sys, vexoacq
        root, plain, corrected = sys.argv[1:]
        acq = vexoacq.Acquisition(root)
        for getter in ("readout_metadata", "pedestals_calibration", "timing_calibration", "adc_to_mv_calibration"):
            try:
                getattr(acq, getter)
            except OSError as e:
                print(getter, type(e).__name__, e)
        # An unreadable pedestals file means no subtraction, as a missing one does.
        vexoacq.export_csv(acq, [0], plain, False)
        vexoacq.export_csv(acq, [0], corrected, True)
        print("exported")
    """, root, plain, corrected)
    message = "OSError Could not read acquisition: Invalid argument (os error 22)"
    assert got.splitlines() == [
        "readout_metadata " + message,
        "pedestals_calibration " + message,
        "timing_calibration " + message,
        "adc_to_mv_calibration " + message,
        "exported",
    ]
    names = sorted(p.name for p in plain.iterdir())
    assert names and names == sorted(p.name for p in corrected.iterdir())
    assert all((plain / n).read_bytes() == (corrected / n).read_bytes() for n in names)


# ------------------------------------------------------ hostile texts

def params_text(extra_lines="", before=""):
    return before + "params:\n  model: ryk16\n" + COUNTS + extra_lines + "registers: {}\n"


def alias_bomb(items):
    # One anchored list of `items` scalars under an ignored key, and a list of
    # `items` aliases of it inside params: about 4*items bytes of aliases that
    # would copy items**2 nodes if each built its own.
    return params_text("  x: [" + ", ".join(["*a"] * items) + "]\n",
                       before="other: &a [" + ", ".join(["1"] * items) + "]\n")


def laughs(levels):
    # l0 holds ten scalars and each l(k) ten aliases of l(k-1): reading
    # l(levels) follows about 10**levels aliases.
    out = "{l0: &l0 [" + ", ".join(["0"] * 10) + "]"
    for k in range(1, levels + 1):
        out += ", l%d: &l%d [" % (k, k) + ", ".join(["*l%d" % (k - 1)] * 10) + "]"
    return out + "}"


def register_blocks(registers, channels):
    # One block of registers written once and named by every channel.
    return (params_text().replace("registers: {}\n", "registers:\n  defaults: &d\n")
            + "".join("    reg%d: %d\n" % (r, r) for r in range(registers))
            + "".join("  ch%d: *d\n" % c for c in range(channels)))


HOSTILE_TEXTS = [
    # About 10**9 aliases followed, from 700 bytes, inside params, and from
    # params into a nest written under an ignored key.
    ("laughs_in_params", params_text("  l: " + laughs(9) + "\n")),
    ("laughs_named_from_params", params_text("  l: *l9\n", before="junk: " + laughs(9) + "\n")),
    # 500 KB of flow mappings nested inside params.
    ("deep_model", "params:\n  model: " + "{a: " * 125_000 + "1" + "}" * 125_000 + "\n"),
    # Deep sequences inside registers, and under an ignored key (200 KB).
    ("deep_registers", params_text().replace("registers: {}", "registers: {r: " + "[" * 100_000
                                             + "]" * 100_000 + "}")),
    ("deep_ignored", "other: " + "[" * 100_000 + "]" * 100_000 + "\n" + params_text()),
]


@pytest.mark.parametrize("text", [t for _, t in HOSTILE_TEXTS], ids=[n for n, _ in HOSTILE_TEXTS])
def test_hostile_metadata_is_rejected_within_bounds(tmp_path, text):
    # export_csv types metadata.yml in C++ alone, so it shows the typing's own
    # cost; the constructor hands the text to yaml.safe_load first.
    root = one_event_acq(tmp_path / "acq")
    out = tmp_path / "out"
    out.mkdir()
    (tmp_path / "hostile.yml").write_text(text)
    got = run_bounded("""
        import os, shutil, sys, vexoacq
        root, out, hostile = sys.argv[1:]
        acq = vexoacq.Acquisition(root)
        shutil.copyfile(hostile, os.path.join(root, "metadata.yml"))
        try:
            vexoacq.export_csv(acq, [0], out, False)
        except Exception as e:
            print(type(e).__name__, e)
        try:
            vexoacq.Acquisition(root)
        except Exception as e:
            print(type(e).__name__)
    """, root, out, tmp_path / "hostile.yml")
    lines = got.splitlines()
    assert lines[0] == "MetadataError Could not process metadata: failed to serialized"
    # Deep nesting makes yaml.safe_load itself give up (RecursionError) before
    # the typing runs; the aliases are refused by the typing.
    assert lines[1:] in (["MetadataError"], ["RecursionError"])


def test_ordinary_aliases_and_nesting_are_kept(tmp_path):
    text = params_text("  gains: &g [1, 2, 3]\n  again: *g\n  table: [*g, *g, {k: *g}]\n"
                       "  deep: " + "[" * 40 + "7" + "]" * 40 + "\n",
                       before="common: &c {x: 1}\nnested: " + "{a: " * 300 + "1" + "}" * 300 + "\n")
    root = one_event_acq(tmp_path / "acq", metadata=text)
    acq = vexoacq.Acquisition(str(root))
    assert acq.params["again"] == [1, 2, 3]
    assert acq.params["table"] == [[1, 2, 3], [1, 2, 3], {"k": [1, 2, 3]}]
    out = tmp_path / "out"
    out.mkdir()
    assert vexoacq.export_csv(acq, [0], str(out), False) is None
    assert len(list(out.iterdir())) == 1


# Aliases count one expansion each, not the size of the node they name.
ACCEPTED_ALIAS_TEXTS = [
    # 35 KB, 5000 expansions; 3 GB and several seconds if each alias built a copy.
    ("alias_bomb", alias_bomb(5000)),
    # 200 registers named by 208 channels, and 500 by 130.
    ("register_blocks_208", register_blocks(200, 208)),
    ("register_blocks_130", register_blocks(500, 130)),
    # Unread under ignored keys.
    ("laughs_ignored", params_text(before="junk: " + laughs(9) + "\nmore: [*l9]\n")),
]


@pytest.mark.parametrize("text", [t for _, t in ACCEPTED_ALIAS_TEXTS], ids=[n for n, _ in ACCEPTED_ALIAS_TEXTS])
def test_aliases_within_the_limit_are_typed_within_bounds(tmp_path, text):
    # export_csv types metadata.yml in C++; it succeeds only when the typing accepts it.
    root = one_event_acq(tmp_path / "acq", metadata=text)
    out = tmp_path / "out"
    out.mkdir()
    got = run_bounded("""
        import os, sys, vexoacq
        root, out = sys.argv[1:]
        print(vexoacq.export_csv(vexoacq.Acquisition(root), [0], out, False), len(os.listdir(out)))
    """, root, out)
    assert got.split() == ["None", "1"]


def limit_text(pad, last):
    # registers: `a` a scalar, `b` a list of B aliases of it, `l` a list of L
    # aliases of b, `z` the scalar 0 or one more alias of a; an ignored list
    # of `pad` scalars adds events and nothing else.  Reading registers
    # follows B aliases in b, 1 + B for each alias of b, and one for z.
    return ("pad: [" + ", ".join(["0"] * pad) + "]\n" + params_text().replace("registers: {}\n", "")
            + "registers:\n  a: &a 0\n  b: &b [" + ", ".join(["*a"] * LIMIT_B) + "]\n"
            + "  l: [" + ", ".join(["*b"] * LIMIT_L) + "]\n  z: " + last + "\n")


LIMIT_B, LIMIT_L = 200, 300
LIMIT_EXPANSIONS = LIMIT_B + LIMIT_L * (1 + LIMIT_B)  # without z's alias: 60500


def events(text):
    import yaml
    kinds = (yaml.ScalarEvent, yaml.AliasEvent, yaml.SequenceStartEvent, yaml.SequenceEndEvent,
             yaml.MappingStartEvent, yaml.MappingEndEvent)
    return sum(isinstance(e, kinds) for e in yaml.parse(text))


def limit_pad():
    # The padding that makes the document exactly LIMIT_EXPANSIONS / 100 events.
    assert LIMIT_EXPANSIONS % 100 == 0
    pad = LIMIT_EXPANSIONS // 100 - events(limit_text(0, "0"))
    assert pad > 0 and events(limit_text(pad, "0")) * 100 == LIMIT_EXPANSIONS
    return pad


@pytest.mark.parametrize("pad_delta,last,accepted", [
    (0, "0", True),     # expansions exactly 100 times the events
    (0, "*a", False),   # one more expansion, the same events
    (-1, "0", False),   # one event fewer: the limit drops by 100
    (1, "*a", True),    # one event more makes room for it
])
def test_alias_limit_is_100_expansions_per_event(tmp_path, pad_delta, last, accepted):
    text = limit_text(limit_pad() + pad_delta, last)
    root = one_event_acq(tmp_path / "acq")
    acq = vexoacq.Acquisition(str(root))
    # export_csv reads metadata.yml afresh and types it in C++ alone.
    (root / "metadata.yml").write_text(text)
    out = tmp_path / "out"
    out.mkdir()
    if accepted:
        assert vexoacq.export_csv(acq, [0], str(out), False) is None
    else:
        with pytest.raises(Exception) as info:
            vexoacq.export_csv(acq, [0], str(out), False)
        assert type(info.value).__name__ == "MetadataError"
        assert info.value.args == ("Could not process metadata: failed to serialized",)


# A 500 KB string anchored once and named 50000 times as a mapping key: 25 GB
# of key text if each use were hashed or copied in full, from a text under
# 1 MB.  Within params the second use is a duplicate key, which is refused.
LONG_KEY = "other: &a '" + "x" * 500_000 + "'\n"
KEY_USES = 50_000
NAMED_KEY_TEXTS = [
    ("params_keys", params_text("  *a : 1\n" * KEY_USES, before=LONG_KEY), False),
    ("params_nested", params_text("  v: [" + ",".join(["{*a: 1}"] * KEY_USES) + "]\n", before=LONG_KEY), True),
    ("registers_nested", params_text(before=LONG_KEY).replace(
        "registers: {}", "registers: {l: [" + ",".join(["{*a: 1}"] * KEY_USES) + "]}"), True),
    ("ignored_top_level", params_text(before=LONG_KEY + "*a : 1\n" * KEY_USES), True),
]
NAMED_KEY_MEMORY = 512 << 20  # bytes of address space for the child


# A %TAG prefix of 500 KB named by 25000 tags of a few bytes: 12.5 GB of tag
# text if each node kept its own copy.  A tag that is not a standard one is
# refused in params and kept in registers, with a local prefix too.
LONG_PREFIX = "%TAG !a! tag:x.org,2000:" + "p" * 500_000 + "\n%TAG !l! !q\n---\n"
LOCAL_PREFIX = "%TAG !a! tag:x.org,2000:\n%TAG !l! !" + "q" * 500_000 + "\n---\n"
TAG_USES = 25_000
LONG_TAG_TEXTS = [
    ("params_values", LONG_PREFIX + params_text("  v: [" + ", ".join(["!a!x 1"] * TAG_USES) + "]\n"), False),
    ("registers_values", LONG_PREFIX + params_text().replace(
        "registers: {}", "registers: {l: [" + ", ".join(["!a!x 1"] * TAG_USES) + "]}"), True),
    ("registers_distinct", LONG_PREFIX + params_text().replace(
        "registers: {}", "registers: {l: [" + ", ".join("!a!%d 1" % k for k in range(TAG_USES)) + "]}"), True),
    ("registers_local", LOCAL_PREFIX + params_text().replace(
        "registers: {}", "registers: {l: [" + ", ".join(["!l!x 1"] * TAG_USES) + "]}"), True),
    ("registers_keys", LONG_PREFIX + params_text().replace(
        "registers: {}", "registers: {l: [" + ", ".join(["{!a!x k: 1}"] * TAG_USES) + "]}"), True),
    ("ignored_values", LONG_PREFIX + "other: [" + ", ".join(["!a!x 1"] * TAG_USES) + "]\n" + params_text(), True),
]


@pytest.mark.parametrize("text,accepted", [(t, a) for _, t, a in NAMED_KEY_TEXTS + LONG_TAG_TEXTS],
                         ids=[n for n, _, _ in NAMED_KEY_TEXTS + LONG_TAG_TEXTS])
def test_long_named_keys_and_tags_are_typed_within_cpu_and_memory_bounds(tmp_path, text, accepted):
    assert len(text) < 1 << 20
    root = one_event_acq(tmp_path / "acq")
    out = tmp_path / "out"
    out.mkdir()
    (tmp_path / "hostile.yml").write_text(text)
    # The CPU-time bound starts after the interpreter and the module are up:
    # two seconds more than they used, which the machine's load does not
    # stretch; typing these texts takes a small fraction of that.
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent("""
        import os, resource, shutil, sys, vexoacq
        root, out, hostile, memory = sys.argv[1:]
        resource.setrlimit(resource.RLIMIT_AS, (int(memory), int(memory)))
        acq = vexoacq.Acquisition(root)
        shutil.copyfile(hostile, os.path.join(root, "metadata.yml"))
        used = resource.getrusage(resource.RUSAGE_SELF)
        cpu = int(used.ru_utime + used.ru_stime) + 2
        resource.setrlimit(resource.RLIMIT_CPU, (cpu, cpu + 1))
        try:
            print(vexoacq.export_csv(acq, [0], out, False), len(os.listdir(out)))
        except Exception as e:
            print(type(e).__name__, e)
    """), os.fspath(root), os.fspath(out), os.fspath(tmp_path / "hostile.yml"), str(NAMED_KEY_MEMORY)],
        capture_output=True, text=True, env=child_env(), timeout=600)
    assert proc.returncode == 0, (proc.returncode, proc.stderr[-2000:])
    if accepted:
        assert proc.stdout.split() == ["None", "1"]
    else:
        assert proc.stdout.strip() == "MetadataError Could not process metadata: failed to serialized"
