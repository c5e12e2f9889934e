"""The extended rules on the torchvision zoo (random weights, eval mode, batch 1): coverage
against the standard rules, and the models they change calibrated, cut by 30% of every
prunable group and proven equal to the masked original."""

import copy
import math
import re
import warnings

import pytest
import torch
import torch.nn.functional as F

from tavrix.pruning import rules
from tavrix.pruning.cutplan import get_cutplan
from tavrix.pruning.gatecal import TavrixPruningCalibrator
from tavrix.pruning.importance import channel_importance
from tavrix.pruning.shrink import ShrinkError, check_equal, choose_channels, shrink, shrinkable
from test_shrink_zoo import ZOO, build

from shrink_helpers import rebuild_mismatches, same_state, state

pytest.importorskip("torchvision.models")

CLASSIC = [
    "resnet18",
    "resnet50",
    "mobilenet_v2",
    "mobilenet_v3_small",
    "efficientnet_b0",
    "densenet121",
    "googlenet",
    "squeezenet1_0",
    "inception_v3",
]
# the models the extended rules change, with the coverage they reach (swin_t: its hand-written
# attention reads its width off the stream, which keeps its residual streams whole)
CHANGED = {
    "regnet_y_400mf": 0.95,
    "convnext_tiny": 0.95,
    "shufflenet_v2_x1_0": 0.95,
    "swin_t": 0.95,
    "vit_b_16": 0.95,
}


def _cut_and_check(model, plan, removed, inputs):
    """Shrinks ``model`` by ``removed`` and proves it equal to the masked original."""
    original = copy.deepcopy(model)
    report = shrink(model, plan, removed)  # outside the block: the plan knows its rules
    result = check_equal(original, model, plan, removed, inputs)
    assert result.passed, str(result)
    return report, result


def _input(name, generator):
    size = 299 if name == "inception_v3" else 224
    return torch.randn(1, 3, size, size, generator=generator)


@pytest.mark.zoo
@pytest.mark.parametrize("name", CLASSIC)
def test_classic_networks_stay_fully_covered(name):
    """... and their extended plans cut soundly (30% of every group by weight magnitude)."""
    assert name in ZOO
    x = _input(name, torch.Generator().manual_seed(0))
    model = build(name)
    with warnings.catch_warnings(), rules.extended():
        warnings.simplefilter("ignore", UserWarning)
        found = rules.coverage(model, (x,))
        plan = get_cutplan(model, (x,), {})
    assert found.share == 1.0 and found.removable == found.channels > 0
    removed = choose_channels(plan, 0.3, importance="magnitude", model=model)
    assert len(removed) == len(plan.prunable_groups)
    _cut_and_check(model, plan, removed, (x,))


@pytest.mark.zoo
@pytest.mark.parametrize("name", list(CHANGED))
def test_changed_networks_shrink_equal(name):
    generator = torch.Generator().manual_seed(1)
    x = _input(name, generator)
    model = build(name)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # layers the standard rules leave unpruned
        standard = rules.coverage(model, (x,))
        calibrator = TavrixPruningCalibrator(model)
        with rules.extended():
            extended = rules.coverage(model, (x,))
            with calibrator:
                for _ in range(2):
                    logits = model(_input(name, generator))
                    F.cross_entropy(logits, logits.argmax(dim=1)).backward()
    plan = calibrator.cutplan
    assert extended.share >= max(CHANGED[name], standard.share)

    removed = choose_channels(plan, 0.3)
    sizes = [len(labels) for _, labels in plan.prunable_groups]
    assert {i: len(labels) for i, labels in removed.items()} == {
        i: math.floor(0.3 * n) for i, n in enumerate(sizes) if math.floor(0.3 * n)
    }
    report, result = _cut_and_check(model, plan, removed, (x,))
    assert report.parameters_after < report.parameters_before
    assert rebuild_mismatches(model) == []
    before, after = report.parameters_before, report.parameters_after
    print(
        f"{name}: coverage {standard.share:.3f} -> {extended.share:.3f}; parameters {before:,} -> "
        f"{after:,} ({100 * (before - after) / before:.1f}% fewer); {result.relative_diff:.1e}"
    )


# ------------------------------------------------------------------ language models

