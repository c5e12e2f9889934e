"""Every failing check of the random-model property test, not only the first: the default
profile's fixed sample (no argument), or N freshly drawn models (`--draw N`), with the
failures grouped by where the check fails (operation and block). Used to list what fails
before and after a fix; each failure prints as `build(design, seed)` plus the rules and removal.

Run: PYTHONPATH=src .venv/bin/python repros/random_model_failures.py [--draw N]
from the project root   (exit 1 = some example fails)
"""

import collections
import re
import sys
import warnings

sys.path.insert(0, "tests")

from hypothesis import HealthCheck, Phase, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import test_random_models as T  # noqa: E402

failures = []
current = {}
_shrinks_or_refuses, _build, _analyse = T.shrinks_or_refuses, T.build, T.analyse


def recording(model, x, plan, removed):
    try:
        return _shrinks_or_refuses(model, x, plan, removed)
    except Exception as error:  # noqa: BLE001  a failing example, recorded
        failures.append((dict(current), removed, f"{type(error).__name__}: {error}"))
        return "failed"


def build(design, seed):
    current.update(design=design, seed=seed)
    return _build(design, seed)


def analyse(model, x, options):
    current["rules"] = "standard" if options is None else f"extended {options}"
    return _analyse(model, x, options)


T.shrinks_or_refuses, T.build, T.analyse = recording, build, analyse

if "--draw" in sys.argv:
    count = int(sys.argv[sys.argv.index("--draw") + 1])

    @settings(
        max_examples=count,
        deadline=None,
        database=None,
        phases=[Phase.generate],
        suppress_health_check=list(HealthCheck),
    )
    @given(st.data())
    def run(data):
        T.run_example(data)
else:
    run = T.test_random_models_shrink_or_refuse  # the default profile, as pytest runs it

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    run()

groups = collections.defaultdict(list)
for where, removed, error in failures:
    found = re.search(r"first difference at node #\d+ (\w+?)_\d+ .*? in ([\w.]+)", error)
    if found:
        block = re.match(r"blocks\.(\d+)", found.group(2))
        name = where["design"][2][int(block.group(1))][0] if block else found.group(2)
        key = f"{found.group(1)} in a {name} block"
    else:
        key = error.splitlines()[0][:100]
    groups[key].append((where, removed, error))
for key, cases in sorted(groups.items(), key=lambda item: -len(item[1])):
    print(f"== {key}: {len(cases)} failing checks")
    for where, removed, error in cases[:3]:
        print(
            f"   build({where['design']!r}, {where['seed']}); {where['rules']}; removed {removed}"
        )
        print(f"      {error.splitlines()[0][:240]}")
print(f"{len(failures)} failing checks")
sys.exit(1 if failures else 0)
