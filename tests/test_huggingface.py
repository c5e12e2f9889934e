"""A shrunk transformers model saved with save_pretrained and loaded with from_pretrained is the
same model; where its config cannot describe it, save_pretrained refuses."""

import copy
import os
import subprocess
import sys

import pytest
import torch

transformers = pytest.importorskip("transformers")

from tavrix.pruning import rules  # noqa: E402
from tavrix.pruning.gatecal import TavrixPruningCalibrator  # noqa: E402
from tavrix.pruning.shrink import (  # noqa: E402
    ConfigMismatchError,
    apply_plan,
    check_equal,
    choose_channels,
    load_shrunk,
    save_shrunk,
    shrink,
)
from tavrix.pruning.shrink.budget import kept_share  # noqa: E402
from tavrix.pruning.shrink.choose import layer_classes  # noqa: E402

IDS = torch.randint(0, 100, (2, 12), generator=torch.Generator().manual_seed(1))
POSITIONS = torch.arange(12).expand(2, 12)
LM_CALL = dict(input_ids=IDS, labels=IDS, position_ids=POSITIONS, use_cache=False)


def _causal_lm(family="Llama", layers=2):
    """A small grouped-query causal LM of a LLaMA-like family (Llama, Mistral, Qwen2)."""
    config = getattr(transformers, f"{family}Config")(
        vocab_size=100,
        hidden_size=64,
        intermediate_size=128,
        num_hidden_layers=layers,
        num_attention_heads=4,
        num_key_value_heads=2,
        max_position_embeddings=64,
    )
    return getattr(transformers, f"{family}ForCausalLM")(config)


def _llama(layers=2):
    return _causal_lm("Llama", layers)


def _gpt2():
    return transformers.GPT2LMHeadModel(
        transformers.GPT2Config(
            vocab_size=100,
            n_positions=64,
            n_embd=64,
            n_layer=2,
            n_head=4,
            bos_token_id=0,
            eos_token_id=0,
        )
    )


def _bert():
    # problem_type given: the first call with labels would set it, and so run other operations
    return transformers.BertForSequenceClassification(
        transformers.BertConfig(
            vocab_size=100,
            hidden_size=64,
            num_hidden_layers=2,
            num_attention_heads=4,
            intermediate_size=128,
            max_position_embeddings=64,
            problem_type="single_label_classification",
        )
    )


def _whisper():
    return transformers.WhisperForConditionalGeneration(
        transformers.WhisperConfig(
            vocab_size=100,
            d_model=64,
            encoder_layers=2,
            decoder_layers=2,
            encoder_attention_heads=4,
            decoder_attention_heads=4,
            encoder_ffn_dim=128,
            decoder_ffn_dim=96,
            num_mel_bins=16,
            max_source_positions=16,
            max_target_positions=32,
            decoder_start_token_id=0,
            pad_token_id=0,
            bos_token_id=0,
            eos_token_id=0,
        )
    )


BERT_CALL = dict(
    input_ids=IDS,
    labels=torch.tensor([0, 1]),
    position_ids=POSITIONS,
    token_type_ids=torch.zeros_like(IDS),
)
WHISPER_CALL = dict(
    input_features=torch.randn(2, 16, 32, generator=torch.Generator().manual_seed(2)),
    decoder_input_ids=IDS[:, :6],
    labels=IDS[:, :6],
    use_cache=False,
)


def _calibrated(build, call, split="outer"):
    torch.manual_seed(0)
    model = build().eval()
    calibrator = TavrixPruningCalibrator(model)
    with rules.extended(split=split), calibrator:
        for _ in range(2):
            model(**call).loss.backward()
    return model, calibrator.cutplan


def _mlp_groups(plan, part):
    names = plan.prunable_module_names_by_nodes
    return [
        i
        for i, (nodes, _) in enumerate(plan.prunable_groups)
        if any(part in (names.get(n) or "") for n in nodes)
    ]


def _roundtrip(model, directory, call):
    model.save_pretrained(directory)
    reloaded = type(model).from_pretrained(directory).eval()
    mine, theirs = model.state_dict(), reloaded.state_dict()
    assert mine.keys() == theirs.keys()
    assert all(torch.equal(mine[k], theirs[k]) for k in mine), "weights differ bitwise"
    with torch.no_grad():
        assert torch.equal(reloaded(**call).logits, model(**call).logits)
    return reloaded


