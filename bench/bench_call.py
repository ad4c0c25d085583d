"""Call overhead of a runtime function against the same function written as a Python def.

    python bench/bench_call.py [--repeat 7] [--number 1000000]

Two functions of three arguments with one default, each in both versions: third(a, b, c=1) -> c
(call overhead alone) and add3(a, b, c=1) -> a + b + c. Each call style is timed for both in the
same process, best of --repeat runs. Prints, last, one ratio per call style
(ours / def: below 1.0 means ours is faster).
"""

import argparse
import timeit

from corvane._testing import rtdemo


def third(a, b, c=1):
    return c


def add3(a, b, c=1):
    return a + b + c


# The call-overhead figure uses `third` (a body that costs nothing in either version); `add3`
# adds the arithmetic, where the interpreter's specialised integer addition helps the def.
FUNCTIONS = {"third": (rtdemo.third, third), "add3": (rtdemo.add3, add3)}


CALLS = {
    "positional, default used": "f(1, 2)",
    "positional, all given": "f(1, 2, 3)",
    "keywords": "f(a=1, b=2, c=3)",
    "mixed": "f(1, b=2)",
}


def best(stmt, f, number, repeat):
    return min(timeit.repeat(stmt, globals={"f": f}, number=number, repeat=repeat)) / number


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--number", type=int, default=1_000_000)
    args = parser.parse_args()
    assert rtdemo.add3(1, 2) == add3(1, 2) == 4 and rtdemo.third(1, 2) == third(1, 2) == 1
    rows = []
    for fname, (ours_fn, def_fn) in FUNCTIONS.items():
        for label, stmt in CALLS.items():
            ours = best(stmt, ours_fn, args.number, args.repeat)
            theirs = best(stmt, def_fn, args.number, args.repeat)
            rows.append((f"{fname}, {label}", ours, theirs))
            print(f"{fname:5s} {label:26s} runtime {ours * 1e9:6.1f} ns   def {theirs * 1e9:6.1f} ns")
    for label, ours, theirs in rows:
        print(f"ratio {label}: {ours / theirs:.3f}")


if __name__ == "__main__":
    main()
