"""Tracing of one model call into a list of recorded tensor operations."""

from tavrix.flowscope.intercept import TraceTensor

__all__ = ["TraceTensor"]