# expected config after the cut: (model, call, how to choose, fields)
CASES = {
    # 4 query heads reading 2 key/value heads: one key/value head goes with its 2 query heads
    "llama": (
        _llama,
        LM_CALL,
        dict(ratio=0.5),
        dict(
            hidden_size=32,
            num_attention_heads=2,
            num_key_value_heads=1,
            head_dim=16,
            intermediate_size=64,
        ),
    ),
    # whole heads and the stream in proportion keep n_embd = n_head * head_dim
    "gpt2": (_gpt2, LM_CALL, dict(ratio=0.25), dict(n_embd=48, n_head=3, n_inner=192)),
    "bert": (
        _bert,
        BERT_CALL,
        dict(ratio=0.25),
        dict(hidden_size=48, num_attention_heads=3, intermediate_size=96),
    ),
    # the stream stays whole; encoder and decoder MLPs have fields of their own
    "whisper": (
        _whisper,
        WHISPER_CALL,
        dict(ratio=0.5, part=".layers.0.fc1"),
        dict(d_model=64, encoder_ffn_dim=64, decoder_ffn_dim=48, encoder_attention_heads=4),
    ),
}


@pytest.mark.parametrize("kind", list(CASES))
def test_a_shrunk_model_saves_and_reloads_identically(kind, tmp_path):
    build, call, choice, expected = CASES[kind]
    model, plan = _calibrated(build, call)
    choice = dict(choice)
    part = choice.pop("part", None)
    if part is not None:  # only the MLPs, named by the first layer of each stack
        choice["ratio"] = {i: choice["ratio"] for i in _mlp_groups(plan, part)}
    removed = choose_channels(plan, uniform_layers=True, **choice)
    original = copy.deepcopy(model)
    report = shrink(model, plan, removed)
    assert check_equal(original, model, plan, removed, (), call).passed
    assert report.config_mismatches == {}
    config = model.config
    assert {key: getattr(config, key) for key in expected} == expected
    before = original.config
    assert report.config_changes == {
        "": {
            key: (getattr(before, key), value)
            for key, value in expected.items()
            if getattr(before, key) != value
        }
    }
    assert "config: " in report.table()
    reloaded = _roundtrip(model, tmp_path, call)
    assert {key: getattr(reloaded.config, key) for key in expected} == expected
    if kind == "llama":
        attention = model.model.layers[1].self_attn
        assert attention.q_proj.out_features == 2 * 16 and attention.k_proj.out_features == 16


def test_the_caller_s_config_object_is_left_to_the_models_sharing_it():
    config = transformers.LlamaConfig(
        vocab_size=100,
        hidden_size=64,
        intermediate_size=128,
        num_hidden_layers=2,
        num_attention_heads=4,
        num_key_value_heads=2,
        max_position_embeddings=64,
    )
    torch.manual_seed(0)
    model, other = transformers.LlamaForCausalLM(config), transformers.LlamaForCausalLM(config)
    with rules.extended(split="outer"):
        from tavrix.pruning.cutplan import get_cutplan

        plan = get_cutplan(model.eval(), (), LM_CALL)
    shrink(model, plan, choose_channels(plan, 0.5, importance="magnitude", model=model))
    assert config.hidden_size == 64 and other.config is config
    # every block of the shrunk model reads the new one
    assert all(m.config is model.config for m in model.modules() if "config" in vars(m))
    assert model.config.hidden_size == 32


def _uneven_llama():
    model, plan = _calibrated(_llama, LM_CALL)
    first, second = _mlp_groups(plan, "up_proj")
    return model, plan, {first: 0.5, second: 0.25}


