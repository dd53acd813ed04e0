"""The kernel's usbtmc driver through its character device /dev/usbtmcN."""
import os
import select
import time

from report import CheckFailed


class UsbtmcChar:
    def __init__(self, path="/dev/usbtmc0"):
        self.fd = os.open(path, os.O_RDWR)

    def close(self):
        os.close(self.fd)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def write(self, text):
        data = text.encode()
        n = os.write(self.fd, data)
        if n != len(data):
            raise CheckFailed(f"usbtmc write sent {n} of {len(data)} bytes")

    def read(self, size=4096):
        """One read: the driver requests and collects one whole reply (it
        times out on its own after its default timeout)."""
        return os.read(self.fd, size).decode(errors="replace")

    def query(self, text, size=4096):
        self.write(text)
        return self.read(size)


def mean_round_trip(query, count):
    """Mean seconds of query() over `count` calls."""
    start = time.monotonic()
    for _ in range(count):
        query()
    return (time.monotonic() - start) / count
