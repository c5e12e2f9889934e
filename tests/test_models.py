import pytest
import torch

from models import MODEL_FACTORIES, make, resnet50


@pytest.mark.parametrize("name", sorted(MODEL_FACTORIES))
def test_registered_model_forward(name):
    model, example = make(name)
    assert not model.training
    with torch.no_grad():
        out = model(example)
        again = make(name)[0](example)
    # token-to-token blocks keep the input shape, classifiers map to 10 classes
    expected = example.shape if name == "transformer_block" else (example.shape[0], 10)
    assert out.shape == expected
    assert torch.isfinite(out).all()
    assert torch.equal(out, again)


def test_full_resnet50_has_canonical_parameter_count():
    model = resnet50()
    assert sum(p.numel() for p in model.parameters()) == 25_557_032
