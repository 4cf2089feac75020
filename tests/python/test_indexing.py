"""len(), integer and slice indexing, iteration."""

import pytest

import acqbuilder
import vexoacq
from conftest import small_event

Acquisition = vexoacq.Acquisition


def events(d_list):
    """The first sample of each event dict (event k starts with sample k)."""
    return [d["data"][0][0] for d in d_list]


@pytest.fixture
def acq(five_events):
    return Acquisition(str(five_events))


def test_len_and_last_event(acq):
    assert len(acq) == 5
    assert bool(acq)
    assert acq[4]["data"] == [[4.0, 5.0, 6.0, 7.0]]


@pytest.mark.parametrize(
    "index, exc, message",
    [
        (5, IndexError, "Index out of bounds"),
        (2**40, IndexError, "Index out of bounds"),
        (-1, IndexError, "index out of bounds"),
        (1.0, TypeError, "index must be an int or a slice"),
        ("1", TypeError, "index must be an int or a slice"),
        (None, TypeError, "index must be an int or a slice"),
        (2**64, TypeError, "index must be an int or a slice"),
        (-(2**64), TypeError, "index must be an int or a slice"),
    ],
)
def test_integer_index_errors(acq, index, exc, message):
    with pytest.raises(exc) as info:
        acq[index]
    assert type(info.value) is exc
    assert info.value.args == (message,)


def test_bool_and_dunder_index(acq):
    class Two:
        def __index__(self):
            return 2

    assert events([acq[True], acq[False], acq[Two()]]) == [1.0, 0.0, 2.0]


@pytest.mark.parametrize(
    "sl, expected",
    [
        (slice(1, 3), [1, 2]),
        (slice(-2, None), [3, 4]),
        (slice(None, None, 2), [0, 2, 4]),
        (slice(None, None, 3), [0, 3]),
        (slice(3, 1), []),
        (slice(10, None), []),
        (slice(None, 100), [0, 1, 2, 3, 4]),
        (slice(-100, 2), [0, 1]),
        (slice(4, 5, 2**62), [4]),
        (slice(0, 2**63 - 1, 2**62), [0]),
    ],
)
def test_slices(acq, sl, expected):
    got = acq[sl]
    assert type(got) is list
    assert events(got) == [float(i) for i in expected]


@pytest.mark.parametrize(
    "sl, exc, message",
    [
        (slice(None, None, -1), IndexError, "index out of bounds"),
        (slice(4, 0, -1), IndexError, "index out of bounds"),
        (slice(None, None, 0), ValueError, None),
        (slice("a", None), TypeError, None),
    ],
)
def test_slice_errors(acq, sl, exc, message):
    with pytest.raises(exc) as info:
        acq[sl]
    if message is not None:
        assert info.value.args == (message,)


def test_empty_acquisition(make_acq):
    acq = Acquisition(str(make_acq("empty")))
    assert len(acq) == 0
    assert not acq
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        acq[0]
    assert acq[:] == []
    assert list(acq) == []


@pytest.fixture
def bad_third(make_acq):
    evs = [small_event(k) for k in range(5)]
    evs[2] = evs[2][:-1]  # event 2 does not decode
    return make_acq("bad", chunks=[evs[:3], evs[3:]])


def test_slice_with_a_bad_event_returns_nothing(bad_third):
    acq = Acquisition(str(bad_third))
    with pytest.raises(Exception) as info:
        acq[0:5]
    assert type(info.value).__name__ == "ParsingError"
    assert events(acq[3:5]) == [3.0, 4.0]


def test_iteration_stops_at_a_bad_event_and_retries_it(bad_third):
    acq = Acquisition(str(bad_third))
    it = iter(acq)
    assert events(list(it)) == [0.0, 1.0]
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)
    # Repair event 2 in place: the same iterator now yields it and goes on.
    evs = [small_event(k) for k in range(3)]
    acqbuilder.write_chunk(bad_third, 0, evs)
    assert events(list(it)) == [2.0, 3.0, 4.0]


def test_iteration_resumes_after_a_new_chunk(make_acq):
    folder = make_acq("grow", chunks=[[small_event(0), small_event(1)]])
    acq = Acquisition(str(folder))
    it = iter(acq)
    assert events(it) == [0.0, 1.0]
    acqbuilder.write_chunk(folder, 1, [small_event(2)])
    assert events([next(it)]) == [2.0]
    with pytest.raises(StopIteration):
        next(it)


def test_iterator_type(acq):
    it = iter(acq)
    assert iter(it) is it
    cls = type(it)
    assert cls.__name__ == "IterEvents"
    assert cls.__module__ == "builtins"
    assert cls.__doc__ == "Iterator over events in an acquisition"
    assert cls.__text_signature__ == "(acq)"
    assert type(iter(acq)) is cls
    next(it)
    second = cls(acq)
    assert events([next(second)]) == [0.0]
    assert events(list(cls(acq=acq))) == [0.0, 1.0, 2.0, 3.0, 4.0]
    with pytest.raises(TypeError):
        class Sub(cls):  # noqa: F841
            pass


@pytest.mark.parametrize(
    "arg, message",
    [
        (5, "argument 'acq': 'int' object is not an instance of 'Acquisition'"),
        (None, "argument 'acq': 'None' is not an instance of 'Acquisition'"),
    ],
)
def test_iterator_constructor_errors(acq, arg, message):
    cls = type(iter(acq))
    with pytest.raises(TypeError) as info:
        cls(arg)
    assert str(info.value) == message
    with pytest.raises(TypeError) as info:
        cls()
    assert str(info.value) == "IterEvents.__new__() missing 1 required positional argument: 'acq'"


def test_separate_iterators_do_not_interfere(acq):
    a, b = iter(acq), iter(acq)
    assert events([next(a), next(a), next(b)]) == [0.0, 1.0, 0.0]


def test_concurrent_next_on_one_iterator(acq):
    # Threads sharing one iterator: no event is yielded twice or skipped; a
    # clash of two __next__ calls may only show as "Already borrowed".
    import threading

    it = iter(acq)
    got, errors = [], []
    lock = threading.Lock()

    def worker():
        while True:
            try:
                item = next(it)
            except StopIteration:
                return
            except RuntimeError as e:
                with lock:
                    errors.append(str(e))
                continue
            with lock:
                got.append(item["data"][0][0])

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(got) == [0.0, 1.0, 2.0, 3.0, 4.0]
    assert set(errors) <= {"Already borrowed"}
