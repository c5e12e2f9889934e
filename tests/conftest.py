"""Markers that decide at collection whether a test can run here."""

import pytest
import torch


def pytest_collection_modifyitems(config, items):
    if torch.cuda.is_available():
        return
    skip = pytest.mark.skip(reason="no CUDA device")
    for item in items:
        if "cuda" in item.keywords:
            item.add_marker(skip)