SMALL = dict(
    vocab_size=100,
    hidden_size=128,
    num_hidden_layers=2,
    num_attention_heads=4,
    intermediate_size=256,
    max_position_embeddings=64,
)


class LanguageModel(torch.nn.Module):
    """A transformers model called on token ids with explicit position (and token type) ids:
    ids the model makes itself are not traced, so their embeddings would be constants."""

    def __init__(self, kind):
        super().__init__()
        import transformers

        self.kind = kind
        if kind == "bert":
            config = transformers.BertConfig(**SMALL)
            self.model = transformers.BertForSequenceClassification(config)
        elif kind == "llama":
            config = transformers.LlamaConfig(**SMALL, num_key_value_heads=2)
            self.model = transformers.LlamaForCausalLM(config)
        elif kind == "t5":  # relative position bias per head, head_dim held as key_value_proj_dim
            config = transformers.T5Config(
                vocab_size=100,
                d_model=128,
                d_kv=32,
                d_ff=256,
                num_layers=2,
                num_heads=4,
                decoder_start_token_id=0,
                relative_attention_num_buckets=8,
            )
            self.model = transformers.T5ForConditionalGeneration(config)
        elif kind == "bloom":  # alibi attention; its GeLU is a torch.autograd.Function
            config = transformers.BloomConfig(vocab_size=100, hidden_size=64, n_layer=2, n_head=4)
            self.model = transformers.BloomForCausalLM(config)
        elif kind == "gpt_neox":  # q, k, v packed per head: view(..., -1, 3 * head_size)
            config = transformers.GPTNeoXConfig(
                **SMALL, rotary_pct=0.5, use_parallel_residual=False
            )
            self.model = transformers.GPTNeoXForCausalLM(config)
        elif kind == "phi":  # rotary embeddings on half of each head's positions
            config = transformers.PhiConfig(**SMALL, partial_rotary_factor=0.5)
            self.model = transformers.PhiForCausalLM(config)
        else:
            config = transformers.GPT2Config(
                vocab_size=100,
                n_embd=128,
                n_layer=2,
                n_head=4,
                n_inner=256,
                n_positions=64,
                bos_token_id=0,
                eos_token_id=0,
            )
            self.model = transformers.GPT2LMHeadModel(config)  # head tied to the embeddings

    def forward(self, ids):
        positions = torch.arange(ids.shape[1]).expand_as(ids)
        if self.kind == "bert":
            extra = {"position_ids": positions, "token_type_ids": torch.zeros_like(ids)}
        elif self.kind == "gpt2":
            extra = {"position_ids": positions, "use_cache": False}
        elif self.kind == "t5":
            extra = {"decoder_input_ids": ids[:, :6], "use_cache": False}
        else:
            extra = {"use_cache": False}  # rotary positions: computed, not embedded
        return self.model(input_ids=ids, return_dict=False, **extra)[0]


# LLaMA's rotary embeddings rotate head_dim positions in pairs: only whole heads go
LANGUAGE_MODELS = {"bert": {}, "gpt2": {}, "llama": {"split": "outer"}, "t5": {}}


@pytest.mark.zoo
@pytest.mark.parametrize("kind", list(LANGUAGE_MODELS))
def test_language_models_shrink_equal(kind):
    pytest.importorskip("transformers")
    torch.manual_seed(0)
    model = LanguageModel(kind).eval()
    generator = torch.Generator().manual_seed(2)
    ids = torch.randint(0, 100, (2, 12), generator=generator)
    calibrator = TavrixPruningCalibrator(model)
    with warnings.catch_warnings(), rules.extended(**LANGUAGE_MODELS[kind]):
        warnings.simplefilter("ignore", UserWarning)
        found = rules.coverage(model, (ids,))
        with calibrator:
            for _ in range(2):
                logits = model(torch.randint(0, 100, (2, 12), generator=generator))
                logits.float().pow(2).mean().backward()
    # every layer but the one making the outputs (the head) in a prunable group
    assert found.share == 1.0 and found.removable == found.channels > 0
    assert all(layer.prunable == layer.channels for layer in found.layers)
    plan = calibrator.cutplan
    removed = choose_channels(plan, 0.3)
    assert removed
    report, result = _cut_and_check(model, plan, removed, (ids,))
    before, after = report.parameters_before, report.parameters_after
    print(
        f"{kind}: coverage {found.share:.3f} of {found.channels} channels; parameters {before:,} "
        f"-> {after:,} ({100 * (before - after) / before:.1f}% fewer); {result.relative_diff:.1e}"
    )


