"""Shrinking big models on one machine: the dtype-aware check, the check without a copy of
the original, loading without the original's weights and the cut installed module by module."""

import copy
import gc
import warnings
import weakref

import pytest
import torch

from tavrix.demo_model import residual_cnn
from tavrix.pruning.cutplan import get_cutplan
from tavrix.pruning.shrink import (
    CheckReference,
    check_equal,
    choose_channels,
    record_reference,
    shrink,
)

from shrink_helpers import randomise


def _plan(model, *args):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # layers the engine leaves unpruned
        return get_cutplan(model, args, {})


class CausalLM(torch.nn.Module):
    """A small LLaMA returning its logits (grouped-query attention, rotary positions)."""

    def __init__(self, layers=4, **config):
        super().__init__()
        import transformers

        settings = dict(
            vocab_size=300,
            hidden_size=128,
            intermediate_size=352,
            num_hidden_layers=layers,
            num_attention_heads=8,
            num_key_value_heads=2,
        )
        settings.update(config)
        self.model = transformers.LlamaForCausalLM(transformers.LlamaConfig(**settings))

    def forward(self, ids):
        return self.model(input_ids=ids, use_cache=False, return_dict=False)[0]


def _llama(dtype=torch.float32, seed=0, layers=4):
    pytest.importorskip("transformers")
    torch.manual_seed(seed)
    model = CausalLM(layers).eval().to(dtype)
    ids = torch.randint(0, 300, (1, 24), generator=torch.Generator().manual_seed(1))
    return model, ids


def _cut(model, x, ratio=0.25):
    plan = _plan(model, x)
    return plan, choose_channels(plan, ratio, importance="magnitude", model=model)


# --------------------------------------------------------------------------- tolerance


@pytest.mark.parametrize(
    "dtype, tolerance, note",
    [
        (torch.float32, 1e-4, ""),
        (torch.bfloat16, 8 * 2.0**-7, "8 x bfloat16 eps"),
        (torch.float16, 8 * 2.0**-10, "8 x float16 eps"),
    ],
)
def test_default_tolerance_follows_the_output_dtype(dtype, tolerance, note):
    model, ids = _llama(dtype, layers=8)
    plan, removed = _cut(model, ids)
    original = copy.deepcopy(model)
    shrink(model, plan, removed)
    result = check_equal(original, model, plan, removed, (ids,))
    assert result.passed, str(result)
    assert (result.tolerance, result.tolerance_note) == (tolerance, note)
    assert f"tolerance {tolerance:g}" + (f", {note})" if note else ")") in str(result)
    # a given tolerance is the one used, without a note
    strict = check_equal(original, model, plan, removed, (ids,), tolerance=1e-9)
    assert (strict.tolerance, strict.tolerance_note) == (1e-9, "")
    assert strict.passed is (result.max_abs_diff == 0)


# --------------------------------------------------------------------------- reference


def _broken_cnn():
    """The residual CNN cut in half, its shrunk copy with one weight off."""
    torch.manual_seed(0)
    model = randomise(residual_cnn().eval())
    x = torch.randn(2, 3, 32, 32)
    plan = _plan(model, x)
    removed = {i: list(labels[::2]) for i, (_, labels) in enumerate(plan.prunable_groups)}
    return model, x, plan, removed


def _off(model):
    broken = copy.deepcopy(model)
    with torch.no_grad():
        broken.stage2.conv1.weight[0] += 1.0
    return broken


@pytest.mark.parametrize("node_values", [False, True], ids=["summaries", "values"])
def test_one_model_check_equals_the_two_model_check(node_values):
    model, x, plan, removed = _broken_cnn()
    original = copy.deepcopy(model)
    reference = record_reference(model, plan, removed, (x,), node_values=node_values)
    assert isinstance(reference, CheckReference) and reference.nbytes > 0
    shrink(model, plan, removed)
    del x  # the reference holds its own copy of the inputs

    x = reference.args[0]
    for shrunk in (model, _off(model)):
        two = check_equal(original, shrunk, plan, removed, (x,))
        one = check_equal(reference, shrunk)
        assert one.passed is two.passed is (shrunk is model)
        assert (one.max_abs_diff, one.scale, one.tolerance) == (
            two.max_abs_diff,
            two.scale,
            two.tolerance,
        )
        if node_values or one.passed:
            assert one == two
        else:  # the same node, measured at the sampled positions: no more than the whole
            first, want = one.first_diverging, two.first_diverging
            assert (first.index, first.name, first.module) == (want.index, want.name, want.module)
            assert first.scale == want.scale and 0 < first.max_abs_diff <= want.max_abs_diff
    # a shrunk model that breaks at a node is named there, as the two-model check names it
    broken = copy.deepcopy(model)
    broken.stage2.bn1 = torch.nn.BatchNorm2d(17).eval()
    one, two = check_equal(reference, broken), check_equal(original, broken, plan, removed, (x,))
    assert one.first_diverging == two.first_diverging
    assert "raised RuntimeError" in one.first_diverging.reason


