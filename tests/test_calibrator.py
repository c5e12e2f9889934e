import copy
import dataclasses
import gc
import io
import pickle
import types
import weakref

import pytest
import torch
import torch.nn.functional as F
from torch import nn

from tavrix.flowscope.intercept import TraceTensor, active_interceptor
from tavrix.pruning import gatecal
from tavrix.pruning.gatecal import TavrixPruningCalibrator
from tavrix.pruning.importance import channel_importance
from tavrix.pruning.shrink import choose_channels

import models
from shrink_helpers import same_state, state


class Head(nn.Module):
    def __init__(self) -> None:
        super().__init__()
        self.conv1 = nn.Conv2d(8, 8, 3, padding=1)
        self.bn = nn.BatchNorm2d(8)
        self.conv2 = nn.Conv2d(8, 4, 1)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return self.conv2(torch.relu(self.bn(self.conv1(x))))


class Net(nn.Module):
    def __init__(self) -> None:
        super().__init__()
        self.stem = nn.Conv2d(3, 8, 3, padding=1)
        self.head = Head()

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return self.head(torch.relu(self.stem(x)))


class Broken(nn.Module):
    """An attribute whose lookup fails with something other than AttributeError."""

    def __init__(self) -> None:
        super().__init__()
        self.lin = nn.Linear(2, 2)

    @property
    def flaky(self) -> nn.Module:
        raise RuntimeError("not now")


def make_net():
    torch.manual_seed(0)
    return Net().eval(), torch.randn(2, 3, 8, 8)


def error_of(model, entry_point):
    with pytest.raises((TypeError, ValueError)) as info:
        TavrixPruningCalibrator(model, entry_point=entry_point)
    return info.type, str(info.value)


SUFFIX = " the model passed to TavrixPruningCalibrator"


@pytest.mark.parametrize(
    "entry_point, expected",
    [
        (None, (TypeError, "entry_point should be a string")),
        ("", (ValueError, "entry_point is an empty string")),
        ("tail.forward", (ValueError, 'No such module "tail" in' + SUFFIX)),
        (
            "head.tail.forward",
            (ValueError, 'No such module "tail" in submodule "head" of' + SUFFIX),
        ),
        (
            "head.conv1.tail.forward",
            (ValueError, 'No such module "tail" in submodule "head.conv1" of' + SUFFIX),
        ),
        ("head..forward", (ValueError, 'No such module "" in submodule "head" of' + SUFFIX)),
        ("predict", (ValueError, 'No such function "predict" in' + SUFFIX)),
        (
            "head.predict",
            (ValueError, 'No such function "predict" in submodule "head" of' + SUFFIX),
        ),
        ("forward.", (ValueError, 'No such function "" in submodule "forward" of' + SUFFIX)),
        ("training", (ValueError, 'No such function "training" in' + SUFFIX)),
        (
            "head.training",
            (ValueError, 'No such function "training" in submodule "head" of' + SUFFIX),
        ),
    ],
)
def test_entry_point_errors(entry_point, expected):
    model, _ = make_net()
    before = dict(model.__dict__)
    assert error_of(model, entry_point) == expected
    assert model.__dict__ == before


def test_argument_type_errors():
    model, _ = make_net()
    # the entry point's type is checked first, then the model, then the path
    assert error_of(object(), 5)[0] is TypeError
    assert "entry_point" in error_of(object(), 5)[1]
    assert error_of(object(), None) == (
        TypeError,
        "Expected prunable_model to be of type torch.nn.Module",
    )
    # a lookup that raises anything counts as missing
    assert error_of(Broken(), "flaky.forward") == (
        ValueError,
        'No such module "flaky" in' + SUFFIX,
    )


def test_gradient_flags_restored_and_new_parameter_kept():
    model, x = make_net()
    model.stem.bias.requires_grad_(False)
    calibrator = TavrixPruningCalibrator(model)
    with calibrator:
        assert not any(p.requires_grad for p in model.parameters())
        model(x)
        model.extra = nn.Parameter(torch.ones(1), requires_grad=False)
    assert model.stem.bias.requires_grad is False
    assert model.stem.weight.requires_grad and model.head.conv2.weight.requires_grad
    assert model.extra.requires_grad is False  # registered inside: left as it is

    model.extra.requires_grad_(True)
    with calibrator:  # saves extra's flag
        model(x)
    del model.extra
    with calibrator:
        model.extra = nn.Parameter(torch.ones(1), requires_grad=False)
    assert model.extra.requires_grad is False  # not the flag the earlier block saved


