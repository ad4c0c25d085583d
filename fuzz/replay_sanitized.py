"""Replays fuzzing corpora (and random mutations of them) through readers built with
AddressSanitizer and UBSan, to catch memory errors that Python-level fuzzing cannot see.

    cmake -S . -B build/asan -DCORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
          -Dpybind11_DIR=$(python -m pybind11 --cmakedir) -DPython_EXECUTABLE=$(which python)
    cmake --build build/asan -j2 --target corvane_io_bcs corvane_io_vesta
    LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" \
    ASAN_OPTIONS=detect_leaks=0 python fuzz/replay_sanitized.py build/asan BCS_CORPUS VESTA_CORPUS [SECONDS]

(libstdc++ is preloaded with the sanitizer runtime so that it can intercept C++ throws.)
"""

import glob
import importlib.machinery
import importlib.util
import io
import random
import sys
import time
import warnings


def load(build_dir, leaf):
    import corvane.io  # noqa: F401  (the package the modules belong to)

    path = glob.glob(f"{build_dir}/{leaf}.cpython-*.so")[0]
    name = f"corvane.io.{leaf}"
    loader = importlib.machinery.ExtensionFileLoader(name, path)
    where = importlib.util.spec_from_file_location(name, path, loader=loader)
    module = importlib.util.module_from_spec(where)
    loader.exec_module(module)
    sys.modules[name] = module
    return module


def mutate(rng, data):
    b = bytearray(data)
    for _ in range(rng.randint(1, 8)):
        op, i = rng.random(), rng.randrange(len(b) + 1)
        if op < 0.4 and b:
            b[min(i, len(b) - 1)] = rng.randrange(256)
        elif op < 0.7:
            b[i:i] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 4)))
        else:
            del b[i : i + rng.randint(1, 40)]
    return bytes(b)


def main():
    build_dir, bcs_dir, vesta_dir = sys.argv[1:4]
    seconds = float(sys.argv[4]) if len(sys.argv) > 4 else 60
    warnings.simplefilter("ignore")
    bcs, vesta = load(build_dir, "bcs"), load(build_dir, "vesta")
    rng = random.Random(1)
    kinds, count = {}, 0
    for read, corpus in ((bcs.read_bcs, bcs_dir), (vesta.read_vesta, vesta_dir)):
        seeds = [open(f, "rb").read() for f in glob.glob(f"{corpus}/*")]
        inputs = iter(seeds)
        start = time.time()
        while True:
            data = next(inputs, None)
            if data is None:
                if time.time() - start > seconds:
                    break
                data = mutate(rng, rng.choice(seeds))
            try:
                read(io.StringIO(data.decode("utf-8", "replace")))
            except Exception as exc:
                kinds[type(exc).__name__] = kinds.get(type(exc).__name__, 0) + 1
            count += 1
    print(f"{count} inputs, exceptions by kind: {kinds}")


if __name__ == "__main__":
    main()
