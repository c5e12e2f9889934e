"""Calibrate one model across processes: each rank calibrates on its own batches, the
read-out sums the gates over the ranks, and every rank makes the same choice.

    .venv/bin/torchrun --standalone --nproc_per_node=2 examples/torchrun_calibration.py

(CPU, the gloo backend; with GPUs use "nccl" and put each rank's model on cuda:LOCAL_RANK.)
"""

import json
import os
import sys

import torch
import torch.distributed as dist
import torch.nn.functional as F

import tavrix as tx
from tavrix.demo_model import residual_cnn


def main() -> dict:
    dist.init_process_group("gloo")  # torchrun sets the rank, world size and address
    rank, world = dist.get_rank(), dist.get_world_size()
    try:
        torch.manual_seed(0)  # the same weights on every rank, as after loading a checkpoint
        model = residual_cnn().eval()
        generator = torch.Generator().manual_seed(1)
        batches = [torch.randn(8, 3, 32, 32, generator=generator) for _ in range(4)]
        mine = batches[rank::world]  # this rank's share of the data

        calibrator = tx.TavrixPruningCalibrator(model)
        with calibrator:
            for x in mine:
                logits = model(x)
                F.cross_entropy(logits, logits.argmax(dim=1)).backward()
        plan = calibrator.cutplan
        # a collective: every rank reads, and reads the importance of all ranks' batches
        groups = tx.channel_importance(plan)
        removed = tx.choose_channels(plan, ratio=0.3, importance=[g.importance for g in groups])
        choices = [None] * world
        dist.all_gather_object(choices, removed)
        summary = {
            "rank": rank,
            "batches": len(mine),
            "importance_sums": [float(g.importance.sum()) for g in groups],
            "same_choice": all(c == removed for c in choices),
            "removed": {str(k): v for k, v in removed.items()},
        }
        sys.stdout.write(json.dumps(summary) + "\n")  # one write: the ranks share the pipe
        sys.stdout.flush()
        return summary
    finally:
        dist.destroy_process_group()


if __name__ == "__main__":
    if "RANK" not in os.environ:
        sys.exit(__doc__)
    main()