def test_exception_in_block_restores_and_propagates():
    model, x = make_net()
    calibrator = TavrixPruningCalibrator(model)
    error = KeyError("boom")
    with pytest.raises(KeyError) as info:
        with calibrator:
            model(x)
            raise error
    assert info.value is error
    assert "forward" not in model.__dict__
    assert all(p.requires_grad for p in model.parameters())
    assert active_interceptor() is None


def test_replacement_installed_and_removed():
    model, x = make_net()
    expected = model(x)
    calibrator = TavrixPruningCalibrator(model)
    with calibrator as replacement:
        installed = model.__dict__["forward"]
        assert isinstance(installed, types.MethodType)
        assert installed.__self__ is model and installed.__func__ is replacement
        out = replacement(model, x)  # the unbound function works as well
    assert "forward" not in model.__dict__
    assert model.forward.__func__ is Net.forward
    assert type(out) is torch.Tensor
    torch.testing.assert_close(out, expected)


def test_instance_level_entry_point_restored_as_same_object():
    model, x = make_net()
    run = model.forward  # a bound method stored on the instance
    model.__dict__["run"] = run
    calibrator = TavrixPruningCalibrator(model, entry_point="run")
    with calibrator:
        assert model.run is not run
        model.run(x)
    assert model.__dict__["run"] is run
    assert calibrator.cutplan is not None


def test_dotted_entry_point_prefixes_module_names():
    model, x = make_net()
    calibrator = TavrixPruningCalibrator(model, entry_point="head.forward")
    with calibrator:
        model(x).sum().backward()
    names = set(calibrator.cutplan.prunable_module_names_by_nodes.values())
    assert names and all(name.startswith("head.") for name in names)
    assert names <= dict(model.named_modules()).keys()
    assert "forward" not in model.head.__dict__

    whole = TavrixPruningCalibrator(model)
    with whole:
        model(x)
    names = set(whole.cutplan.prunable_module_names_by_nodes.values())
    assert "stem" in names and names <= dict(model.named_modules()).keys()


def test_cutplan_built_once_from_raw_arguments(monkeypatch):
    model, x = make_net()
    seen = []
    build = gatecal.get_cutplan

    def counting(**kwargs):
        seen.append(kwargs)
        return build(**kwargs)

    monkeypatch.setattr(gatecal, "get_cutplan", counting)
    calibrator = TavrixPruningCalibrator(model)
    with calibrator:
        pass
    assert calibrator.cutplan is None and not seen
    with calibrator:
        model(x)
        model(x)
    plan = calibrator.cutplan
    with calibrator:
        model(x)
    assert calibrator.cutplan is plan and len(seen) == 1
    call = seen[0]
    assert call["model"] is model and call["kwargs"] == {}
    assert type(call["args"][0]) is torch.Tensor  # not yet a trace tensor
    assert call["entry_point"].__func__ is Net.forward


def test_failed_first_build_is_retried(monkeypatch):
    model, x = make_net()
    build = gatecal.get_cutplan
    failures = [RuntimeError("transient")]

    def flaky(**kwargs):
        if failures:
            raise failures.pop()
        return build(**kwargs)

    monkeypatch.setattr(gatecal, "get_cutplan", flaky)
    calibrator = TavrixPruningCalibrator(model)
    with calibrator:
        with pytest.raises(RuntimeError, match="transient"):
            model(x)
        assert calibrator.cutplan is None
        model(x)
    assert calibrator.cutplan is not None


def test_nested_entry_refused_and_flags_kept():
    model, x = make_net()
    model.stem.bias.requires_grad_(False)
    calibrator = TavrixPruningCalibrator(model)
    with calibrator:
        with pytest.raises(RuntimeError, match="already active"):
            calibrator.__enter__()
        model(x)
    assert model.stem.bias.requires_grad is False
    assert model.stem.weight.requires_grad is True
    assert "forward" not in model.__dict__


