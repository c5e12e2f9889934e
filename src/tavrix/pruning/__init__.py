"""Channel pruning: label engine, pruning information, calibration."""

# Before any module below the package is used: the extension modules get the Python objects
# they work with (tavrix/pruning/_wiring.py).
from tavrix.pruning import _wiring  # noqa: F401
