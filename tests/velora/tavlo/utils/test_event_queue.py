"""The bridge's event queue: numpy_ringbuffer's RingBuffer with atomic operations.

Each script runs step by step on the queue's class and on numpy_ringbuffer's own,
and every step must give the same value (or exception and message) and leave the
same state behind.  The one intended difference, that the queue lets go of a
popped element (its slot is set back to None), is applied to the reference too.
"""
import threading

import numpy as np
import pytest
from numpy_ringbuffer import RingBuffer

from velora.tavlo.utils import live_feed

Queue = type(live_feed.event_queue)


class Reference(RingBuffer):
    """numpy_ringbuffer's RingBuffer, releasing a popped object as the queue does."""

    def pop(self):
        value = super().pop()
        if self.dtype == object:
            self._arr[self._right_index % self._capacity] = None
        return value

    def popleft(self):
        value = super().popleft()
        if self.dtype == object:
            self._arr[(self._left_index - 1) % self._capacity] = None
        return value


def plain(value):
    """A value in a form that compares by contents (arrays, iterators, numpy scalars)."""
    if isinstance(value, np.ndarray):
        return ("array", value.dtype.str, value.shape, value.tolist())
    if hasattr(value, "__next__"):
        return ("iterator", [plain(v) for v in value])
    if isinstance(value, np.generic):
        return ("scalar", value.dtype.str, value.tolist())
    return value


def outcome(q, step):
    try:
        return "value", plain(eval(step, {"np": np, "q": q}))
    except Exception as e:  # noqa: BLE001 - the exception is what is compared
        return "raised", type(e), str(e)


def state(q):
    return (q._left_index, q._right_index, plain(q._arr), len(q), q.is_full, plain(np.asarray(q)))


FILL = ["q.append(%d)" % i for i in range(5)]
OBJECT_SCRIPTS = {
    "empty": ["len(q)", "q.pop()", "q.popleft()", "q[0]", "q[-1]", "q[:]", "list(q)", "np.asarray(q)",
              "q.is_full", "q.maxlen", "q.dtype", "q.shape", "repr(q)", "q.extend([])"],
    "append-pop": FILL + ["q.pop()", "q.popleft()", "q.pop()", "q.popleft()", "q.pop()", "q.pop()", "q.popleft()"],
    "appendleft": ["q.appendleft(%d)" % i for i in range(6)] + ["list(q)", "q.pop()", "q.appendleft('x')"],
    "wrap-around": [s for i in range(13) for s in ("q.append(%d)" % i, "q.append(-%d)" % i, "q.popleft()")],
    "wrap-left": [s for i in range(13) for s in ("q.appendleft(%d)" % i, "q.appendleft(-%d)" % i, "q.pop()")],
    "indexing": FILL + ["q.append(5)", "q.popleft()"] + ["q[%d]" % i for i in range(-9, 9)] + [
        "q[10**6]", "q[-10**6]", "q[2**63 - 1]", "q[2**70]", "q[True]", "q[np.int64(1)]", "q[1:3]", "q[::-1]",
        "q[-2:]", "q[7:]", "q[np.array([0, 2])]", "q[(0,)]", "q['a']", "q[1.0]", "q[None]"],
    "extend": ["q.extend([1, 2])", "q.extend((3,))", "q.extend([4, 5, 6])", "list(q)", "q.extend(range(9))",
               "q.extend(iter([1]))", "q.extend([7])", "q.popleft()", "q.extend([])"],
    "extend-long": ["q.append('a')", "q.extend(list(range(20)))", "list(q)", "q.pop()", "q.extend('abcdefgh')",
                    "q.popleft()", "q.extend([1, 2])"],
    "extend-long-empty": ["q.extend(list(range(20)))", "list(q)", "q.extendleft(list(range(20)))"],
    "extendleft": ["q.append(0)", "q.extendleft([1, 2])", "q.extendleft((3, 4, 5))", "list(q)",
                   "q.extendleft(list(range(9)))", "q.pop()", "q.popleft()", "q.extendleft(['z'])"],
    "mixed-values": ["q.append(None)", "q.append((1, 2))", "q.appendleft([3])", "q.append(object) ", "q[-1] is object",
                     "q.extend([(5, 6)])", "q.popleft()", "len(q)"],
    # State the native steps do not take on (numpy ints, a replaced or read-only array).
    "foreign-state": ["q.append(1)", "q._right_index = np.int64(q._right_index)", "q.append(2)", "q.appendleft(0)",
                      "q[1]", "len(q)", "q._right_index = int(q._right_index)", "q._arr = q._arr.copy()",
                      "q.append(3)", "q[-1]", "q._arr.flags.writeable = False", "q.append(4)", "q.appendleft(5)",
                      "len(q)", "q[0]"],
    "sequence-helpers": FILL + ["3 in q", "9 in q", "q.count(2)", "q.index(4)", "list(reversed(q))",
                                "np.asarray(q, dtype=object)", "q.__array__()"],
}
OTHER_SCRIPTS = [
    (float, FILL + ["q.append(1.5)", "q.pop()", "q.popleft()", "q[0]", "q[-1]", "q[1:]", "q.append('x')",
                    "q.extend([1, 2, 3, 4, 5, 6])", "list(q)", "q.extendleft([9])"]),
    (np.int64, FILL + ["q.appendleft(7)", "q.pop()", "q[2]", "q.extend(np.arange(3))", "q.append(2**70)"]),
    ((float, 2), ["q.append([1, 2])", "q.append([3, 4])", "q.append(5)", "q.shape", "q[0]", "q.pop()",
                  "q.extend([[1, 1]] * 7)", "np.asarray(q)", "q.append([1, 2, 3])"]),
]
TABLE = [pytest.param(6, object, steps, id=name) for name, steps in OBJECT_SCRIPTS.items()]
TABLE += [pytest.param(6, dtype, steps, id=str(dtype)) for dtype, steps in OTHER_SCRIPTS]
TABLE += [pytest.param(1, object, FILL[:2] + ["q.pop()", "q.appendleft(1)", "q[3]", "q.extend([1, 2])"],
                       id="capacity-1")]