def test_decorator_use():
    model, x = make_net()
    calibrator = TavrixPruningCalibrator(model)

    @calibrator
    def calibrate():
        assert "forward" in model.__dict__
        model(x).sum().backward()

    calibrate()
    calibrate()
    assert "forward" not in model.__dict__
    assert all(g.num_samples == 4 for g in calibrator.cutplan.gate_container.values())


def test_model_without_parameters_gets_clear_error():
    model = nn.Sequential(nn.ReLU(), nn.Flatten())
    calibrator = TavrixPruningCalibrator(model)
    with calibrator:
        with pytest.raises(ValueError, match="at least one parameter"):
            model(torch.randn(2, 3))
    assert calibrator.cutplan is None
    assert "forward" not in model.__dict__


@pytest.mark.parametrize(
    "name", ["resnet50_tiny", "mobilenetv2_small", "densenet_small", "transformer_block"]
)
def test_end_to_end(name):
    model, x = models.make(name)
    expected = model(x)
    flags = {n: p.requires_grad for n, p in model.named_parameters()}
    calibrator = TavrixPruningCalibrator(model)
    with calibrator:
        for _ in range(2):
            out = model(x)
            assert type(out) is torch.Tensor and not isinstance(out, TraceTensor)
            torch.testing.assert_close(out, expected)  # gates of ones change nothing
            out.pow(2).mean().backward()
    plan = calibrator.cutplan
    assert plan.prunable_groups and len(plan.gate_container) > 0
    assert all(p.grad is None for p in model.parameters())
    assert {n: p.requires_grad for n, p in model.named_parameters()} == flags
    for gate in plan.gate_container.values():
        assert gate.weight.grad is not None
        assert gate.num_samples == 2 * x.shape[0]
    groups = channel_importance(plan)
    assert len(groups) == len(plan.prunable_groups)
    for group in groups:
        assert group.importance is not None
        assert group.importance.shape == (len(group.labels),)
        assert torch.isfinite(group.importance).all() and (group.importance >= 0).all()
    assert any(group.importance.sum() > 0 for group in groups)
    assert "forward" not in model.__dict__


def test_gates_follow_the_model_floating_type():
    model, x = make_net()
    model.double()
    calibrator = TavrixPruningCalibrator(model)
    with calibrator:
        out = model(x.double())
        out.sum().backward()
    assert out.dtype == torch.float64
    gates = list(calibrator.cutplan.gate_container.values())
    assert gates and all(g.weight.dtype == torch.float64 for g in gates)
    assert all(g.weight.grad is not None for g in gates)


@pytest.mark.parametrize("when", ["first call", "later call"])
def test_errors_raised_without_a_python_frame_pass_through_unchanged(monkeypatch, when):
    # An unexpected keyword fails inside the interpreter's call machinery, so
    # the error carries no traceback; it must still reach the caller as it is,
    # and every context (no_grad for the first call's analysis) must be left.
    model, x = make_net()
    if when == "first call":
        monkeypatch.setattr(gatecal, "get_cutplan", lambda **kwargs: object())
        expected, call = AttributeError, lambda: model(x)
    else:
        expected, call = TypeError, lambda: model(x, bogus=1)
    with TavrixPruningCalibrator(model):
        if when == "later call":
            model(x)
        with pytest.raises(expected):
            call()
        assert active_interceptor() is None
    assert torch.is_grad_enabled()


@pytest.mark.parametrize("kwargs, error", [([1], TypeError), (None, TypeError)])
def test_prepared_keyword_arguments_must_be_a_mapping(monkeypatch, kwargs, error):
    model, x = make_net()
    monkeypatch.setattr(gatecal, "prepare_args_for_prune_calibration", lambda a, k: (a, kwargs))
    with TavrixPruningCalibrator(model), pytest.raises(error, match="must be a mapping"):
        model(x)


def test_exit_restores_even_when_entered_by_hand():
    model, _ = make_net()
    calibrator = TavrixPruningCalibrator(model)
    calibrator._disable_parameter_gradients()
    calibrator._replace_entry_point()
    calibrator.__exit__(None, None, None)
    assert "forward" not in model.__dict__
    assert all(p.requires_grad for p in model.parameters())


