"""Shrink a torchvision ResNet-18 (random weights) to half its multiply-accumulates:
calibrate, choose channels by the budget, shrink, check against the masked original, recover
the output without retraining, save, and load the result into a fresh model.

    .venv/bin/python examples/torchvision_budget.py
"""

import os
import tempfile

import torch
import torch.nn.functional as F
import torchvision

import tavrix as tx


def main(size: int = 64, target_macs: float = 0.5) -> dict:
    torch.manual_seed(0)
    model = torchvision.models.resnet18(weights=None, num_classes=10).eval()
    batches = [torch.randn(8, 3, size, size) for _ in range(3)]
    held_out = [torch.randn(8, 3, size, size)]

    calibrator = tx.TavrixPruningCalibrator(model)
    with calibrator:
        for x in batches:
            logits = model(x)
            F.cross_entropy(logits, logits.argmax(dim=1)).backward()
    plan = calibrator.cutplan

    # channels go across all groups by normalised importance until the budget is met;
    # round_to=8 keeps widths the kernels like
    removed = tx.choose_channels(plan, target_macs=target_macs, model=model, round_to=8)
    macs_before = tx.count_macs(model, (held_out[0],))
    reference = tx.record_reference(model, plan, removed, (held_out[0],))  # no copy of the model
    outputs = tx.outputs(model, held_out)  # the original's, to measure the cut against
    stats = tx.collect(model, plan, removed, batches, method="lstsq")  # before the cut
    report = tx.shrink(model, plan, removed)  # in place, all or nothing
    check = tx.check_equal(reference, model)
    cut = tx.fidelity(outputs, model, held_out)
    tx.compensate(model, stats)  # after the cut: refit the consumers of removed channels
    recovered = tx.fidelity(outputs, model, held_out)
    macs_after = tx.count_macs(model, (held_out[0],))
    print(report.table())
    print(check)
    print(f"multiply-accumulates kept: {macs_after / macs_before:.3f} (target {target_macs})")
    print("output after the cut:", cut, "\nafter the recovery:  ", recovered)

    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "resnet18-shrunk.pt")
        tx.save_shrunk(path, model, report)  # the decision and the shrunk weights
        fresh = torchvision.models.resnet18(weights=None, num_classes=10).eval()
        tx.load_shrunk(path, fresh)
    with torch.no_grad():
        same = torch.equal(fresh(held_out[0]), model(held_out[0]))
    print("reloaded model gives the same outputs:", same)
    return {
        "check": check,
        "kept": macs_after / macs_before,
        "cut": cut,
        "recovered": recovered,
        "same": same,
        "report": report,
    }


if __name__ == "__main__":
    main()
