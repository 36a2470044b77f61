"""Text whose UTF-8 the interpreter holds, against text whose UTF-8 nobody has asked for.

    python bench/held_utf8.py DIR [DIR ...]

CPython keeps a str's UTF-8 once anything asks for it (PyUnicode_AsUTF8AndSize), and orjson
asks for it of every str that is not ASCII. The bench's other scripts run orjson on the
same document as the writer, so there both find it held. This one times both ways, on
20,000 short non-ASCII strings and on the 1 MB document, for each build (a folder holding
a _jcs*.so, see compare_builds.py): "fresh" is the text as parsed, never asked for its
UTF-8; "held" is a second copy, after orjson has written it once. orjson's own time on the
held copy is given for reference (its first call on fresh text cannot be timed apart from
the cache's warmth: a new copy each round is one just written). Minimum over ROUNDS (15)
rounds, taken in turns.
"""

import json
import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import workload  # noqa: E402
from builds import load_build  # noqa: E402


def short_strings(n=20_000, seed=8785):
    rng = random.Random(seed)
    return [rng.choice(workload._NON_ASCII) + " " + rng.choice(workload._WORDS) for _ in range(n)]


def timed(f, arg):
    start = time.perf_counter()
    f(arg)
    return time.perf_counter() - start


def main(dirs):
    import orjson

    def orjson_sorted(x):
        return orjson.dumps(x, option=orjson.OPT_SORT_KEYS)

    builds = {d: load_build(d, "_jcs", "kestrim_substrate._jcs") for d in dirs}
    inputs = {"20,000 short strings": short_strings(), "1 MB document": workload.large_document()}
    for name, value in inputs.items():
        text = json.dumps(value)
        fresh = json.loads(text)  # only ever given to our writer, which never asks for UTF-8
        held = json.loads(text)
        orjson_sorted(held)
        best = {}

        def keep(key, seconds):
            best[key] = min(best.get(key, float("inf")), seconds)

        for _ in range(int(os.environ.get("ROUNDS", "15"))):
            keep(("orjson", "held"), timed(orjson_sorted, held))
            for d, m in builds.items():
                keep((d, "fresh"), timed(m.canonicalize, fresh))
                keep((d, "held"), timed(m.canonicalize, held))
        print(name)
        print(f"  orjson: held {best[('orjson', 'held')] * 1e3:.3f} ms")
        for d in builds:
            print(f"  {d}: fresh {best[(d, 'fresh')] * 1e3:.3f} ms, "
                  f"held {best[(d, 'held')] * 1e3:.3f} ms")


if __name__ == "__main__":
    if not sys.argv[1:]:
        raise SystemExit(__doc__)
    main(sys.argv[1:])