class Pair(tuple):
    """A result container whose constructor is not tuple's."""

    def __new__(cls, a, b):
        return super().__new__(cls, (a, b))


class Cached(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv = nn.Conv2d(3, 4, 1)
        self.extras = ["kept as is"]

    def forward(self, x):
        return Pair(self.conv(x), self.extras)


def test_calibrated_call_returns_the_model_own_containers():
    model = Cached().eval()
    with TavrixPruningCalibrator(model), pytest.warns(UserWarning, match="no prunable"):
        out = model(torch.randn(1, 3, 4, 4))
    # a container that cannot be rebuilt comes back as the model made it
    assert type(out) is Pair and out[1] is model.extras


def _copy(model, how):
    if how == "deepcopy":
        return copy.deepcopy(model)
    if how == "pickle":
        return pickle.loads(pickle.dumps(model))
    buffer = io.BytesIO()
    torch.save(model, buffer)
    buffer.seek(0)
    return torch.load(buffer, weights_only=False)


@pytest.mark.parametrize("how", ["deepcopy", "pickle", "torch.save"])
def test_copy_made_inside_the_block_is_an_ordinary_model(how):
    model, x = make_net()
    model.stem.bias.requires_grad_(False)
    calibrator = TavrixPruningCalibrator(model)
    with calibrator:
        model(x)
        copied = _copy(model, how)
        model(x).sum().backward()  # the block goes on gating the original
    gates = calibrator.cutplan.gate_container.values()
    assert all(gate.num_samples == 2 * len(x) for gate in gates)
    for module in (model, copied):
        assert not {"forward", "__getstate__"} & set().union(
            *(m.__dict__ for m in module.modules())
        )
    flags = {n: p.requires_grad for n, p in copied.named_parameters()}
    assert flags == {n: p.requires_grad for n, p in model.named_parameters()}
    assert flags["stem.weight"] and not flags["stem.bias"]
    assert all(p is not q for p, q in zip(copied.parameters(), model.parameters()))
    out = copied(x)
    assert type(out) is torch.Tensor and out.grad_fn is not None  # its own, trainable forward
    torch.testing.assert_close(out, model(x))


class Stateful(nn.Module):
    """Buffers a training-mode call changes: batch norm (in place without a version
    bump), spectral norm's power-iteration vectors, and a counter that is rebound; and
    an activation kept as an attribute."""

    def __init__(self) -> None:
        super().__init__()
        self.conv = nn.utils.parametrizations.spectral_norm(nn.Conv2d(3, 8, 3, padding=1))
        self.bn = nn.BatchNorm2d(8)
        self.head = nn.Conv2d(8, 2, 1)
        self.register_buffer("calls", torch.zeros((), dtype=torch.long))
        self.python_calls = 0

    def forward(self, x):
        self.calls = self.calls + 1
        self.python_calls += 1  # a plain attribute: counts the calls, not the analysis
        self.features = torch.relu(self.bn(self.conv(x)))
        return self.head(self.features)


def test_block_gives_back_every_buffer_it_changed():
    torch.manual_seed(0)
    model, x = Stateful().train(), torch.randn(4, 3, 6, 6)
    before = {n: (b, b.clone()) for n, b in model.named_buffers()}
    assert {
        "bn.running_mean",
        "bn.num_batches_tracked",
        "conv.parametrizations.weight.0._u",
        "calls",
    } <= before.keys()
    with TavrixPruningCalibrator(model):
        for _ in range(2):
            model(x).sum().backward()
        changed = [n for n, b in model.named_buffers() if not torch.equal(b, before[n][1])]
        assert "bn.running_mean" in changed and "calls" in changed
    for name, buf in model.named_buffers():
        assert buf is before[name][0] and torch.equal(buf, before[name][1]), name
    assert type(model.features) is torch.Tensor  # no tensor of the gated calls stays
    assert model.python_calls == 2


def test_second_calibrator_on_one_model_is_refused_and_nothing_stays_redirected():
    model, x = make_net()
    outer = TavrixPruningCalibrator(model)
    with outer:
        for other in (TavrixPruningCalibrator(model), TavrixPruningCalibrator(model.head)):
            with pytest.raises(RuntimeError, match="Another TavrixPruningCalibrator is active"):
                other.__enter__()
        later = TavrixPruningCalibrator(model)  # made inside: resolves the real forward
        model(x).sum().backward()  # still gated by the outer block
    assert outer.cutplan.gate_container["channel_gate_0"].num_samples == len(x)
    assert "forward" not in model.__dict__
    with later:
        model(x).sum().backward()
    assert "forward" not in model.__dict__ and model.forward.__func__ is Net.forward
    assert later.cutplan is not outer.cutplan
    assert outer.cutplan.gate_container["channel_gate_0"].num_samples == len(x)
    assert all(p.requires_grad for p in model.parameters())


def test_first_call_in_inference_mode_leaves_the_gates_trainable():
    model, x = make_net()
    calibrator = TavrixPruningCalibrator(model)
    with calibrator:
        with torch.inference_mode():
            model(x)
        model(x).sum().backward()
    gates = list(calibrator.cutplan.gate_container.values())
    assert gates and all(g.weight.grad is not None and g.num_samples == len(x) for g in gates)


def test_block_never_left_does_not_keep_the_model_alive():
    model, x = make_net()
    calibrator = TavrixPruningCalibrator(model)
    calibrator.__enter__()  # and never __exit__
    model(x)
    alive = weakref.ref(model), weakref.ref(calibrator)
    del model, calibrator
    gc.collect()
    assert alive[0]() is None and alive[1]() is None


class FailingParameters(Net):
    failing = True

    def named_parameters(self, *args, **kwargs):
        items = list(super().named_parameters(*args, **kwargs))
        yield from items[: 2 if self.failing else None]
        if self.failing:
            raise RuntimeError("parameters unavailable")


def test_failed_entry_leaves_the_flags_and_entry_point():
    model = FailingParameters()
    with pytest.raises(RuntimeError, match="parameters unavailable"):
        TavrixPruningCalibrator(model).__enter__()
    model.failing = False
    assert all(p.requires_grad for p in model.parameters())
    assert "forward" not in model.__dict__


@pytest.mark.parametrize("error, raised", [("bad_alloc", MemoryError), ("boom", RuntimeError)])
def test_native_errors_leave_the_context(error, raised):
    with pytest.raises(raised):
        gatecal._run_failing_in_context(torch.no_grad(), error)
    assert torch.is_grad_enabled()


def test_model_without_prunable_group_is_told_why():
    model = nn.Sequential(nn.Linear(3, 4))
    with TavrixPruningCalibrator(model):
        with pytest.warns(UserWarning, match="no prunable channel group.*Usual causes"):
            model(torch.randn(2, 3))


@dataclasses.dataclass(frozen=True)
class Batch:
    image: torch.Tensor
    note: str = "kept"


@dataclasses.dataclass
class Prediction:
    logits: torch.Tensor
    features: torch.Tensor


class DataclassNet(Net):
    """Net, taking and giving its tensors in dataclasses (or in a tuple and a tensor)."""

    def forward(self, batch):
        image = batch.image if isinstance(batch, Batch) else batch[0]
        features = torch.relu(self.stem(image))
        logits = self.head(features)
        return Prediction(logits, features) if isinstance(batch, Batch) else (logits, features)


def test_dataclass_inputs_and_outputs_are_containers_like_tuples():
    _, x = make_net()
    model = DataclassNet().eval()
    plans = []
    for batch in ((x,), Batch(x)):
        calibrator = TavrixPruningCalibrator(model)
        with calibrator:
            out = model(batch)
            logits = out.logits if isinstance(out, Prediction) else out[0]
            logits.sum().backward()
        plans.append(calibrator.cutplan)
    assert type(out) is Prediction and out.features is not None
    assert type(out.logits) is torch.Tensor and type(out.features) is torch.Tensor
    # traced through the dataclass, and its outputs (stem's features too) never prunable
    assert plans[1].summary(2) == plans[0].summary(2)
    assert len(plans[1].prunable_groups) == 1


def _importances(model, x):
    calibrator = TavrixPruningCalibrator(model)
    with calibrator:
        for _ in range(2):
            model(x).pow(2).mean().backward()
    return [group.importance for group in channel_importance(calibrator.cutplan)]


def test_full_backward_hooks_take_part_in_calibration():
    # torch wraps a hooked module's inputs and outputs only while gradients are
    # recorded: the calibration calls run operations the analysed call did not
    torch.manual_seed(0)
    model, x = models.make("resnet50_tiny")
    expected = _importances(copy.deepcopy(model), x)
    seen = []
    hooked = [m for m in model.modules() if isinstance(m, nn.Conv2d)][1]
    hooked.register_full_backward_hook(lambda m, grad_in, grad_out: seen.append(grad_out[0].shape))
    model.register_full_backward_pre_hook(lambda m, grad_out: seen.append("model"))
    got = _importances(model, x)
    assert len(seen) == 4 and seen.count("model") == 2  # two backward passes, both hooks
    assert len(got) == len(expected)
    for a, b in zip(got, expected):
        torch.testing.assert_close(a, b)


class _Inside(torch.autograd.Function):
    """Two linear layers in a custom function's forward, where nothing is recorded."""

    @staticmethod
    def forward(ctx, x, w1, w2):
        ctx.save_for_backward(x, w1, w2)
        return F.linear(torch.relu(F.linear(x, w1)), w2)

    @staticmethod
    def backward(ctx, grad):
        x, w1, w2 = ctx.saved_tensors
        with torch.enable_grad():
            x = x.detach().requires_grad_()
            return torch.autograd.grad(_Inside.forward(ctx, x, w1, w2), x, grad)[0], None, None


class _Wrapped(nn.Module):
    def __init__(self, how) -> None:
        super().__init__()
        self.how = how
        self.inner = nn.Sequential(nn.Linear(8, 16), nn.ReLU(), nn.Linear(16, 8))
        self.outer = nn.Sequential(nn.Linear(8, 12), nn.ReLU(), nn.Linear(12, 4))

    def forward(self, x):
        if self.how == "function":
            return self.outer(_Inside.apply(x, self.inner[0].weight, self.inner[2].weight))
        reentrant = self.how == "reentrant"
        return self.outer(torch.utils.checkpoint.checkpoint(self.inner, x, use_reentrant=reentrant))


@pytest.mark.parametrize("how", ["function", "reentrant", "non-reentrant"])
def test_gates_backward_cannot_reach(how):
    """The inner layers' gates run where nothing is recorded: inside a custom function they
    measure nothing (their groups are left unmeasured, not ranked by zeros); under activation
    checkpointing, whose backward recomputes the operations without them, the call is refused."""
    torch.manual_seed(0)
    model = _Wrapped(how)
    saved, flags = state(model), [p.requires_grad for p in model.parameters()]
    calibrator = TavrixPruningCalibrator(model)
    try:
        with calibrator:
            for _ in range(2):
                model(torch.randn(4, 8, requires_grad=how == "reentrant")).pow(2).sum().backward()
    except RuntimeError as error:
        assert how != "function" and "activation checkpointing" in str(error)
    else:
        assert how == "function"
        *inside, outer = channel_importance(calibrator.cutplan)  # the function's two layers
        assert len(inside) == 2
        assert all(group.importance is None and group.gate_names == [] for group in inside)
        assert bool((outer.importance > 0).any())
    assert same_state(model, saved) and [p.requires_grad for p in model.parameters()] == flags


@pytest.mark.parametrize("how", ["deepcopy", "pickle", "torch.save"])
def test_a_copied_plan_keeps_what_its_gates_measured(how):
    model, x = make_net()
    calibrator = TavrixPruningCalibrator(model)
    with calibrator:
        for _ in range(2):
            model(x).square().sum().backward()
    plan = calibrator.cutplan
    copied = _copy(plan, how)
    expected = [group.importance for group in channel_importance(plan)]
    found = [group.importance for group in channel_importance(copied)]
    assert all(torch.equal(a, b) for a, b in zip(expected, found)) and len(found) == len(expected)
    assert all(g.weight.grad is not None for g in copied.gate_container.values())
    assert choose_channels(copied, ratio=0.5) == choose_channels(plan, ratio=0.5)
