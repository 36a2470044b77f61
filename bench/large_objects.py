"""Times canonicalize of large objects (more than the 16 keys sorted by insertion) with
several builds of the substrate in one process, per key.

    python -P bench/large_objects.py DIR [DIR ...]

Each DIR holds a built _jcs*.so (see compare_builds.py). The objects: 262,144 keys sharing a
24-character prefix, and random ones (the bench's rows); the prefix keys as a str subclass,
which are read member by member; the prefix keys with one key wider than a byte among them;
and 100,000 keys of a message catalogue sharing "app.msg.", some of them non-Latin-1. Builds
are timed in turns, ROUNDS (7) times, keeping the minimum.
"""

import os
import random
import sys
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import workload  # noqa: E402
from builds import load_build  # noqa: E402

ROUNDS = int(os.environ.get("ROUNDS", "7"))


class Key(str):
    pass


def catalogue(n=100_000, seed=5):
    rng = random.Random(seed)
    alphabet = "abcdefghijklmnopqrstuvwxyz._"
    keys = set()
    while len(keys) < n:
        word = "".join(rng.choice(alphabet) for _ in range(rng.randint(6, 20)))
        if rng.random() < 0.05:
            word += rng.choice("日本語中文éü")
        keys.add("app.msg." + word)
    keys = list(keys)
    rng.shuffle(keys)
    return {k: "text" for k in keys}


def main(directories):
    builds = [load_build(d, "_jcs", "kestrim_substrate._jcs") for d in directories]
    prefix = workload.shared_prefix_object(1 << 18)
    items = list(prefix.items())
    items.insert(10, (workload.SHARED_PREFIX + "\u0100", 0))
    objects = {
        "prefix keys": prefix,
        "random keys": workload.random_key_object(1 << 18),
        "prefix keys, str subclass": {Key(k): v for k, v in prefix.items()},
        "prefix keys and a wide one": dict(items),
        "catalogue, 'app.msg.'": catalogue(),
    }
    best = {}
    for _ in range(ROUNDS):
        for name, obj in objects.items():
            for directory, build in zip(directories, builds):
                t = min(timeit.repeat(lambda: build.canonicalize(obj), number=1, repeat=3))
                key = (name, directory)
                best[key] = min(best.get(key, float("inf")), t / len(obj) * 1e9)
    for (name, directory), ns in sorted(best.items()):
        print(f"{name:28s} {ns:8.1f} ns a key  {directory}")


if __name__ == "__main__":
    main(sys.argv[1:])