@pytest.mark.zoo
def test_partial_rotary_attention_loses_equal_head_dim_in_query_key_and_value():
    """Phi rotates half of each head's positions: q/k can lose only the other half, v any of
    its positions, and one head_dim attribute sizes all three, so the chosen counts match."""
    pytest.importorskip("transformers")
    torch.manual_seed(0)
    model = LanguageModel("phi").eval()
    generator = torch.Generator().manual_seed(3)
    calibrator = TavrixPruningCalibrator(model)
    with warnings.catch_warnings(), calibrator, rules.extended():
        warnings.simplefilter("ignore", UserWarning)
        for _ in range(2):
            model(torch.randint(0, 100, (2, 12), generator=generator)).pow(2).mean().backward()
    plan = calibrator.cutplan
    query_key, value = (
        next(
            i
            for i, (nodes, _) in enumerate(plan.prunable_groups)
            if any(n.module_path.endswith(name) for n in nodes if n.module_path)
        )
        for name in ("layers.0.self_attn.q_proj", "layers.0.self_attn.v_proj")
    )
    sizes = [len(plan.prunable_groups[i][1]) for i in (query_key, value)]
    assert sizes == [16, 32]  # q/k: the positions that are not rotated
    ids = torch.randint(0, 100, (2, 12), generator=generator)
    for ratio, round_to, lost in ((0.3, 1, 4), (0.3, 8, 0), (0.5, 8, 8)):
        removed = choose_channels(plan, ratio, round_to=round_to)
        assert [len(removed.get(i, ())) for i in (query_key, value)] == [lost, lost]
    _cut_and_check(model, plan, removed, (ids,))
    assert model.model.model.layers[0].self_attn.head_dim == 24


# timm's attention blocks (vision transformers: 2 blocks, 32 x 32 images in patches of 8): the
# cut either follows every number the code sizes the heads with, or is refused with the model
# left as it was
TIMM_ATTENTION = {
    # heads merged back to the width the module holds (attn_dim): cut and equal
    "vit_tiny_patch16_224": ({"depth": 2}, None),
    # class attention splitting heads by C // num_heads, C read off the stream the cut leaves
    # as it is: the number would no longer fit
    "cait_xxs24_224": ({"depth": 1, "depth_token_only": 1}, "given the size 48 for channels"),
    # heads merged back to the width read off the input (``reshape(B, N, C)``), which
    # equals heads x head_dim: the stream loses as many channels as the heads
    "vit_relpos_small_patch16_224": ({"depth": 2}, "in step"),
    # q and k pieces of an unbind multiplied by hand; the stream cut, with the widths the
    # model holds for its head (num_features, embed_dim)
    "convit_tiny": ({"depth": 2, "local_up_to_layer": 1}, None),
    # convolutions, then attention holding its head_dim as dim_head
    "coatnet_nano_rw_224": ({"img_size": 64}, None),
}


def _calibrated_extended(model, batch, **options):
    """The plan of two calibration calls on ``batch()`` under the extended rules."""
    calibrator = TavrixPruningCalibrator(model)
    with warnings.catch_warnings(), rules.extended(**options):
        warnings.simplefilter("ignore", UserWarning)
        with calibrator:
            for _ in range(2):
                model(batch()).float().pow(2).mean().backward()
    return calibrator.cutplan


