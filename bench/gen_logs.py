#!/usr/bin/env python3
"""Writes realistic component log text: time stamps, levels, threads and varied messages.

usage: gen_logs.py DIR TOTAL_MIB [FILES] [mixed]
With "mixed", the directory looks like logrotate's output instead: 30 % of the bytes are live
text logs (oskel.log, oskel.log.1), 70 % gzip-compressed rotations (oskel.log.2.gz ...),
whose content has the entropy of compressed data.
"""

import gzip
import random
import sys
from datetime import datetime, timedelta
from pathlib import Path

LEVELS = ["INFO"] * 12 + ["DEBUG"] * 6 + ["WARN"] * 2 + ["ERROR"]
MODULES = ["transport", "session", "config", "scheduler", "storage", "auth", "metrics", "rpc"]
WORDS = ("request response connection timeout retry peer channel buffer queue flush commit "
         "handshake token lease shard replica snapshot checkpoint heartbeat backlog latency "
         "window credit frame segment cache eviction rebalance quorum").split()
TEMPLATES = [
    "accepted connection from {ip}:{port} (session {hex})",
    "request {hex} completed in {ms} ms status={status}",
    "retrying {word} to {ip} after {ms} ms (attempt {n}/5)",
    "{word} {word} exceeded threshold: {n} > {m}",
    "loaded configuration from /opt/keldra/etc/keldra-oskel.cfg ({n} keys)",
    "flushed {n} records to segment {hex} ({m} bytes)",
    "heartbeat from peer {hex} lag={ms}ms window={n}",
    "user '{word}{n}' authenticated via token {hex}",
    "GC pause {ms} ms, heap {m} KiB, {n} objects promoted",
    "unexpected {word} while processing {word}: {word} {word} (code {status})",
]


def line(rng, when):
    template = rng.choice(TEMPLATES)
    text = template.format(
        ip=f"10.{rng.randrange(256)}.{rng.randrange(256)}.{rng.randrange(1, 255)}",
        port=rng.randrange(1024, 65535), hex=f"{rng.getrandbits(48):012x}",
        ms=rng.randrange(1, 5000), status=rng.choice([200, 200, 200, 404, 500, 503]),
        word=rng.choice(WORDS), n=rng.randrange(1, 10000), m=rng.randrange(1, 10**7))
    return (f"{when:%Y-%m-%d %H:%M:%S}.{when.microsecond // 1000:03d} {rng.choice(LEVELS):5} "
            f"[{rng.choice(MODULES)}-{rng.randrange(16)}] {text}\n")


def write_rotations(target, total_bytes, files, rng):
    """Gzip members of incompressible data, as compressed rotations are."""
    per_file = total_bytes // files
    for index in range(files):
        data = rng.randbytes(per_file)
        (target / f"oskel.log.{index + 2}.gz").write_bytes(gzip.compress(data, compresslevel=1))


def main():
    target, total_mib = Path(sys.argv[1]), int(sys.argv[2])
    files = int(sys.argv[3]) if len(sys.argv) > 3 else 8
    mixed = len(sys.argv) > 4 and sys.argv[4] == "mixed"
    target.mkdir(parents=True, exist_ok=True)
    if mixed:
        write_rotations(target, total_mib * 1024 * 1024 * 7 // 10, max(files - 2, 1),
                        random.Random(7))
        total_mib, files = max(total_mib * 3 // 10, 1), 2
    rng = random.Random(42)
    when = datetime(2026, 12, 1)
    # A pool of lines re-stamped as they are written keeps generation fast yet varied.
    pool = [line(rng, when)[23:] for _ in range(200000)]
    per_file = total_mib * 1024 * 1024 // files
    for index in range(files):
        name = "oskel.log" if index == 0 else f"oskel.log.{index}"
        with open(target / name, "w") as out:
            written = 0
            chunk = []
            while written < per_file:
                when += timedelta(microseconds=rng.randrange(200, 90000))
                text = f"{when:%Y-%m-%d %H:%M:%S}" + rng.choice(pool)
                chunk.append(text)
                written += len(text)
                if len(chunk) >= 4096:
                    out.write("".join(chunk))
                    chunk.clear()
            out.write("".join(chunk))


if __name__ == "__main__":
    main()