@pytest.mark.parametrize("overwrite", [True, False], ids=["overwrite", "no-overwrite"])
@pytest.mark.parametrize("capacity, dtype, steps", TABLE)
def test_each_step_gives_what_numpy_ringbuffer_gives(capacity, dtype, steps, overwrite):
    queue = Queue(capacity=capacity, dtype=dtype, allow_overwrite=overwrite)
    reference = Reference(capacity=capacity, dtype=dtype, allow_overwrite=overwrite)
    if dtype is not object:  # np.empty's contents
        queue._arr[...] = reference._arr[...] = 0
    assert isinstance(queue, RingBuffer) and state(queue) == state(reference)
    for step in steps:
        assert outcome(queue, step) == outcome(reference, step), step
        assert state(queue) == state(reference), step


def test_producers_and_a_consumer_on_a_small_full_queue(fast_switching):
    # Producers 0 and 1 append one event at a time (the native step), 2 and 3 extend
    # by two (numpy_ringbuffer's method, under the queue's lock); a full queue
    # refuses and the producer tries again.  One consumer takes events from the left
    # and now and then looks at the whole queue.
    queue = Queue(capacity=8, dtype=object, allow_overwrite=False)
    count, producers = 300, 4  # 150 times round the queue
    refused = [0] * producers
    taken, snapshots, errors, finished = [], [], [], []

    def produce(tid):
        try:
            for seq in range(0, count, 1 if tid < 2 else 2):
                while True:
                    try:
                        if tid < 2:
                            queue.append((tid, seq))
                        else:
                            queue.extend([(tid, seq), (tid, seq + 1)])
                        break
                    except IndexError as e:
                        assert "overwrite disabled" in str(e)
                        refused[tid] += 1
            finished.append(tid)
        except BaseException as e:  # noqa: BLE001 - reported by the main thread
            errors.append(e)

    def consume():
        try:
            while not errors and (len(finished) < producers or len(queue)):
                try:
                    taken.append(queue.popleft())
                except IndexError as e:
                    assert str(e) == "pop from an empty RingBuffer"
                    continue
                if len(taken) % 97 == 0:
                    snapshots.append(list(queue))
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=produce, args=(t,), daemon=True) for t in range(producers)]
    threads.append(threading.Thread(target=consume, daemon=True))
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads) and errors == []
    for tid in range(producers):
        assert [seq for t, seq in taken if t == tid] == list(range(count))
    assert len(taken) == count * producers and len(queue) == 0
    assert all(refused), refused  # every producer found the queue full at times
    for snapshot in snapshots:
        assert len(snapshot) <= 8
        for tid in range(producers):
            seqs = [seq for t, seq in snapshot if t == tid]
            assert seqs == sorted(seqs)
    assert all(slot is None for slot in queue._arr)  # taken events are not kept