def test_save_pretrained_refuses_layers_cut_to_different_widths(tmp_path):
    model, plan, ratios = _uneven_llama()
    report = shrink(model, plan, choose_channels(plan, ratio=ratios))
    reason = report.config_mismatches[""]
    assert "intermediate_size: model.layers.0.mlp has 64, model.layers.1.mlp has 96" in reason
    assert "uniform_layers=True" in reason and "save_pretrained refuses" in report.table()
    # the width the modules agree on is written; the one they do not is left
    assert model.config.hidden_size == 64 and model.config.intermediate_size == 128
    for holder in (model, copy.deepcopy(model)):
        with pytest.raises(ConfigMismatchError, match="model.layers.1.mlp has 96"):
            holder.save_pretrained(tmp_path)
    assert os.listdir(tmp_path) == []


def test_uniform_layers_spreads_a_ratio_over_the_same_group_of_every_layer(tmp_path):
    model, plan, ratios = _uneven_llama()
    first, second = sorted(ratios)
    with pytest.raises(ValueError, match=r"groups \[2, 4\] are the same group.*up_proj"):
        choose_channels(plan, ratio=ratios, uniform_layers=True)
    removed = choose_channels(plan, ratio={first: 0.5}, uniform_layers=True)
    assert len(removed[first]) == len(removed[second]) == 64
    shrink(model, plan, removed)
    assert model.config.intermediate_size == 64
    _roundtrip(model, tmp_path, LM_CALL)


@pytest.mark.parametrize("build, call", [(_gpt2, LM_CALL), (_bert, BERT_CALL)])
def test_save_pretrained_refuses_a_scale_the_config_would_recompute(build, call, tmp_path):
    # head_dim positions cut: the shrunk attention keeps its scale, a rebuild would take
    # 1/sqrt of the new head_dim and compute something else
    model, plan = _calibrated(build, call, split="largest")
    report = shrink(model, plan, choose_channels(plan, 0.25, uniform_layers=True))
    assert (
        "attn.scaling is 0.25, the config builds 0.288" in report.config_mismatches[""]
        or "self.scaling is 0.25, the config builds 0.288" in report.config_mismatches[""]
    )
    with pytest.raises(ConfigMismatchError):
        model.save_pretrained(tmp_path)


@pytest.mark.parametrize(
    "choice, kept",
    [
        (dict(target_macs=0.6), ("macs", 0.6)),
        (dict(target_params=0.5), ("params", 0.5)),
        (dict(ratio=0.4, scope="global"), None),
    ],
)
def test_uniform_layers_composes_with_budgets(choice, kept):
    model, plan = _calibrated(lambda: _llama(layers=3), LM_CALL)
    classes = layer_classes(plan)
    assert sorted(map(sorted, classes)) == [[1, 3, 5], [2, 4, 6]]  # heads, MLPs
    # widths in fours: LlamaConfig wants hidden_size a multiple of the heads
    uneven = choose_channels(plan, model=model, round_to=4, **choice)
    removed = choose_channels(plan, model=model, uniform_layers=True, round_to=4, **choice)
    for members in classes:
        assert len({len(removed.get(i, ())) for i in members}) == 1
    assert any(len({len(uneven.get(i, ())) for i in members}) > 1 for members in classes)
    if kept is not None:  # steps of 4 channels in 3 layers of 64 and 128: coarse
        kind, share = kept
        assert abs(kept_share(model, plan, removed, kind) - share) < 0.02
    report = shrink(model, plan, removed)
    assert report.config_mismatches == {}


def test_layer_classes_of_modules_the_plan_names_only_by_their_tensors():
    # GPT-2's Conv1D layers: addmm on parameters, no module call the plan names
    model, plan = _calibrated(_gpt2, LM_CALL, split="largest")
    sizes = [len(labels) for _, labels in plan.prunable_groups]
    classes = layer_classes(plan)
    assert classes and all(len(members) == 2 for members in classes)
    assert all(len({sizes[i] for i in members}) == 1 for members in classes)
    stream = max(range(len(sizes)), key=lambda i: sizes[i] == 64)
    assert not any(stream in members for members in classes)