@pytest.mark.zoo
@pytest.mark.parametrize("name", list(TIMM_ATTENTION))
def test_timm_attention_is_cut_equal_or_refused(name):
    timm = pytest.importorskip("timm")
    options, refusal = TIMM_ATTENTION[name]
    torch.manual_seed(0)
    if not name.startswith("coatnet"):
        options = {"img_size": 32, "patch_size": 8, **options}
    model = timm.create_model(name, num_classes=4, **options).eval()
    shape = (2, 3, options["img_size"], options["img_size"])
    generator = torch.Generator().manual_seed(1)
    plan = _calibrated_extended(model, lambda: torch.randn(shape, generator=generator))
    removed = choose_channels(plan, 0.3)
    x = torch.randn(shape, generator=generator)
    if refusal == "in step":
        _cut_and_check(model, plan, removed, (x,))
        attention = model.blocks[0].attn
        assert attention.qkv.in_features == attention.num_heads * attention.head_dim < 384
        assert model.embed_dim == model.num_features == model.head.in_features
        model.reset_classifier(3)  # sized by embed_dim: follows the stream
        assert model(x).shape == (2, 3)
        return
    if refusal is None:
        _cut_and_check(model, plan, removed, (x,))
        if name.startswith("coatnet"):
            assert model.stages[2].blocks[0].attn.dim_head < 32
            return
        attention = model.blocks[0].attn
        if name.startswith("vit"):
            assert attention.attn_dim == 3 * attention.head_dim < 192
        else:
            assert model.num_features < 192
        assert model.num_features == model.embed_dim == model.head.in_features
        model.reset_classifier(3)  # a new head sized by the model's own width
        assert model(x).shape == (2, 3)
        return
    saved = state(model)
    with pytest.raises(ShrinkError, match=refusal):
        shrink(model, plan, removed)
    assert same_state(model, saved)
    # the groups the shrink takes are cut, the others named with the reason
    kept, refused = shrinkable(model, plan, removed)
    assert same_state(model, saved) and kept and refused
    assert set(kept) | set(refused) == set(removed) and not set(kept) & set(refused)
    assert all(re.search(refusal, reason) for reason in refused.values())
    _cut_and_check(model, plan, kept, (x,))


# timm's own patterns the extended rules cut: an unread ``B, N, C = x.shape`` before q, k and v
# unbound from one projection (ViT, DeiT), a layer scale reshaped in the call
# (``x.mul(self.gamma.reshape(1, -1, 1, 1))``, ConvNeXt), slices at a count the module holds
# (GhostNet's ``out[:, : self.out_chs]``, all of it; DPN's ``x[:, : self.num_1x1_c]``)
TIMM_PATTERNS = {
    "vit_tiny_patch16_224": ({"depth": 2, "img_size": 32, "patch_size": 8}, 32),
    "deit_tiny_patch16_224": ({"depth": 2, "img_size": 32, "patch_size": 8}, 32),
    "convnext_atto": ({}, 64),
    "ghostnet_100": ({}, 64),
    "dpn68": ({}, 64),
}


@pytest.mark.zoo
@pytest.mark.parametrize("name", list(TIMM_PATTERNS))
def test_timm_patterns_are_covered_and_cut_equal(name):
    timm = pytest.importorskip("timm")
    options, size = TIMM_PATTERNS[name]
    torch.manual_seed(0)
    model = timm.create_model(name, num_classes=4, **options).eval()
    generator = torch.Generator().manual_seed(1)
    x = torch.randn(2, 3, size, size, generator=generator)
    with rules.extended():
        found = rules.coverage(model, (x,))
    assert found.share >= 0.95
    plan = _calibrated_extended(model, lambda: torch.randn(2, 3, size, size, generator=generator))
    head = model.get_classifier()
    width = head.weight.shape[1]
    _cut_and_check(model, plan, choose_channels(plan, 0.3), (x,))
    assert head.weight.shape[1] < width  # the stream is cut
    model.reset_classifier(3)  # a new head sized by the widths the model keeps
    assert model(x).shape == (2, 3)
    if name.startswith("convnext"):
        block = model.stages[0].blocks[0]
        assert block.gamma.shape == (block.conv_dw.out_channels,) and block.gamma.shape[0] < 40
    if name.startswith("ghostnet"):
        ghost = model.blocks[1][0].ghost1  # its two halves, cut alike
        assert ghost.out_chs == 2 * ghost.primary_conv[0].out_channels < 48
    if name.startswith("dpn"):
        # the residual path, a prefix of the stream and of the block's last convolution
        block = model.features.conv3_2
        assert block.num_1x1_c < min(128, block.c1x1_c.conv.out_channels)


