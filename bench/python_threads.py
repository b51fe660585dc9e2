"""Whether dofmap's Python calls run in parallel: the time of maps computed one after another
against the same maps on two threads at once. With the GIL released during the computation the
threads overlap; the computation itself already uses all cores, so the gain is bounded by what it
leaves idle (its serial parts), and is largest for small photos.

    PYTHONPATH=build/python /usr/bin/python3 bench/python_threads.py [HEIGHT WIDTH]
"""

import sys
import threading
import time

import numpy as np

import dofmap


def main():
    height, width = (int(value) for value in sys.argv[1:3]) if len(sys.argv) >= 3 else (600, 800)
    rng = np.random.default_rng(1)
    photos = [rng.integers(0, 256, (height, width, 3), dtype=np.uint8) for _ in range(2)]
    rounds = max(2, int(2e8 // (height * width)))
    dofmap.focus_map(photos[0])

    start = time.perf_counter()
    for photo in photos:
        for _ in range(rounds):
            dofmap.focus_map(photo)
    serial = time.perf_counter() - start

    def work(photo):
        for _ in range(rounds):
            dofmap.focus_map(photo)

    threads = [threading.Thread(target=work, args=(photo,)) for photo in photos]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    parallel = time.perf_counter() - start

    # Whether the GIL is free: a pure-Python counter on another thread during one long call (a
    # held GIL would stop it for the whole call), against the same counter with the thread alone.
    large = rng.integers(0, 256, (3000, 4000, 3), dtype=np.uint8)
    counted = [0]
    done = threading.Event()

    def count():
        while not done.is_set():
            counted[0] += 1

    def counting_rate(call):
        counted[0] = 0
        done.clear()
        counter = threading.Thread(target=count)
        counter.start()
        start = time.perf_counter()
        call()
        elapsed = time.perf_counter() - start
        done.set()
        counter.join()
        return counted[0] / elapsed

    during = counting_rate(lambda: dofmap.focus_map(large))
    idle = counting_rate(lambda: time.sleep(0.5))

    print(f"{2 * rounds} maps of {width} x {height}: one after another {serial:.3f} s, on two threads {parallel:.3f} s "
          f"({serial / parallel:.2f} x)")
    print(f"a Python thread counted {during:,.0f} per second during a 4000 x 3000 map, {idle:,.0f} when idle")


if __name__ == "__main__":
    main()