def test_apply_plan_and_load_shrunk_set_the_config_and_undo_it(tmp_path):
    model, plan = _calibrated(_llama, LM_CALL)
    report = shrink(model, plan, choose_channels(plan, 0.5, uniform_layers=True))
    save_shrunk(tmp_path / "shrunk.pt", model, report)
    fresh = _llama().eval()
    load_shrunk(tmp_path / "shrunk.pt", fresh)
    assert fresh.config.hidden_size == 32 and fresh.config.num_key_value_heads == 1
    _roundtrip(fresh, tmp_path / "hf", LM_CALL)
    # weights that do not fit leave the model, its config and its save as they were
    saved = torch.load(tmp_path / "shrunk.pt", weights_only=True)
    del saved["state_dict"]["lm_head.weight"]
    torch.save(saved, tmp_path / "broken.pt")
    fresh = _llama().eval()
    config = fresh.config
    with pytest.raises(ValueError, match="do not fit"):
        load_shrunk(tmp_path / "broken.pt", fresh)
    assert fresh.config is config and config.hidden_size == 64
    assert "save_pretrained" not in vars(fresh)
    uneven, plan, ratios = _uneven_llama()
    report = shrink(uneven, plan, choose_channels(plan, ratio=ratios))
    fresh = _llama().eval()
    assert apply_plan(fresh, _record(report)).config_mismatches == report.config_mismatches
    with pytest.raises(ConfigMismatchError):
        fresh.save_pretrained(tmp_path / "refused")


def _record(report):
    from tavrix.pruning.shrink import plan_record

    return plan_record(report)


def test_a_model_holding_a_transformers_model_has_its_config_updated():
    class Wrapper(torch.nn.Module):
        def __init__(self):
            super().__init__()
            self.inner = _bert()

        def forward(self, **call):
            return self.inner(**call).logits

    torch.manual_seed(0)
    model = Wrapper().eval()
    call = {k: v for k, v in BERT_CALL.items() if k != "labels"}
    with rules.extended(split="outer"):
        from tavrix.pruning.cutplan import get_cutplan

        plan = get_cutplan(model, (), call)
    report = shrink(model, plan, choose_channels(plan, 0.25, importance="magnitude", model=model))
    assert report.config_changes["inner"]["hidden_size"] == (64, 48)
    assert report.config_mismatches == {}


