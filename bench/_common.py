"""Helpers shared by the benchmark scripts."""

import json
import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def core_program(name):
    """Path of one of the core's benchmark programs, built (or brought up to
    date) under build/bench."""
    build = ROOT / "build" / "bench"
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DCORVATEL_BENCH=ON",
                    "-DCMAKE_BUILD_TYPE=Release"], check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(build), "--target", name, "-j"], check=True, capture_output=True)
    return build / "corvatel_core" / "bench" / name


def one_processor():
    return min(os.sched_getaffinity(0))


def run_on_one_worker(module, function, *args):
    """module.function(*args) in a child whose affinity mask holds one
    processor, so that its worker pool has one worker; returns its JSON."""
    code = (f"import os, json, sys; os.sched_setaffinity(0, {{{one_processor()}}}); "
            f"sys.path.insert(0, {str(ROOT / 'bench')!r}); import {module} as m; "
            f"print(json.dumps(m.{function}(*{args!r})))")
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def run_child(module, function, *args, env=None, one_worker=False):
    """module.function(*args) in a child process with extra environment
    variables `env`, on one processor when `one_worker`; returns its JSON."""
    pin = f"os.sched_setaffinity(0, {{{one_processor()}}}); " if one_worker else ""
    code = (f"import os, json, sys; {pin}"
            f"sys.path.insert(0, {str(ROOT / 'bench')!r}); import {module} as m; "
            f"print(json.dumps(m.{function}(*{args!r})))")
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True,
                         env={**os.environ, **(env or {})})
    return json.loads(out.stdout)


def simd_paths():
    """The walk's SIMD paths this machine runs, as CORVATEL_SIMD names them
    (from the kernel's CPU flags, which it clears for state the OS does not
    save)."""
    flags = set()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    flags = set(line.split(":", 1)[1].split())
                    break
    except OSError:
        pass
    paths = ["scalar"]
    if "avx2" in flags:
        paths.append("avx2")
    if "avx512f" in flags:
        paths.append("avx512")
    return paths
