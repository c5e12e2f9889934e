"""Shrink a small timm vision transformer under the extended rules (random weights):
calibrate, choose by a budget of multiply-accumulates, shrink and check against the masked
original. timm's attention reads the stream's width (``B, N, C = x.shape``) to size its heads
and unbinds q, k and v from one tensor, which keeps the stream and the heads whole under
today's rules (``tx.explain(plan)`` says so); the MLP widths carry the budget.

    .venv/bin/python examples/timm_vit.py
"""

import timm
import torch
import torch.nn.functional as F

import tavrix as tx


def main(target_macs: float = 0.6) -> dict:
    torch.manual_seed(0)
    # a ViT-Tiny of two blocks on 32 x 32 images: the shape of the real one, seconds to run
    model = timm.create_model(
        "vit_tiny_patch16_224", pretrained=False, img_size=32, patch_size=8, depth=2, num_classes=10
    ).eval()
    batches = [torch.randn(4, 3, 32, 32) for _ in range(3)]

    calibrator = tx.TavrixPruningCalibrator(model)
    # the analysis runs at the first call, so the rules must hold around it; split="outer"
    # cuts whole heads (the reshape into heads keeps its labels on the heads axis)
    with tx.rules.extended(split="outer"), calibrator:
        for x in batches:
            logits = model(x)
            F.cross_entropy(logits, logits.argmax(dim=1)).backward()
    plan = calibrator.cutplan
    print(plan)

    removed = tx.choose_channels(plan, target_macs=target_macs, model=model)
    kept_share = tx.kept_share(model, plan, removed)  # read off the planned cuts, model untouched
    reference = tx.record_reference(model, plan, removed, (batches[0],))
    report = tx.shrink(model, plan, removed)  # the plan knows its rules: no block needed here
    check = tx.check_equal(reference, model)
    block = model.blocks[0]
    print(report.table())
    print(check)
    print(
        f"multiply-accumulates kept: {kept_share:.3f} (target {target_macs}); embed_dim "
        f"{model.embed_dim}, heads {block.attn.num_heads}, MLP width "
        f"{block.mlp.fc1.out_features}"
    )
    return {"plan": plan, "check": check, "kept": kept_share, "model": model, "report": report}


if __name__ == "__main__":
    main()
