"""The two trained models of bench_quality.py and their data, cached under .cache/bench_quality/.

(a) a residual CNN with batch norm on scikit-learn's 8x8 digits;
(b) a small LLaMA-architecture byte-level language model on this machine's standard library.

Both train with fixed seeds on one thread; the cache holds the weights and is reused when the
recipe's key (in the file name) matches.
"""

from __future__ import annotations

import glob
import math
import os
import sysconfig
import time
from pathlib import Path
from typing import Dict, List, Tuple

import torch
import torch.nn.functional as F
from torch import nn

CACHE = Path(__file__).resolve().parents[1] / ".cache" / "bench_quality"


# ----------------------------------------------------------------------------- digits CNN


class Block(nn.Module):
    def __init__(self, c_in: int, c_out: int, stride: int) -> None:
        super().__init__()
        self.conv1 = nn.Conv2d(c_in, c_out, 3, stride, 1, bias=False)
        self.bn1 = nn.BatchNorm2d(c_out)
        self.conv2 = nn.Conv2d(c_out, c_out, 3, 1, 1, bias=False)
        self.bn2 = nn.BatchNorm2d(c_out)
        self.shortcut = nn.Sequential()
        if stride != 1 or c_in != c_out:
            self.shortcut = nn.Sequential(
                nn.Conv2d(c_in, c_out, 1, stride, bias=False), nn.BatchNorm2d(c_out)
            )

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        y = F.relu(self.bn1(self.conv1(x)))
        return F.relu(self.bn2(self.conv2(y)) + self.shortcut(x))


class DigitsNet(nn.Module):
    """Residual CNN for 1 x 8 x 8 digits: a stem, two stages of two blocks, a linear head."""

    def __init__(self, width: int = 48) -> None:
        super().__init__()
        self.stem = nn.Sequential(
            nn.Conv2d(1, width, 3, 1, 1, bias=False), nn.BatchNorm2d(width), nn.ReLU()
        )
        self.stage1 = nn.Sequential(Block(width, width, 1), Block(width, width, 1))
        self.stage2 = nn.Sequential(Block(width, 2 * width, 2), Block(2 * width, 2 * width, 1))
        self.head = nn.Linear(2 * width, 10)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        x = self.stage2(self.stage1(self.stem(x)))
        return self.head(x.mean(dim=(2, 3)))


def digits_data() -> Dict[str, torch.Tensor]:
    """Train / test split (75 / 25, stratified, seed 0) of load_digits, scaled to [0, 1]."""
    from sklearn.datasets import load_digits
    from sklearn.model_selection import train_test_split

    data = load_digits()
    x = torch.tensor(data.images, dtype=torch.float32).unsqueeze(1) / 16.0
    y = torch.tensor(data.target, dtype=torch.long)
    train, test = train_test_split(
        list(range(len(y))), test_size=0.25, random_state=0, stratify=data.target
    )
    return {"x_train": x[train], "y_train": y[train], "x_test": x[test], "y_test": y[test]}


def _shifted(x: torch.Tensor, generator: torch.Generator) -> torch.Tensor:
    """Each image shifted by up to one pixel (zero fill): the augmentation of the training."""
    padded = F.pad(x, (1, 1, 1, 1))
    out = torch.empty_like(x)
    offsets = torch.randint(0, 3, (len(x), 2), generator=generator)
    for i, (dy, dx) in enumerate(offsets.tolist()):
        out[i] = padded[i, :, dy : dy + 8, dx : dx + 8]
    return out


def train_digits(
    model: nn.Module,
    data: Dict[str, torch.Tensor],
    steps: int,
    lr: float,
    seed: int,
    augment: bool = True,
) -> nn.Module:
    """Adam with a cosine schedule over ``steps`` batches of 64; the model ends in eval mode."""
    generator = torch.Generator().manual_seed(seed)
    x, y = data["x_train"], data["y_train"]
    optimizer = torch.optim.Adam(model.parameters(), lr=lr, weight_decay=1e-4)
    schedule = torch.optim.lr_scheduler.CosineAnnealingLR(optimizer, steps)
    model.train()
    for _ in range(steps):
        index = torch.randint(0, len(x), (64,), generator=generator)
        batch = _shifted(x[index], generator) if augment else x[index]
        loss = F.cross_entropy(model(batch), y[index])
        optimizer.zero_grad()
        loss.backward()
        optimizer.step()
        schedule.step()
    return model.eval()


@torch.no_grad()
def digits_accuracy(model: nn.Module, data: Dict[str, torch.Tensor]) -> float:
    model.eval()
    return (model(data["x_test"]).argmax(1) == data["y_test"]).float().mean().item()


def digits_model(log=print, quick: bool = False) -> Tuple[nn.Module, Dict[str, torch.Tensor]]:
    """The trained CNN (eval mode) and its data; ``quick``: a short training of its own."""
    CACHE.mkdir(parents=True, exist_ok=True)
    data = digits_data()
    steps = 300 if quick else 2000
    path = CACHE / f"digits_w48_s{steps}_seed0.pt"
    torch.manual_seed(0)
    model = DigitsNet(48)
    if path.exists():
        model.load_state_dict(torch.load(path, weights_only=True))
        return model.eval(), data
    start = time.perf_counter()
    train_digits(model, data, steps=steps, lr=3e-3, seed=0)
    torch.save(model.state_dict(), path)
    log(
        f"trained the digits CNN in {time.perf_counter() - start:.0f} s: "
        f"test accuracy {digits_accuracy(model, data):.4f}"
    )
    return model, data


