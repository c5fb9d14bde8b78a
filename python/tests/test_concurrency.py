"""The GIL is released while decoding; threads share nothing they should
not; thousands of decodes leak nothing."""

import gc
import os
import sys
import threading
import time
import tracemalloc
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import zentrafold
from conftest import DECODABLE, read


def largest_gap_during(decode):
    """Runs decode() on a thread while this thread records the time as fast
    as it can; returns (decode's duration, the largest gap between two
    records inside it)."""
    marks = []
    span = {}

    def worker():
        span["start"] = time.perf_counter()
        decode()
        span["end"] = time.perf_counter()

    thread = threading.Thread(target=worker)
    thread.start()
    while thread.is_alive():
        marks.append(time.perf_counter())
    thread.join()
    inside = [span["start"]] + [m for m in marks if span["start"] < m < span["end"]] + [span["end"]]
    return span["end"] - span["start"], max(b - a for a, b in zip(inside, inside[1:]))


def test_the_gil_is_released_while_decoding(big_jpeg):
    decoder = zentrafold.Decoder()
    decoder.decode(big_jpeg)
    for decode in (lambda: decoder.decode(big_jpeg), lambda: zentrafold.decode(big_jpeg, "L")):
        duration, gap = largest_gap_during(decode)
        # Holding the GIL would stop this thread for the whole decode; it
        # keeps running, waiting at most a switch interval or a scheduling slice.
        assert duration > 0.02
        assert gap < duration / 2, (duration, gap)


def test_a_pool_of_threads_gives_the_sequential_arrays(big_jpeg):
    streams = [read(name) for name in DECODABLE] * 3 + [big_jpeg]
    expected = [zentrafold.decode(data) for data in streams]
    with ThreadPoolExecutor(4) as pool:
        assert all(np.array_equal(a, b) for a, b in zip(pool.map(zentrafold.decode, streams), expected))
        shared = zentrafold.Decoder()  # one decoder, several threads: they take turns
        assert all(np.array_equal(a, b) for a, b in zip(pool.map(shared.decode, streams), expected))


def _grow(run, rounds):
    """Bytes still allocated (Python and NumPy) after rounds of run(), beyond
    a first round that fills caches."""
    run()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            run()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()


def test_thousands_of_decodes_leak_nothing():
    small = read("size_17x17.jpg")
    refused = read("refuse_precision12.jpg")
    cut = read("sample_1x1.jpg")[:3000]
    out = np.zeros((17, 17, 4), np.uint8)
    decoder = zentrafold.Decoder()
    counts = [sys.getrefcount(x) for x in (small, refused, out)]

    def run():
        zentrafold.decode(small)
        decoder.decode(small, "BGRA", out=out)
        zentrafold.info(small)
        try:
            decoder.decode(refused)
        except zentrafold.RefusedError:
            pass
        try:
            decoder.decode(cut, strict=True)
        except zentrafold.RefusedError:
            pass

    assert _grow(run, 3000) < 64 * 1024
    assert [sys.getrefcount(x) for x in (small, refused, out)] == counts


def _resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_making_and_dropping_decoders_returns_their_memory():
    data = read("size_17x17.jpg")
    for _ in range(50):
        zentrafold.Decoder(threads=2).decode(data)
    before = _resident_bytes()
    for _ in range(1000):
        zentrafold.Decoder(threads=2).decode(data)
    assert _resident_bytes() - before < 16 * 1024 * 1024


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_child_forked_during_a_decode_decodes_with_the_same_decoder(big_restart_jpeg):
    # Two threads: the decoder's worker did not come along into the child.
    decoder = zentrafold.Decoder(threads=2)
    small = read("size_17x17.jpg")
    expected = decoder.decode(small)
    expected_big = decoder.decode(big_restart_jpeg)
    busy = threading.Event()
    done = threading.Event()

    def keep_decoding():
        while not done.is_set():
            busy.set()
            decoder.decode(big_restart_jpeg)

    thread = threading.Thread(target=keep_decoding)
    thread.start()
    busy.wait()
    time.sleep(0.01)  # well inside a decode that holds the decoder's lock
    pid = os.fork()
    if pid == 0:
        same = np.array_equal(decoder.decode(small), expected)
        same = same and np.array_equal(decoder.decode(big_restart_jpeg), expected_big)
        os._exit(0 if same else 1)
    done.set()
    thread.join()
    deadline = time.monotonic() + 30
    while True:
        finished, status = os.waitpid(pid, os.WNOHANG)
        if finished:
            break
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            pytest.fail("the child hung on the decoder its parent was using")
        time.sleep(0.05)
    assert os.waitstatus_to_exitcode(status) == 0


def test_memory_of_freed_arrays_is_reused_and_never_shared(big_jpeg):
    small = zentrafold.decode(read("sample_2x2.jpg"))
    first = zentrafold.decode(big_jpeg, "BGRX")
    address = first.__array_interface__["data"][0]
    copy = first.copy()
    view = first[100:200]
    del first
    # The view keeps the block: the next array gets other memory, and the
    # view's pixels stay as they were.
    second = zentrafold.decode(big_jpeg, "RGBX")
    assert second.__array_interface__["data"][0] != address
    assert np.array_equal(view, copy[100:200])
    del view, second
    gc.collect()
    third = zentrafold.decode(big_jpeg, "BGRX")
    assert np.array_equal(third, copy)
    assert zentrafold._native.kept_memory() > 0
    del third
    previous = zentrafold.set_memory_cache(0)
    try:
        assert zentrafold._native.kept_memory() == 0
        assert np.array_equal(zentrafold.decode(big_jpeg, "BGRX"), copy)
        assert zentrafold._native.kept_memory() == 0
    finally:
        zentrafold.set_memory_cache(previous)
    assert np.array_equal(small, zentrafold.decode(read("sample_2x2.jpg")))
    with pytest.raises(ValueError):
        zentrafold.set_memory_cache(-1)


def test_kept_memory_stays_within_its_limit(big_jpeg):
    previous = zentrafold.set_memory_cache(100 << 20)
    try:
        held = []
        for _ in range(6):
            held.append(zentrafold.decode(big_jpeg, "BGRX"))  # 48 MB each
        before = _resident_bytes()
        del held
        assert zentrafold._native.kept_memory() <= 100 << 20
        assert before - _resident_bytes() > 150 << 20  # the rest went back to the system
    finally:
        zentrafold.set_memory_cache(previous)
