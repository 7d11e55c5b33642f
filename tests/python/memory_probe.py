"""Measures whether repeating a workload holds memory and references flat."""

import ctypes
import gc
import os
import sys
import tracemalloc

# AddressSanitizer's allocator and quarantine own the native heap and keep
# freed memory resident by design, so only the interpreter-side measures apply.
SANITIZED = bool(os.environ.get("OSTREL_SANITIZED"))
# Under user-mode emulation (scripts/armhf.sh) the resident size is the
# emulator's, whose translation cache grows with the code it runs.
EMULATED = bool(os.environ.get("OSTREL_EMULATED"))


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            *("arena", "ordblks", "smblks", "hblks", "hblkhd"),
            *("usmblks", "fsmblks", "uordblks", "fordblks", "keepcost"),
        )
    ]


def _native_heap():
    """(bytes the C allocator has handed out, resident size after trimming)."""
    libc = ctypes.CDLL(None)
    in_use = 0
    if hasattr(libc, "mallinfo2"):
        libc.mallinfo2.restype = _MallInfo2
        info = libc.mallinfo2()
        in_use = info.hblkhd + info.uordblks  # mmapped blocks + blocks in use in the arenas
    # Hand free pages back first, so that a leak cannot hide in holes that
    # earlier work left behind.
    getattr(libc, "malloc_trim", lambda pad: None)(0)
    with open("/proc/self/statm") as statm:
        return in_use, int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def assert_flat(run, warm_up, measured, watched, traced=16 * 1024, heap=16 * 1024, rss=256 * 1024):
    """Runs `run(warm_up)`, then `run(measured)`, and asserts that traced memory,
    the C heap and resident size grew by less than the given slack in bytes and
    that the reference counts of the `watched` objects did not change.

    A window that grows is measured once more: the interpreter and the C
    allocator sometimes take memory for good once (caches, a raised mmap
    threshold) at a moment no warm-up can pin down, while a leak grows in
    every window."""
    references = [sys.getrefcount(obj) for obj in watched]
    tracemalloc.start()
    try:
        run(warm_up)
        for _window in range(2):
            gc.collect()
            traced_before, native_before = tracemalloc.get_traced_memory()[0], _native_heap()
            run(measured)
            gc.collect()
            traced_after, native_after = tracemalloc.get_traced_memory()[0], _native_heap()
            grew = [
                traced_after - traced_before,
                native_after[0] - native_before[0] if not SANITIZED else 0,
                native_after[1] - native_before[1] if not (SANITIZED or EMULATED) else 0,
            ]
            if all(g < slack for g, slack in zip(grew, (traced, heap, rss), strict=True)):
                break
    finally:
        tracemalloc.stop()
    assert traced_after - traced_before < traced
    assert [sys.getrefcount(obj) for obj in watched] == references
    if not SANITIZED:
        assert native_after[0] - native_before[0] < heap
        assert EMULATED or native_after[1] - native_before[1] < rss
