"""The event queue under two threads: one appends, the other takes the events out as
the framework's consumer does (reads the backlog, pops that many, sleeps briefly
when there is none), each queue checked to deliver every event once, in order."""
import threading
import time

from numpy_ringbuffer import RingBuffer

from common import modules

POLL = 0.0005   # the framework's poll interval when the queue is empty


def one_run(kind, n):
    """Events per second through a fresh queue of `kind` with room for all `n`."""
    q = kind(capacity=n, dtype=object)
    items = list(range(n))
    got = []

    def produce(append=q.append, items=items):
        for x in items:
            append(x)

    def consume(size=q.__len__, popleft=q.popleft, put=got.append, n=n, sleep=time.sleep):
        left = n
        while left:
            backlog = size()
            if backlog:
                for _ in range(backlog):
                    put(popleft())
                left -= backlog
            else:
                sleep(POLL)

    threads = [threading.Thread(target=consume), threading.Thread(target=produce)]
    began = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    seconds = time.perf_counter() - began
    if got != items:
        raise AssertionError("%s lost, repeated or reordered events" % kind.__name__)
    return n / seconds


def measure(n, rounds):
    """Rounds interleaved, native first then plain: events per second of each, and the
    median of the per-round ratios native / plain."""
    native_kind = type(modules("live_feed")[0].event_queue)
    rates = {"native": [], "plain": []}
    for _ in range(rounds):
        rates["native"].append(one_run(native_kind, n))
        rates["plain"].append(one_run(RingBuffer, n))
    ratios = sorted(a / b for a, b in zip(rates["native"], rates["plain"]))
    median = lambda xs: sorted(xs)[len(xs) // 2]
    return {"events": n, "rounds": rounds, "native_per_s": median(rates["native"]),
            "plain_per_s": median(rates["plain"]), "ratio": ratios[len(ratios) // 2], "samples": rates}
