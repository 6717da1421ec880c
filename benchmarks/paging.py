"""Training from a memory-mapped file whose pages are pushed out as the fit reads them.

MADV_PAGEOUT on the whole mapping every 20 ms stands in for a file larger than memory: a page read
twice is read from disk twice. It comes from a helper process (process_madvise), which needs no
share of this interpreter's GIL: mirelo's own module holds it through a training. /proc/self/io's
read_bytes counts what the process fetched from storage.
"""

import mmap
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

PAGEOUT_INTERVAL = 0.02

# Linux x86-64 system call numbers and the advice, which Python's modules do not all name.
PAGER = r"""
import ctypes, select, sys
SYS_PIDFD_OPEN, SYS_PROCESS_MADVISE, MADV_PAGEOUT = 434, 440, 21
class IoVec(ctypes.Structure):
    _fields_ = [("base", ctypes.c_void_p), ("length", ctypes.c_size_t)]
libc = ctypes.CDLL(None, use_errno=True)
libc.syscall.restype = ctypes.c_long
pid, start, length, interval = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
pidfd = libc.syscall(SYS_PIDFD_OPEN, pid, 0)
span = IoVec(start, length)
def page_out():
    if libc.syscall(SYS_PROCESS_MADVISE, pidfd, ctypes.byref(span), 1, MADV_PAGEOUT, 0) < 0:
        sys.exit(f"process_madvise failed: errno {ctypes.get_errno()}")
page_out()
print("paging", flush=True)
while not select.select([sys.stdin], [], [], interval)[0]:
    page_out()
"""


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
    """Pushes the array's pages out every PAGEOUT_INTERVAL until the block ends."""

    def __init__(self, mapped):
        address = mapped.__array_interface__["data"][0]
        self.start = address - address % mmap.PAGESIZE
        self.length = address + mapped.nbytes - self.start

    def __enter__(self):
        self.pager = subprocess.Popen(
            [sys.executable, "-c", PAGER, str(os.getpid()), str(self.start), str(self.length), str(PAGEOUT_INTERVAL)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        if self.pager.stdout.readline().strip() != "paging":
            self.pager.wait()
            raise RuntimeError("the paging-out helper did not start")
        return self

    def __exit__(self, *exc):
        self.pager.stdin.close()  # the helper stops when its input ends
        if self.pager.wait() != 0:
            raise RuntimeError("the paging-out helper failed")


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