@pytest.mark.zoo
def test_timm_packed_heads_and_rotary_whole_heads():
    """timm's q, k and v packed as ``reshape(B, N, 3, heads, head_dim)`` lose whole heads of
    each with ``split="outer"``. EVA-02's rotary embeddings (computed sin/cos, a strided
    ``rot()`` stacked back) pin its head_dim positions, so its attention falls back to whole
    heads; q, k and v's bias is concatenated in the call (each piece is cut), and the heads
    are merged back with ``reshape(B, N, C)``, C read off the stream: the stream loses
    head_dim channels per head removed, or, cut otherwise, is refused."""
    timm = pytest.importorskip("timm")
    torch.manual_seed(0)
    vit = timm.create_model(
        "vit_tiny_patch16_224", img_size=32, patch_size=8, depth=2, num_classes=4
    ).eval()
    generator = torch.Generator().manual_seed(1)
    batch = lambda: torch.randn(2, 3, 32, 32, generator=generator)  # noqa: E731
    with rules.extended(split="outer"):
        assert rules.coverage(vit, (batch(),)).share == 1.0
    plan = _calibrated_extended(vit, batch, split="outer")
    _cut_and_check(vit, plan, choose_channels(plan, 0.4), (batch(),))
    attention = vit.blocks[0].attn
    assert attention.num_heads == 2 and attention.qkv.out_features == 3 * 2 * 64

    eva = timm.create_model("eva02_tiny_patch14_224", img_size=56, depth=2, num_classes=4)
    eva.eval()
    batch = lambda: torch.randn(2, 3, 56, 56, generator=generator)  # noqa: E731
    with rules.extended():
        assert rules.coverage(eva, (batch(),)).share == 1.0
    plan = _calibrated_extended(eva, batch)
    removed = choose_channels(plan, 0.4)
    heads = [i for i, (_, labels) in enumerate(plan.prunable_groups) if len(labels) == 3]
    assert len(heads) == 2  # one label per head of each block
    stream = next(i for i, (_, labels) in enumerate(plan.prunable_groups) if len(labels) == 192)
    assert [len(removed[i]) for i in heads] == [1, 1] and len(removed[stream]) == 64
    saved = state(eva)
    with pytest.raises(ShrinkError, match="a number the code reads off other channels"):
        shrink(eva, plan, {stream: removed[stream]})  # the heads kept: C would not fit
    assert same_state(eva, saved)
    assert shrinkable(eva, plan, removed) == (removed, {})
    _cut_and_check(eva, plan, removed, (batch(),))
    attention = eva.blocks[0].attn
    assert attention.num_heads == 2 and attention.qkv.weight.shape == (384, 128)
    assert attention.q_bias.shape == attention.v_bias.shape == (128,)


@pytest.mark.zoo
def test_timm_reshapes_by_a_count_read_off_other_channels_or_held_by_the_module():
    """PVT-v2 reshapes its key/value reduction ``self.sr(x).reshape(B, C, -1)`` with C read off
    the stream, and merges its heads back by that C; Hiera merges its heads back by
    ``self.dim_out``, which equals head_dim in its first block. A cut is taken only where
    those numbers still fit (the stream and the reduction lose equally many: they are chosen
    so), is refused naming the number where not, and leaves a model equal to the masked
    original."""
    timm = pytest.importorskip("timm")
    torch.manual_seed(0)
    generator = torch.Generator().manual_seed(1)
    batch = lambda: torch.randn(2, 3, 64, 64, generator=generator)  # noqa: E731
    pvt = timm.create_model("pvt_v2_b0", depths=(1, 1, 1, 1), num_classes=4).eval()
    plan = _calibrated_extended(pvt, batch)
    names = plan.prunable_module_names_by_nodes
    stream, reduction = (
        next(
            i
            for i, (nodes, _) in enumerate(plan.prunable_groups)
            if module in map(names.get, nodes)
        )
        for module in ("patch_embed.proj", "stages.0.blocks.0.attn.sr")
    )
    x = batch()
    labels = plan.prunable_groups[stream][1]
    saved = state(pvt)
    with pytest.raises(ShrinkError, match="both must lose equally many"):
        shrink(pvt, plan, {stream: labels[:3]})  # the reduction keeps its 32: C would not fit
    assert same_state(pvt, saved)
    removed = choose_channels(plan, 0.3)
    assert len(removed[stream]) == len(removed[reduction]) > 0
    assert shrinkable(pvt, plan, removed) == (removed, {})
    _cut_and_check(pvt, plan, removed, (x,))
    assert pvt.stages[0].blocks[0].attn.sr.out_channels == 32 - len(removed[stream])
    # later stages merge their two heads back by C: the stream loses two channels per
    # head_dim position
    attention = pvt.stages[1].blocks[0].attn
    assert attention.q.in_features == attention.q.out_features == 2 * attention.head_dim < 64

    hiera = timm.create_model(
        "hiera_tiny_224", img_size=(64, 64), stages=(1, 1, 1, 1), num_classes=4
    ).eval()
    plan = _calibrated_extended(hiera, batch)
    kept, refused = shrinkable(hiera, plan, choose_channels(plan, 0.3))
    assert kept and any(
        "blocks.2.attn.dim_out, which its forward reads, holds that number" in reason
        for reason in refused.values()
    )
    assert not any(".attn.dim holds" in reason for reason in refused.values())  # never read
    _cut_and_check(hiera, plan, kept, (x,))