def test_shrinking_a_model_without_transformers_models_does_not_load_them():
    code = (
        "import sys, torch\n"
        "from tavrix.demo_model import residual_cnn\n"
        "from tavrix.pruning.cutplan import get_cutplan\n"
        "from tavrix.pruning.shrink import choose_channels, shrink\n"
        "m = residual_cnn().eval()\n"
        "plan = get_cutplan(m, (torch.randn(2, 3, 32, 32),), {})\n"
        "r = shrink(m, plan, choose_channels(plan, 0.3, importance='magnitude', model=m))\n"
        "assert r.config_changes == {}\n"
        "assert 'transformers.modeling_utils' not in sys.modules\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


# ------------------------------------------------------------------ the ordinary call


def _mistral():
    return _causal_lm("Mistral")


def _qwen2():
    return _causal_lm("Qwen2")


def _vit():
    return transformers.ViTForImageClassification(
        transformers.ViTConfig(
            hidden_size=64,
            num_hidden_layers=2,
            num_attention_heads=4,
            intermediate_size=128,
            image_size=32,
            patch_size=8,
        )
    )


MASK = torch.ones_like(IDS)
PIXELS = torch.randn(2, 3, 32, 32, generator=torch.Generator().manual_seed(3))
# what users pass (ids made inside the model, the default key/value cache) against the call
# the other tests make (ids passed in, no cache)
ORDINARY = {
    "gpt2": (
        _gpt2,
        dict(input_ids=IDS, attention_mask=MASK),
        dict(input_ids=IDS, position_ids=POSITIONS, use_cache=False),
    ),
    "llama": (
        _llama,
        dict(input_ids=IDS, attention_mask=MASK),
        dict(input_ids=IDS, use_cache=False),
    ),
    "mistral": (
        _mistral,
        dict(input_ids=IDS, attention_mask=MASK),
        dict(input_ids=IDS, use_cache=False),
    ),
    "qwen2": (
        _qwen2,
        dict(input_ids=IDS, attention_mask=MASK),
        dict(input_ids=IDS, use_cache=False),
    ),
    "bert": (
        _bert,
        dict(input_ids=IDS, attention_mask=MASK),
        dict(input_ids=IDS, position_ids=POSITIONS, token_type_ids=torch.zeros_like(IDS)),
    ),
    "vit": (_vit, dict(pixel_values=PIXELS), dict(pixel_values=PIXELS)),
    # the decoder's positions index their weight (``self.weight[position_ids]``)
    "whisper": (
        _whisper,
        dict(input_features=WHISPER_CALL["input_features"], decoder_input_ids=IDS[:, :6]),
        dict(
            input_features=WHISPER_CALL["input_features"],
            decoder_input_ids=IDS[:, :6],
            decoder_position_ids=POSITIONS[:, :6],
            use_cache=False,
        ),
    ),
}


@pytest.mark.parametrize("kind", list(ORDINARY))
def test_the_ordinary_call_prunes_as_much_as_the_explicit_one(kind):
    """Default rules of the extended set (split="largest"): the position and token-type ids the
    model makes, its key/value cache and its rotary embeddings pin nothing, so every layer but
    the head is prunable; calibrated on that call, shrunk, checked and generating."""
    build, ordinary, explicit = ORDINARY[kind]
    torch.manual_seed(0)
    model = build().eval()
    with rules.extended():
        found = rules.coverage(model, (), ordinary)
        assert found == rules.coverage(model, (), explicit)
    assert found.share == 1.0 and found.removable == found.channels > 0
    calibrator = TavrixPruningCalibrator(model)
    with rules.extended(), calibrator:
        for _ in range(2):
            model(**ordinary).logits.pow(2).mean().backward()
    plan = calibrator.cutplan
    removed = choose_channels(plan, 0.3, uniform_layers=True)
    original = copy.deepcopy(model)
    report = shrink(model, plan, removed)
    assert report.parameters_after < 0.7 * report.parameters_before
    assert check_equal(original, model, plan, removed, (), ordinary).passed
    if kind in ("gpt2", "llama", "mistral", "qwen2"):
        prompt = dict(input_ids=IDS[:, :6], attention_mask=MASK[:, :6])
        new = model.generate(**prompt, max_new_tokens=4, do_sample=False, pad_token_id=0)
        assert new.shape == (2, 10)
        with torch.no_grad():  # the cache the shrunk model makes itself holds its own widths
            keys = model(**prompt, use_cache=True).past_key_values.layers[0].keys
        width = keys.shape[1] * keys.shape[-1]
        assert width == _key_width(model, kind) <= _key_width(original, kind)
    if kind == "whisper":
        new = model.generate(input_features=ordinary["input_features"], max_new_tokens=3)
        assert new.shape[0] == 2 and model.model.decoder.embed_positions.embedding_dim < 64


def _key_width(model, kind):
    if kind == "gpt2":
        return model.transformer.h[0].attn.c_attn.nf // 3
    return model.model.layers[0].self_attn.k_proj.out_features


@pytest.mark.parametrize(
    "split, heads_left, head_dim",
    [
        # rotary embeddings pin head_dim positions: the default falls back to whole heads
        ("largest", 2, 16),
        ("outer", 2, 16),
        # the same positions of every head, as before: nothing of the attention is prunable
        ("inner", 4, 16),
    ],
)
def test_rotary_attention_loses_whole_heads_unless_inner_positions_are_asked_for(
    split, heads_left, head_dim
):
    torch.manual_seed(0)
    model = _llama().eval()
    calibrator = TavrixPruningCalibrator(model)
    call = dict(input_ids=IDS, attention_mask=MASK)
    with rules.extended(split=split):
        found = rules.coverage(model, (), call)
        with calibrator:
            model(**call).logits.pow(2).mean().backward()
    assert found.share == (0.5 if split == "inner" else 1.0)  # "inner": the MLPs only
    plan = calibrator.cutplan
    removed = choose_channels(plan, 0.5, uniform_layers=True)
    original = copy.deepcopy(model)
    shrink(model, plan, removed)
    assert check_equal(original, model, plan, removed, (), call).passed
    attention = model.model.layers[0].self_attn
    assert attention.q_proj.out_features == heads_left * head_dim
    assert model.config.num_attention_heads == heads_left
