"""The framework's side of the live bridge's queue.

`LiveEventSource` takes the events out of the bridge's ``event_queue`` (read
from the bridge module at every poll, oldest first) on a thread of its own and
hands each to the handlers registered for its type, in registration order.  It
counts what it took; an exception raised by a handler is kept in ``errors``
(with the event) and the source goes on with the next event.

The queue (numpy_ringbuffer's RingBuffer) takes no lock.  With one thread
appending and this one popping, each index has one writer, except when the
buffer is full (the producer then moves the left index too) and each time a
million events have been taken (``popleft`` moves both indices back by the
capacity): an append that interleaves with either can lose or repeat events.
Whoever relies on this source should count what it took, as the main job does.
"""
import threading
import time
from collections import Counter


class LiveEventSource:
    def __init__(self, bridge, poll_interval=0.0005):
        self.bridge = bridge
        self.poll_interval = poll_interval
        self.handlers = {}
        self.counts = Counter()      # event type -> events taken
        self.taken = 0
        self.largest_backlog = 0
        self.errors = []             # (event, exception)
        self._stopping = threading.Event()
        self._idle = threading.Condition()
        self._empty_polls = 0
        self._thread = None

    def on(self, event_type, handler):
        self.handlers.setdefault(event_type, []).append(handler)
        return handler

    def start(self):
        self._thread = threading.Thread(target=self._run, name="framework-events", daemon=True)
        self._thread.start()
        return self

    def _run(self):
        while True:
            queue = self.bridge.event_queue
            backlog = len(queue)
            if backlog:
                self.largest_backlog = max(self.largest_backlog, backlog)
                for _ in range(backlog):
                    self._dispatch(queue.popleft())
                continue
            with self._idle:
                self._empty_polls += 1
                self._idle.notify_all()
            if self._stopping.is_set():
                return
            time.sleep(self.poll_interval)

    def _dispatch(self, event):
        self.counts[event.event_type] += 1
        self.taken += 1
        for handler in self.handlers.get(event.event_type, ()):
            try:
                handler(event)
            except Exception as e:
                self.errors.append((event, e))

    def wait_idle(self, timeout=None):
        """Wait until every event queued before this call has been handled (for a
        producer that has stopped: the queue is empty and stays so)."""
        with self._idle:
            # The first empty poll counted after now may have read the queue's length
            # before this call; the second one read it afterwards.
            mark = self._empty_polls + 2
            if not self._idle.wait_for(lambda: self._empty_polls >= mark, timeout):
                raise TimeoutError("the framework did not catch up within %s s" % timeout)

    def stop(self, timeout=None):
        """Handle what is still queued, then end the thread."""
        self._stopping.set()
        self._thread.join(timeout)