# ----------------------------------------------------------------------------- byte LM

SEQ = 128


def stdlib_bytes() -> Tuple[torch.Tensor, torch.Tensor]:
    """The standard library's .py files (site-packages left out), every 10th held out."""
    root = sysconfig.get_paths()["stdlib"]
    files = sorted(
        f
        for f in glob.glob(os.path.join(root, "**", "*.py"), recursive=True)
        if "site-packages" not in f
    )
    train: List[bytes] = []
    test: List[bytes] = []
    for i, name in enumerate(files):
        with open(name, "rb") as handle:
            (test if i % 10 == 0 else train).append(handle.read())

    def as_tensor(parts: List[bytes]) -> torch.Tensor:
        return torch.frombuffer(bytearray(b"\n".join(parts)), dtype=torch.uint8)

    return as_tensor(train).long(), as_tensor(test).long()


def llama_config():
    from transformers import LlamaConfig

    return LlamaConfig(
        vocab_size=256,
        hidden_size=128,
        intermediate_size=384,
        num_hidden_layers=4,
        num_attention_heads=4,
        num_key_value_heads=2,
        max_position_embeddings=SEQ,
        tie_word_embeddings=False,
        use_cache=False,
        attn_implementation="sdpa",
    )


def lm_windows(stream: torch.Tensor, count: int, seed: int) -> torch.Tensor:
    """``count`` random windows of SEQ bytes (seeded)."""
    generator = torch.Generator().manual_seed(seed)
    starts = torch.randint(0, len(stream) - SEQ, (count,), generator=generator)
    return torch.stack([stream[s : s + SEQ] for s in starts.tolist()])


def lm_eval_windows(stream: torch.Tensor, count: int) -> torch.Tensor:
    """``count`` windows evenly spread over the held-out bytes."""
    step = (len(stream) - SEQ) // count
    return torch.stack([stream[i * step : i * step + SEQ] for i in range(count)])


def lm_loss(model: nn.Module, ids: torch.Tensor) -> torch.Tensor:
    logits = model(input_ids=ids).logits
    return F.cross_entropy(logits[:, :-1].reshape(-1, logits.shape[-1]), ids[:, 1:].reshape(-1))


@torch.no_grad()
def lm_perplexity(model: nn.Module, windows: torch.Tensor, batch: int = 32) -> float:
    model.eval()
    total = 0.0
    for i in range(0, len(windows), batch):
        part = windows[i : i + batch]
        total += lm_loss(model, part).item() * len(part)
    return math.exp(total / len(windows))


def train_lm(
    model: nn.Module,
    train: torch.Tensor,
    steps: int,
    lr: float,
    seed: int,
    batch: int = 32,
    warmup: int = 100,
) -> nn.Module:
    """AdamW, linear warm-up then cosine decay, random windows of the training bytes."""
    generator = torch.Generator().manual_seed(seed)
    optimizer = torch.optim.AdamW(model.parameters(), lr=lr, weight_decay=0.01, betas=(0.9, 0.95))
    schedule = torch.optim.lr_scheduler.LambdaLR(
        optimizer,
        lambda s: (
            min(1.0, (s + 1) / warmup) * 0.5 * (1 + math.cos(math.pi * min(s, steps) / steps))
        ),
    )
    model.train()
    for _ in range(steps):
        starts = torch.randint(0, len(train) - SEQ, (batch,), generator=generator)
        ids = torch.stack([train[s : s + SEQ] for s in starts.tolist()])
        loss = lm_loss(model, ids)
        optimizer.zero_grad()
        loss.backward()
        torch.nn.utils.clip_grad_norm_(model.parameters(), 1.0)
        optimizer.step()
        schedule.step()
    return model.eval()


LM_STEPS = 2400


def lm_model(log=print, quick: bool = False):
    """The trained LM (eval mode), training and held-out bytes; ``quick``: a short training."""
    from transformers import LlamaForCausalLM

    CACHE.mkdir(parents=True, exist_ok=True)
    train, test = stdlib_bytes()
    steps = 200 if quick else LM_STEPS
    path = CACHE / f"llama_h128_l4_s{steps}_seed0.pt"
    torch.manual_seed(0)
    model = LlamaForCausalLM(llama_config())
    if path.exists():
        model.load_state_dict(torch.load(path, weights_only=True))
        return model.eval(), train, test
    start = time.perf_counter()
    train_lm(model, train, steps=steps, lr=3e-3, seed=0)
    torch.save(model.state_dict(), path)
    log(
        f"trained the byte LM in {time.perf_counter() - start:.0f} s: held-out perplexity "
        f"{lm_perplexity(model, lm_eval_windows(test, 256)):.3f}"
    )
    return model, train, test


if __name__ == "__main__":
    torch.set_num_threads(1)
    digits_model()
    lm_model()