def test_reference_holds_no_model_and_rejects_two_model_arguments():
    model, x, plan, removed = _broken_cnn()
    before = {k: v.clone() for k, v in model.state_dict().items()}
    reference = record_reference(model, plan, removed, (x,))
    assert all(torch.equal(before[k], v) for k, v in model.state_dict().items())
    # summaries: far less than the activations the values would keep
    values = record_reference(model, plan, removed, (x,), node_values=True)
    assert reference.nbytes < values.nbytes / 5
    with pytest.raises(TypeError, match=r"call check_equal\(reference, shrunk\)"):
        check_equal(reference, model, plan, removed, (x,))
    with pytest.raises(TypeError, match="needs the plan and the removed channels"):
        check_equal(copy.deepcopy(model), model)
    with pytest.raises(ValueError, match="in training mode"):
        record_reference(model.train(), plan, removed, (x,))
    model.eval()
    alive = weakref.ref(model)
    del model, values
    gc.collect()
    assert alive() is None  # the reference kept no part of the model alive
    assert reference.graph is plan.graph or len(reference.graph) == len(plan.graph)


def test_one_model_check_of_a_bfloat16_llama():
    model, ids = _llama(torch.bfloat16, layers=8)
    plan, removed = _cut(model, ids)
    reference = record_reference(model, plan, removed, (ids,))
    shrink(model, plan, removed)
    result = check_equal(reference, model)
    assert result.passed and result.tolerance_note == "8 x bfloat16 eps", str(result)


# --------------------------------------------------------------------------- installing


def _snapshot(model):
    return (
        {k: v.detach().clone() for k, v in model.state_dict(keep_vars=True).items()},
        {k: type(v) for k, v in model.state_dict(keep_vars=True).items()},
        {k: v.requires_grad for k, v in model.state_dict(keep_vars=True).items()},
        repr(model),
    )


def _bitwise(model, snapshot):
    values, kinds, grads, text = snapshot
    now = model.state_dict(keep_vars=True)
    return (
        repr(model) == text
        and now.keys() == values.keys()
        and all(
            type(now[k]) is kinds[k]
            and now[k].requires_grad == grads[k]
            and now[k].dtype == values[k].dtype
            and now[k].stride() == values[k].stride()
            and torch.equal(now[k].detach(), values[k])
            for k in values
        )
    )


MODELS = {
    "cnn": lambda: _broken_cnn()[:2],
    "cnn-channels-last": lambda: (
        _broken_cnn()[0].to(memory_format=torch.channels_last),
        _broken_cnn()[1],
    ),
    "llama": lambda: _llama(layers=2),
}


@pytest.mark.parametrize("hold", [True, False], ids=["caller-holds", "nothing-holds"])
@pytest.mark.parametrize("name", sorted(MODELS))
@pytest.mark.parametrize("fail_at", [1, 5])
def test_failure_while_installing_puts_the_model_back(monkeypatch, name, hold, fail_at):
    from tavrix.pruning.shrink import cut

    model, x = MODELS[name]()
    model.requires_grad_(False)
    next(model.parameters()).requires_grad_(True)
    plan, removed = _cut(model, x, 0.5)
    snapshot = _snapshot(model)
    held = dict(model.state_dict(keep_vars=True)) if hold else {}
    calls = []
    sliced = cut._sliced

    def failing(*args, **kwargs):
        calls.append(1)
        if len(calls) == fail_at:
            raise MemoryError("no room for the new tensor")
        return sliced(*args, **kwargs)

    monkeypatch.setattr(cut, "_sliced", failing)
    with pytest.raises(MemoryError, match="no room"):
        shrink(model, plan, removed)
    assert len(calls) == fail_at
    assert _bitwise(model, snapshot)
    if hold:  # the very tensors the caller holds are back in their places
        now = model.state_dict(keep_vars=True)
        assert all(now[k] is held[k] for k in held)
    monkeypatch.setattr(cut, "_sliced", sliced)
    # the plan still names the model's tensors: the same cut then goes through
    shrink(model, plan, removed)
    assert not _bitwise(model, snapshot)


