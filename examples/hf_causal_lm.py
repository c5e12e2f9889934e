"""Shrink a small LLaMA with grouped-query attention (random weights, nothing from the hub):
calibrate on the model's own loss, choose by a budget of multiply-accumulates with every layer
cut alike, shrink, check, generate, and save and reload it with transformers.

    .venv/bin/python examples/hf_causal_lm.py
"""

import tempfile

import torch
from transformers import LlamaConfig, LlamaForCausalLM
from transformers.utils import logging

from tavrix.pruning import rules
from tavrix.pruning.gatecal import TavrixPruningCalibrator
from tavrix.pruning.shrink import check_equal, choose_channels, record_reference, shrink


def batch(ids: torch.Tensor) -> dict:
    # called as usual: the model makes its own position ids and key/value cache
    return dict(input_ids=ids, attention_mask=torch.ones_like(ids), labels=ids)


def main() -> dict:
    logging.disable_progress_bar()
    torch.manual_seed(0)
    config = LlamaConfig(
        vocab_size=256,
        hidden_size=128,
        intermediate_size=352,
        num_hidden_layers=4,
        num_attention_heads=8,
        num_key_value_heads=4,
        max_position_embeddings=128,
        pad_token_id=0,
        bos_token_id=1,
        eos_token_id=2,
    )
    model = LlamaForCausalLM(config).eval()
    generator = torch.Generator().manual_seed(1)
    batches = [batch(torch.randint(3, 256, (4, 32), generator=generator)) for _ in range(4)]

    calibrator = TavrixPruningCalibrator(model)
    # rotary embeddings keep head_dim positions whole: attention loses whole heads
    with rules.extended(), calibrator:
        for inputs in batches:
            model(**inputs).loss.backward()
    plan = calibrator.cutplan

    # keep 55% of the multiply-accumulates, every layer cut alike so that the config can
    # say the widths; widths in multiples of 8, as LlamaConfig wants hidden_size a multiple
    # of the heads (round_to counts heads in a head group: with 4 key/value heads a layer
    # the heads stay; a key/value head would go with the query heads reading it)
    removed = choose_channels(plan, target_macs=0.55, model=model, uniform_layers=True, round_to=8)
    # what the check needs of the original, taken before the cut: no second copy of the model
    reference = record_reference(model, plan, removed, (), batches[0])
    report = shrink(model, plan, removed)
    print(report.table())
    check = check_equal(reference, model)
    print(check)

    prompt = batches[0]["input_ids"][:2, :6]
    tokens = model.generate(
        prompt, attention_mask=torch.ones_like(prompt), max_new_tokens=8, do_sample=False
    )
    with tempfile.TemporaryDirectory() as directory:
        model.save_pretrained(directory)  # safetensors, and the config with the new widths
        reloaded = LlamaForCausalLM.from_pretrained(directory).eval()
    mine, theirs = model.state_dict(), reloaded.state_dict()
    same_weights = mine.keys() == theirs.keys() and all(
        torch.equal(mine[name], theirs[name]) for name in mine
    )
    with torch.no_grad():
        logits = model(**batches[1]).logits
        difference = (reloaded(**batches[1]).logits - logits).abs().max().item()
    again = reloaded.generate(
        prompt, attention_mask=torch.ones_like(prompt), max_new_tokens=8, do_sample=False
    )
    attention = model.model.layers[0].self_attn
    print(
        f"heads {config.num_attention_heads} -> {model.config.num_attention_heads}, "
        f"key/value heads {config.num_key_value_heads} -> {model.config.num_key_value_heads} "
        f"(q_proj {tuple(attention.q_proj.weight.shape)}, k_proj "
        f"{tuple(attention.k_proj.weight.shape)})"
    )
    print("generated:", tokens[0, 6:].tolist(), "reloaded model:", again[0, 6:].tolist())
    print(
        f"reloaded: weights bitwise equal {same_weights}, largest logit difference {difference:g}"
    )
    return {
        "report": report,
        "check": check,
        "same_weights": same_weights,
        "difference": difference,
        "tokens": tokens,
        "reloaded_tokens": again,
        "config": model.config,
    }


if __name__ == "__main__":
    main()