@pytest.mark.zoo
@pytest.mark.parametrize("name", ["levit_128s", "levit_conv_128s"])
def test_timm_levit_attention_loses_whole_heads(name):
    """LeViT splits each head into q, k and v of differing sizes (``split([16, 16, 32])``),
    adds a bias table gathered per head (``attention_biases[:, idxs]``, cached in eval mode),
    merges the heads back by ``self.val_attn_dim`` and reads ``B, N, C = x.shape`` with C
    unused: its stream is free, its attention loses whole heads with the table's rows and the
    module's counts, also after an earlier call filled the cache; an attribute that may count
    the heads (key_dim = 16 beside 16 heads) is refused by name."""
    timm = pytest.importorskip("timm")
    torch.manual_seed(0)
    generator = torch.Generator().manual_seed(1)
    batch = lambda: torch.randn(2, 3, 80, 80, generator=generator)  # noqa: E731
    model = timm.create_model(name, img_size=80, depth=(1, 1, 1), num_classes=4).eval()
    with rules.extended():
        assert rules.coverage(model, (batch(),)).share >= 0.95
    plan = _calibrated_extended(model, batch)  # the bias tables cached by the call above
    kept, refused = shrinkable(model, plan, choose_channels(plan, 0.3))
    assert len(refused) == 1 and "key_dim = 16 may count" in next(iter(refused.values()))
    _cut_and_check(model, plan, kept, (batch(),))
    attentions = (model.stages[0].blocks[0].attn, model.stages[1].downsample.attn_downsample)
    assert [a.num_heads for a in attentions] == [3, 6]  # of 4 and 8
    for attention in attentions:
        heads = attention.num_heads
        assert attention.attention_biases.shape[0] == heads
        assert attention.val_attn_dim == heads * attention.val_dim
        assert attention.key_attn_dim == heads * attention.key_dim


@pytest.mark.zoo
def test_gates_inside_a_custom_autograd_function_measure_nothing():
    """BLOOM's GeLU runs its operations in a torch.autograd.Function's forward, where nothing
    is recorded: the gates there count no samples and get no gradient, and the MLP width is
    measured by the gate on the projection feeding the function."""
    pytest.importorskip("transformers")
    torch.manual_seed(0)
    model = LanguageModel("bloom").eval()
    generator = torch.Generator().manual_seed(4)
    calibrator = TavrixPruningCalibrator(model)
    with warnings.catch_warnings(), calibrator:
        warnings.simplefilter("ignore", UserWarning)
        for _ in range(2):
            model(torch.randint(0, 100, (2, 12), generator=generator)).pow(2).mean().backward()
    plan = calibrator.cutplan
    assert any(gate.num_samples == 0 for gate in plan.gate_container.values())
    groups = channel_importance(plan)
    assert len(groups) == 2 and all(bool((g.importance > 0).all()) for g in groups)
    removed = choose_channels(plan, 0.3)
    _cut_and_check(model, plan, removed, (torch.randint(0, 100, (2, 12), generator=generator),))