def test_each_old_tensor_goes_before_the_next_is_cut(monkeypatch):
    """Nothing but the model holds the old tensors: each is let go once its replacement is
    in place, so the cut never holds two copies of the model."""
    from tavrix.pruning.shrink import cut

    model, ids = _llama(layers=2)
    plan, removed = _cut(model, ids, 0.5)
    alive = [weakref.ref(t) for t in model.state_dict(keep_vars=True).values()]
    # a tensor someone else holds is theirs: left as it was
    mine = model.model.model.layers[1].mlp.down_proj.weight
    values = mine.detach().clone()
    counts = []
    sliced = cut._sliced

    def counting(tensor, *args, **kwargs):
        counts.append(sum(ref() is not None and ref().numel() > 0 for ref in alive))
        return sliced(tensor, *args, **kwargs)

    monkeypatch.setattr(cut, "_sliced", counting)
    report = shrink(model, plan, removed)
    assert len(counts) == len(report.tensors) > 4
    # every cut tensor before this one is gone: the count falls by one per tensor
    assert counts[-1] == counts[0] - len(counts) + 1 and counts == sorted(counts, reverse=True)
    assert (
        torch.equal(mine, values) and mine is not model.model.model.layers[1].mlp.down_proj.weight
    )
    del mine
    gc.collect()
    assert sum(ref() is not None for ref in alive) == len(alive) - len(report.tensors)


# --------------------------------------------------------------------------- loading


def _saved_llama(tmp_path, dtype):
    from tavrix.pruning.shrink import save_shrunk

    model, ids = _llama(dtype, layers=2)
    plan, removed = _cut(model, ids)
    report = shrink(model, plan, removed)
    path = tmp_path / "shrunk.pt"
    save_shrunk(path, model, report)
    return model, ids, path


def _meta_llama(layers=2):
    with torch.device("meta"):
        return CausalLM(layers).eval()


@pytest.mark.parametrize("dtype", [torch.float32, torch.bfloat16])
def test_load_into_a_meta_model_equals_loading_into_a_built_one(tmp_path, monkeypatch, dtype):
    from tavrix.pruning.shrink import cut, load_shrunk

    shrunk, ids, path = _saved_llama(tmp_path, dtype)
    torch.manual_seed(5)
    built = load_shrunk(path, CausalLM(2).eval().to(dtype))
    # no slice of a weight is made: the saved weights are the new tensors
    monkeypatch.setattr(cut, "_sliced", lambda *a, **k: pytest.fail("sliced a weight"))
    meta = load_shrunk(path, _meta_llama())
    want = shrunk.state_dict()
    for model in (built, meta):
        got = model.state_dict()
        assert got.keys() == want.keys()
        assert all(got[k].dtype == dtype and torch.equal(got[k], want[k]) for k in want)
        assert not any(t.is_meta for t in (*model.parameters(), *model.buffers()))
        assert repr(model) == repr(shrunk)
        with torch.no_grad():
            assert torch.equal(model(ids), shrunk(ids))
    # the rotary frequencies, a buffer the state dict leaves out, came from the file
    assert torch.equal(meta.model.model.rotary_emb.inv_freq, shrunk.model.model.rotary_emb.inv_freq)
    # the head stays tied to the embeddings when the model ties them
    assert (meta.model.lm_head.weight is meta.model.model.embed_tokens.weight) is (
        shrunk.model.lm_head.weight is shrunk.model.model.embed_tokens.weight
    )


@pytest.mark.parametrize(
    "tamper, match",
    [
        (lambda saved: saved["state_dict"].pop("model.lm_head.weight"), "it has no model.lm_head"),
        (lambda saved: saved.pop("buffers"), "do not give model.model.rotary_emb.inv_freq, which"),
        (
            lambda saved: saved["buffers"].update(
                {"model.model.rotary_emb.inv_freq": torch.ones(3)}
            ),
            r"give model\.model\.rotary_emb\.inv_freq the shape \(3,\)",
        ),
    ],
    ids=["missing-weight", "missing-buffer", "buffer-shape"],
)
def test_weights_that_do_not_fit_leave_the_meta_model_unchanged(tmp_path, tamper, match):
    from tavrix.pruning.shrink import load_shrunk

    _, ids, path = _saved_llama(tmp_path, torch.float32)
    saved = torch.load(path, weights_only=True)
    tamper(saved)
    torch.save(saved, path)
    model = _meta_llama()
    before = {k: (id(v), v.shape) for k, v in model.state_dict(keep_vars=True).items()}
    text = repr(model)
    with pytest.raises(ValueError, match=match + ".*the model was not changed"):
        load_shrunk(path, model)
    assert repr(model) == text
    assert {k: (id(v), v.shape) for k, v in model.state_dict(keep_vars=True).items()} == before
    with pytest.raises(ValueError, match="meta device cannot run the example inputs"):
        load_shrunk(path, model, (ids,))
