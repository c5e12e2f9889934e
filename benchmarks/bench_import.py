"""Import time of the package's entry points, each the first import of a fresh interpreter.

    python benchmarks/bench_import.py [--reps 7] [--other OTHER_SRC]

For each statement: the median over ``--reps`` fresh processes of the time ``-X importtime``
reports for all imports, and of the same without torch's own (what the package adds). With
``--other`` (the ``src`` folder of another checkout, extensions built) the two trees' processes
are interleaved and the ratio this / other is printed.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import statistics
import subprocess
import sys
from typing import Dict, List, Optional, Tuple

STATEMENTS = (
    "import tavrix",
    "from tavrix.pruning.cutplan import get_cutplan",
    "from tavrix.pruning.gatecal import TavrixPruningCalibrator",
    "import tavrix.pruning.engine.oprules",
    "import tavrix as tx; tx.shrink; tx.rules; tx.explain",
)
HERE = pathlib.Path(__file__).resolve().parent.parent / "src"


def _import_ms(statement: str, src: pathlib.Path) -> Tuple[float, float]:
    """(all imports, all but torch's) in ms, from the top-level entries of -X importtime."""
    env = dict(os.environ, PYTHONPATH=str(src), OMP_NUM_THREADS="1")
    done = subprocess.run(
        [sys.executable, "-X", "importtime", "-c", statement],
        capture_output=True,
        text=True,
        env=env,
        check=True,
    )
    total = torch = 0
    for line in done.stderr.splitlines():
        if not line.startswith("import time:") or "cumulative" in line:
            continue
        _, cumulative, name = line[len("import time:") :].split("|")
        if name.strip() == "torch":  # at whatever depth: imported once
            torch = int(cumulative)
        if not name.startswith("  "):  # a nested import is in its importer's cumulative
            total += int(cumulative)
    return total / 1000, (total - torch) / 1000


def main(argv: Optional[List[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--reps", type=int, default=7)
    parser.add_argument("--other", type=pathlib.Path, help="the src folder of another checkout")
    options = parser.parse_args(argv)
    trees = [("this", HERE)] + ([("other", options.other.resolve())] if options.other else [])
    print(f"{'statement':<58} {'tree':<6} {'all ms':>8} {'not torch ms':>13}")
    for statement in STATEMENTS:
        times: Dict[str, List[Tuple[float, float]]] = {name: [] for name, _ in trees}
        for _ in range(options.reps):
            for name, src in trees:
                times[name].append(_import_ms(statement, src))
        medians = {}
        for name, _ in trees:
            every = statistics.median(t[0] for t in times[name])
            own = statistics.median(t[1] for t in times[name])
            medians[name] = (every, own)
            print(f"{statement:<58} {name:<6} {every:8.1f} {own:13.1f}")
        if options.other:
            (a, a_own), (b, b_own) = medians["this"], medians["other"]
            print(f"{'':<58} {'ratio':<6} {a / b:8.3f} {a_own / max(b_own, 1e-9):13.3f}")


if __name__ == "__main__":
    main()
