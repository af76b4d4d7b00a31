"""Timing: sides of one path measured interleaved, in the same process, on the same inputs.

A `Path` has up to three sides, each a batch function that makes a fixed number
of calls and a skeleton that does the same loop without the calls:

- ``native``: the extension module;
- ``plain``: the plain-Python equivalent in bench/plain;
- ``floor``: the calls into the framework (or library) that either of them
  cannot avoid, made directly with their arguments prepared beforehand.

Each repetition runs every side once, in an order that rotates from one
repetition to the next, with the cyclic garbage collector paused for the batch
(as timeit does); the per-call time of a batch is (batch - skeleton) / calls.
The result per side is the median over the repetitions, with the interquartile
range as the spread; the per-repetition samples are kept, so that ratios can be
taken between batches that ran next to each other (see `paired`).
"""
import gc
import statistics
import time

SIDES = ("native", "plain", "floor")


class Side:
    def __init__(self, run, calls, skeleton=None, setup=None):
        self.run = run              # run(): one batch of `calls` calls
        self.calls = calls
        self.skeleton = skeleton    # skeleton(): the same loop doing nothing
        self.setup = setup          # setup(): before each batch, untimed


class Path:
    def __init__(self, name, inputs, native, plain, floor=None, check=None, note="", group=""):
        self.name = name
        self.inputs = inputs        # what the calls are made on, in words
        self.sides = {"native": native, "plain": plain}
        if floor is not None:
            self.sides["floor"] = floor
        self.check = check          # check(): raises if the sides disagree on these inputs
        self.note = note
        self.group = group


def _batch(fn):
    gc.disable()
    try:
        t0 = time.perf_counter_ns()
        fn()
        t1 = time.perf_counter_ns()
    finally:
        gc.enable()
    return t1 - t0


def summarise(samples):
    raw = list(samples)
    samples = sorted(samples)
    median = statistics.median(samples)
    if len(samples) >= 4:
        q = statistics.quantiles(samples, n=4, method="inclusive")
        iqr = q[2] - q[0]
    else:
        iqr = samples[-1] - samples[0]
    return {"median_ns": median, "iqr_ns": iqr, "min_ns": samples[0], "max_ns": samples[-1],
            "repetitions": len(samples), "samples_ns": raw}


def paired(fn, *summaries):
    """The median of fn(a, b, ...) over the repetitions, each taken from the samples of
    one repetition: batches that ran next to each other, under the same load."""
    values = [fn(*xs) for xs in zip(*(s["samples_ns"] for s in summaries))]
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def measure(path, repetitions, target_ns, budget_ns=4e9, least=7):
    """Per-call times of each side of `path`, in ns: {side: summary}.  A path whose
    single calls are slow gets fewer repetitions (no fewer than `least`), so that it
    takes about `budget_ns` in all."""
    names = [s for s in SIDES if s in path.sides]
    # Warm up every side (caches, inline caches, the allocator), then size the batches.
    loops, sample_ns = {}, 0
    for name in names:
        side = path.sides[name]
        if side.setup:
            side.setup()
        _batch(side.run)
        if side.setup:
            side.setup()
        once = max(_batch(side.run), 1)
        loops[name] = max(1, min(1000, int(target_ns // once)))
        sample_ns += once * loops[name]
    repetitions = min(repetitions, max(least, int(budget_ns // max(sample_ns, 1))))
    samples = {name: [] for name in names}
    for rep in range(repetitions):
        order = names[rep % len(names):] + names[:rep % len(names)]
        for name in order:
            side = path.sides[name]
            k = loops[name]
            total = 0
            for _ in range(k):
                if side.setup:
                    side.setup()
                total += _batch(side.run)
            skeleton = 0
            if side.skeleton is not None:
                for _ in range(k):
                    skeleton += _batch(side.skeleton)
            samples[name].append(max(total - skeleton, 0) / (k * side.calls))
    return {name: summarise(s) for name, s in samples.items()}