@pytest.mark.zoo
@pytest.mark.parametrize("reentrant", [True, False])
def test_gradient_checkpointing_is_refused_and_named(reentrant):
    """transformers' layers checkpoint only while gradients are recorded, so the calibration
    calls run other operations than the analysed call: the refusal says why."""
    pytest.importorskip("transformers")
    torch.manual_seed(0)
    model = LanguageModel("llama")
    model.model.activation_checkpointing_enable({"use_reentrant": reentrant})
    saved, flags = state(model), [p.requires_grad for p in model.parameters()]
    with pytest.raises(RuntimeError, match="inside activation checkpointing.*checkpointing off"):
        with TavrixPruningCalibrator(model):
            model(torch.randint(0, 100, (2, 12))).pow(2).mean().backward()
    assert same_state(model, saved) and [p.requires_grad for p in model.parameters()] == flags


@pytest.mark.zoo
@pytest.mark.parametrize(
    "name, attribute",
    [
        ("res2net50_14w_8s", "width"),  # torch.split(out, self.width, 1)
        ("cspresnet50", "expand_chs"),  # x.split(self.expand_chs // 2, dim=1)
        ("mixnet_s", "splits"),  # torch.split(x, self.splits, 1): a list of equal sizes
    ],
)
def test_timm_splits_by_numbers_the_modules_hold(name, attribute):
    timm = pytest.importorskip("timm")
    torch.manual_seed(0)
    model = timm.create_model(name, num_classes=4).eval()
    generator = torch.Generator().manual_seed(1)
    plan = _calibrated_extended(model, lambda: torch.randn(2, 3, 64, 64, generator=generator))
    removed = choose_channels(plan, 0.3)
    report, _ = _cut_and_check(model, plan, removed, (torch.randn(2, 3, 64, 64),))
    assert any(attribute in attrs for attrs in report.module_attributes.values())


class VisionModel(torch.nn.Module):
    """A transformers image model's logits."""

    def __init__(self, kind):
        super().__init__()
        import transformers

        if kind == "swin":  # patch merging reshapes to 4 x the width it reads
            config = transformers.SwinConfig(
                image_size=32,
                patch_size=2,
                embed_dim=32,
                depths=[2, 2],
                num_heads=[2, 4],
                window_size=4,
                num_labels=4,
            )
            self.model = transformers.SwinForImageClassification(config)
        else:  # sequence reduction: reshape(batch, C read off its input, height, width)
            config = transformers.SegformerConfig(
                num_encoder_blocks=4,
                depths=[1, 1, 1, 1],
                sr_ratios=[8, 4, 2, 1],
                hidden_sizes=[16, 32, 48, 64],
                num_attention_heads=[1, 2, 3, 4],
                decoder_hidden_size=32,
                num_labels=4,
            )
            self.model = transformers.SegformerForSemanticSegmentation(config)

    def forward(self, x):
        return self.model(pixel_values=x, return_dict=False)[0]


@pytest.mark.zoo
@pytest.mark.parametrize(
    "kind, split, shape",
    [
        ("gpt_neox", "largest", (2, 12)),
        ("swin", "largest", (2, 3, 32, 32)),
        ("segformer", "largest", (1, 3, 64, 64)),
    ],
)
def test_transformers_reshapes_given_numbers_that_follow_the_cut(kind, split, shape):
    """The numbers these models reshape by (3 * self.head_size with a -1 taking the heads,
    4 x a width read off the input, a width read off the input beside a height passed in)
    follow the cut: the shrink takes them and the cut model equals the masked original."""
    pytest.importorskip("transformers")
    torch.manual_seed(0)
    model = (LanguageModel(kind) if kind == "gpt_neox" else VisionModel(kind)).eval()
    generator = torch.Generator().manual_seed(5)

    def batch():
        if kind == "gpt_neox":
            return torch.randint(0, 100, shape, generator=generator)
        return torch.randn(shape, generator=generator)

    plan = _calibrated_extended(model, batch, split=split)
    removed = choose_channels(plan, 0.3)
    report, _ = _cut_and_check(model, plan, removed, (batch(),))
    assert report.parameters_after < report.parameters_before
