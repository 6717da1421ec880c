"""Training from a memory-mapped file whose pages are pushed out as the fit reads them.

madvise(MADV_PAGEOUT) on the whole mapping every 20 ms, from a second thread, stands in for a file
larger than memory: a page read twice is read from disk twice. /proc/self/io's read_bytes counts
what the process fetched from storage.
"""

import mmap
import os
import tempfile
import threading
import time

import numpy as np

# Python's mmap module names it only where it was built against headers that have it.
MADV_PAGEOUT = getattr(mmap, "MADV_PAGEOUT", 21)
PAGEOUT_INTERVAL = 0.02


def bytes_read():
    with open("/proc/self/io") as io:
        for line in io:
            if line.startswith("read_bytes:"):
                return int(line.split()[1])
    raise RuntimeError("read_bytes missing from /proc/self/io")


def cold_mapping(path):
    """The saved array, mapped read-only, with none of its pages left in the page cache."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)
    return np.load(path, mmap_mode="r")


class PagingOut:
    """Pushes the mapping's pages out every PAGEOUT_INTERVAL until the block ends."""

    def __init__(self, mapped):
        self.mapping = mapped._mmap
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self.stop.wait(PAGEOUT_INTERVAL):
            self.mapping.madvise(MADV_PAGEOUT)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()


def paging_workload(w, fits, measured, threads):
    """Each fit in `fits` (name -> fn(X, y)) on float64 and float32 files of w.X under paging-out:
    seconds, bytes read from disk per byte of file, and peak added memory."""
    print(f"\n**memmap: training from np.load(mmap_mode='r') of {len(w.X)} x {w.X.shape[1]}, paged out "
          f"every {PAGEOUT_INTERVAL * 1000:.0f} ms** ({threads} threads)\n")
    print("| method | file dtype | file (MB) | train (s) | read from disk ÷ file | peak added memory (MiB) |")
    print("|---|---|---:|---:|---:|---:|")
    with tempfile.TemporaryDirectory(dir=os.environ.get("MIRELO_BENCH_TMP")) as directory:
        for dtype in (np.float64, np.float32):
            path = os.path.join(directory, f"X-{np.dtype(dtype).name}.npy")
            np.save(path, w.X.astype(dtype, copy=False))
            size = os.path.getsize(path)
            for name, fit in fits.items():
                X = cold_mapping(path)
                before = bytes_read()
                start = time.perf_counter()
                with PagingOut(X):
                    _, _, memory = measured(lambda: fit(X, w.y))
                seconds = time.perf_counter() - start
                ratio = (bytes_read() - before) / size
                print(f"| {name} | {np.dtype(dtype).name} | {size / 1e6:.0f} | {seconds:.3g} | {ratio:.2f} | "
                      f"{memory:.0f} |", flush=True)
                del X
