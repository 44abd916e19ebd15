"""Hash-flooding benchmark: op names crafted to collide under a fixed string hash.

Builds graphs of N ops (one source, N ops on it, every op an output) twice:
once with 13-character names whose tokens "op|<name>" (16 bytes) all share
one value of the fixed, unkeyed multiply-rotate hash the symbol table once
used, and once with random names of the same length. Times
reduction_report() on each, each run in a fresh process (median over
--repeat runs), and prints the crafted/random factor. With a keyed symbol
hash the factor stays near 1; with the fixed hash every crafted token lands
in one probe run, so loading grows with N^2.

Usage: python benchmarks/bench_flood.py [--sizes 32000 64000 128000] [--repeat 3]
"""

from __future__ import annotations

import argparse
import gc
import random
import statistics
import subprocess
import sys
import time

import tessary_core as tc

MASK = (1 << 64) - 1
MULTIPLIER = 0x517CC1B727220A95
# Bytes an op name keeps unescaped in its token.
ALPHABET = bytes(c for c in range(0x21, 0x7F) if chr(c) not in "|=;%")
PLAIN = frozenset(ALPHABET)


def lead(w0: int) -> int:
    """rotl(w0 * M, 5): the fixed hash's state after one word, before the next is mixed in."""
    p = (w0 * MULTIPLIER) & MASK
    return ((p << 5) | (p >> 59)) & MASK


def fixed_state(token: bytes) -> int:
    """The fixed hash of a 16-byte token before its (invertible) finalizer."""
    h = 0
    for word in (int.from_bytes(token[:8], "little"), int.from_bytes(token[8:], "little"), 0, 16):
        h = ((((h << 5) | (h >> 59)) & MASK) ^ word) * MULTIPLIER & MASK
    return h


def crafted_names(count: int) -> list[str]:
    """Names n whose tokens "op|" + n all have one fixed-hash value.

    After two words the state is (lead(w0) ^ w1) * M and the tail word is
    zero, so w1 = target ^ lead(w0) collides for every w0. Byte j of lead(w0)
    (j >= 1) depends only on bytes 0..j of w0, so the free bytes 3..7 of the
    first word are chosen one at a time, dropping every prefix whose forced
    byte of w1 is not plain; byte 0 of w1 is checked once w0 is whole.
    """
    reference = b"op|aaaaaaaaaaaaa"
    target = lead(int.from_bytes(reference[:8], "little")) ^ int.from_bytes(reference[8:], "little")
    base = int.from_bytes(b"op|", "little")
    names: list[str] = []
    # An explicit stack of (byte position, partial first word).
    stack = [(3, base)]
    while stack and len(names) < count:
        j, w0 = stack.pop()
        for c in ALPHABET:
            w = w0 | (c << (8 * j))
            w1 = target ^ lead(w)
            if (w1 >> (8 * j)) & 0xFF not in PLAIN:
                continue
            if j < 7:
                stack.append((j + 1, w))
                continue
            if w1 & 0xFF not in PLAIN:
                continue
            names.append((w.to_bytes(8, "little")[3:] + w1.to_bytes(8, "little")).decode())
            if len(names) == count:
                break
    return names


def random_names(count: int, seed: int = 3) -> list[str]:
    rng = random.Random(seed)
    letters = ALPHABET.decode()
    return ["".join(rng.choice(letters) for _ in range(13)) for _ in range(count)]


def build(names: list[str]) -> tc.GraphStore:
    store = tc.GraphStore()
    source = store.add_source("rows")
    for name in names:
        store.mark_output(store.add_op(name, [source]))
    return store


def one_run(kind: str, n: int, seed: int) -> float:
    """Seconds of the first reduction_report() of a fresh process: the symbol
    table is process-wide, so only a new process interns every name anew."""
    names = crafted_names(n) if kind == "crafted" else random_names(n, seed)
    if kind == "crafted" and len({fixed_state(b"op|" + name.encode()) for name in names}) != 1:
        raise SystemExit("crafted names do not collide under the fixed hash")
    store = build(names)
    gc.collect()
    start = time.perf_counter()
    store.reduction_report()
    return time.perf_counter() - start


def median_run(kind: str, n: int, repeat: int) -> float:
    times = []
    for seed in range(repeat):
        out = subprocess.run([sys.executable, __file__, "--one", kind, str(n), str(seed)],
                             check=True, capture_output=True, text=True).stdout
        times.append(float(out))
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[32000, 64000, 128000])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--one", nargs=3, metavar=("KIND", "N", "SEED"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        kind, n, seed = args.one
        print(one_run(kind, int(n), int(seed)))
        return
    print(f"{'ops':>8} {'crafted s':>10} {'random s':>10} {'factor':>7}")
    for n in args.sizes:
        t_crafted = median_run("crafted", n, args.repeat)
        t_random = median_run("random", n, args.repeat)
        print(f"{n:>8} {t_crafted:>10.3f} {t_random:>10.3f} {t_crafted / t_random:>7.2f}",
              flush=True)


if __name__ == "__main__":
    main()
