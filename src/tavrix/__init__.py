"""Tavrix: structured (channel) pruning analysis and calibration for PyTorch."""

__version__ = "0.1.0"
