"""The shrink over a zoo of models: calibrate, remove 30% of every group, shrink what the shrink
takes, prove the result equal to the masked original; per rule set.

Each model (random weights, eval mode, batch 1, seeded) is calibrated on two batches with
TavrixPruningCalibrator (under ``rules.extended()`` for the extended rules),
``choose_channels(plan, 0.3)`` picks the channels, ``shrinkable`` keeps the groups the shrink
takes, ``shrink`` cuts them and ``check_equal`` compares with a copy taken before the cut. Inputs: 96 x 96 for the convolutional
models, each model's own size for the transformers (and for a convolutional model that does not run
at 96 x 96). Every model ends as one of

    equal       the shrunk model checks equal (groups the shrink refused, if any, are listed)
    refused     the shrink takes no group: ShrinkError, with the reason
    no-group    the plan has no prunable group, or none loses a channel at 30%
    failed      check_equal reports a difference
    exception   anything else raised, the worker crashed or the model ran past the timeout

Models run one at a time in a worker process, started again after a crash or a timeout, so one
model cannot stop the run. Runs against whatever ``tavrix`` is importable: to survey another
checkout, point PYTHONPATH at its src.

    OMP_NUM_THREADS=1 PYTHONPATH=src nice python benchmarks/survey_zoo.py --timm --rules both \\
        --json survey.json [--models vit_tiny_patch16_224,resnet18] [--timeout 300]
    python benchmarks/survey_zoo.py --compare old.json new.json     # what changed between runs
    ... --timm --models skresnet18 --groups 2,5 --rules extended   # each group cut alone
"""

from __future__ import annotations

import argparse
import json
import os
import select
import subprocess
import sys
import time
from collections import Counter
from typing import Any, Callable, Dict, List, Optional, Tuple

BATCH = 1  # samples per call (the worker sets it from the job)

OUTCOMES = ("equal", "refused", "no-group", "failed", "exception")

# small variants of every family; attention models first (the ones the shrink's reshape and
# split checks are most exposed to)
TIMM = """
vit_tiny_patch16_224 vit_small_patch16_224 vit_relpos_small_patch16_224
vit_srelpos_small_patch16_224 vit_base_patch32_224 vit_small_patch16_18x2_224
vit_tiny_r_s16_p8_224 vit_little_patch16_reg4_gap_256 deit_tiny_patch16_224
deit_tiny_distilled_patch16_224 deit3_small_patch16_224 cait_xxs24_224 xcit_nano_12_p16_224
xcit_tiny_12_p16_224 twins_pcpvt_small twins_svt_small pvt_v2_b0 pvt_v2_b1 levit_128s
levit_conv_128s swin_tiny_patch4_window7_224 swinv2_tiny_window8_256 swinv2_cr_tiny_224
maxvit_nano_rw_256 maxvit_rmlp_nano_rw_256 maxxvit_rmlp_nano_rw_256 coatnet_nano_rw_224
coatnet_rmlp_nano_rw_224 coatnext_nano_rw_224 eva02_tiny_patch14_224 coat_lite_tiny coat_tiny
convit_tiny crossvit_tiny_240 pit_ti_224 volo_d1_224 davit_tiny tnt_s_patch16_224 gcvit_xxtiny
focalnet_tiny_srf nest_tiny tiny_vit_5m_224 hiera_tiny_224 mobilevit_xxs mobilevitv2_050
efficientformer_l1 efficientformerv2_s0 edgenext_xx_small fastvit_sa12 nextvit_small
beit_base_patch16_224 beitv2_base_patch16_224
res2net50_14w_8s res2next50 res2net50d cspresnet50 cspdarknet53 cs3darknet_s cspresnext50
darknet17 mixnet_s mixnet_m tf_mixnet_s skresnet18 skresnet34 skresnext50_32x4d ghostnet_050
ghostnetv2_100 ghostnetv3_050 dpn48b dpn68 bat_resnext26ts lambda_resnet26t halonet26t
botnet26t_256 sebotnet33ts_256 eca_halonext26ts haloregnetz_b shvit_s1
resnet18 resnet26 resnet50 resnet18d resnet34d seresnet18 ecaresnet26t resnetv2_50 resnetaa50
legacy_seresnet18 resnest14d selecsls42b resnext26ts resnext50_32x4d seresnext26ts regnetx_002
regnety_002 regnetz_b16 regnetv_040 efficientnet_b0 efficientnet_lite0 efficientnetv2_rw_t
tf_efficientnetv2_b0 efficientnet_es mobilenetv2_050 mobilenetv2_100 mobilenetv3_small_050
mobilenetv3_large_100 mobilenetv4_conv_small mobilenetv4_hybrid_medium tinynet_e lcnet_050
fbnetc_100 mnasnet_small rexnet_100 hardcorenas_a convnext_atto convnext_nano convnextv2_atto
convnext_pico inception_next_tiny rdnet_tiny nf_resnet26 nfnet_l0 dm_nfnet_f0 eca_nfnet_l0
nf_regnet_b0 hrnet_w18_small densenet121 dla34 dla46_c vovnet39a ese_vovnet19b_dw repvgg_a0
repghostnet_050 tresnet_m gernet_s mobileone_s0 fastvit_t8 efficientvit_b0 efficientvit_m0
inception_v3 xception41 hgnetv2_b0 hgnet_tiny poolformer_s12 poolformerv2_s12 sequencer2d_s
mixer_s32_224 resmlp_12_224 gmlp_ti16_224 mambaout_femto starnet_s1
""".split()

# run at each model's own input size (fixed patch grids, windows or positional tables)
OWN_SIZE = (
    "vit",
    "deit",
    "cait",
    "xcit",
    "twins",
    "pvt",
    "levit",
    "swin",
    "maxvit",
    "maxxvit",
    "coatnet",
    "coatnext",
    "eva",
    "beit",
    "coat_",
    "convit",
    "crossvit",
    "pit_",
    "volo",
    "davit",
    "tnt",
    "gcvit",
    "focalnet",
    "nest",
    "tiny_vit",
    "hiera",
    "efficientformer",
    "nextvit",
    "mixer",
    "resmlp",
    "gmlp",
    "sequencer",
    "botnet",
    "sebotnet",
    "halo",
    "lambda",
    "bat_",
)

# the torchvision classification zoo but its giants (regnet_y_128gf, the large and huge ViTs)
TORCHVISION_SKIP = {
    "regnet_y_128gf",
    "regnet_y_32gf",
    "regnet_y_16gf",
    "vit_h_14",
    "vit_l_16",
    "vit_l_32",
}


def _seed() -> None:
    import random

    import torch

    random.seed(0)
    torch.manual_seed(0)


# ------------------------------------------------------------------ building the models

Built = Tuple[Any, Callable[[Any], Dict[str, Any]]]  # (model, seeded batch maker)


def _image_batches(shape: Tuple[int, ...]) -> Callable[[Any], Dict[str, Any]]:
    import torch

    return lambda g: {"args": (torch.randn(shape, generator=g),), "kwargs": {}}


def build_timm(name: str) -> Built:
    import timm
    import torch

    _seed()
    model = timm.create_model(name, pretrained=False).eval()
    own = tuple(model.pretrained_cfg.get("input_size", (3, 224, 224)))
    shape = (BATCH,) + own
    if not name.startswith(OWN_SIZE):
        shape = (BATCH, own[0], 96, 96)
        try:  # the convolutional ones that do not run at 96 x 96 run at their own size
            with torch.no_grad():
                model(torch.zeros(shape))
        except Exception:
            shape = (BATCH,) + own
    return model, _image_batches(shape)


def build_torchvision(name: str) -> Built:
    import torchvision

    _seed()
    model = torchvision.models.get_model(name, weights=None).eval()
    size = 96
    if name.startswith(("vit_", "swin", "maxvit")):
        size = 224
    elif name == "inception_v3":
        size = 299
    return model, _image_batches((BATCH, 3, size, size))


def torchvision_names() -> List[str]:
    import torchvision

    names = torchvision.models.list_models(module=torchvision.models)
    return [n for n in names if n not in TORCHVISION_SKIP]


def _ids_batches(vocab: int, length: int = 12, **extra: Callable[[Any], Any]):
    import torch

    def batch(g):
        ids = torch.randint(3, vocab, (BATCH, length), generator=g)
        kwargs = {"input_ids": ids, "attention_mask": torch.ones_like(ids)}
        kwargs.update({k: f(g) for k, f in extra.items()})
        return {"args": (), "kwargs": kwargs}

    return batch


def _pixels(shape: Tuple[int, ...], key: str = "pixel_values"):
    import torch

    return lambda g: {"args": (), "kwargs": {key: torch.randn(shape, generator=g)}}


def _transformers_zoo() -> Dict[str, Callable[[], Built]]:
    import torch
    import transformers as tf

    lm = dict(
        vocab_size=100,
        hidden_size=64,
        num_hidden_layers=2,
        num_attention_heads=4,
        intermediate_size=128,
        max_position_embeddings=64,
        use_cache=False,
    )
    enc = dict(
        vocab_size=100,
        hidden_size=64,
        num_hidden_layers=2,
        num_attention_heads=4,
        intermediate_size=128,
        max_position_embeddings=64,
    )

    def causal(config_cls, model_cls, **kw):
        return lambda: (model_cls(config_cls(**{**lm, **kw})), _ids_batches(100))

    def encoder(config_cls, model_cls, **kw):
        return lambda: (model_cls(config_cls(**{**enc, **kw})), _ids_batches(100))

    def whisper():
        config = tf.WhisperConfig(
            vocab_size=100,
            d_model=64,
            encoder_layers=2,
            decoder_layers=2,
            encoder_attention_heads=4,
            decoder_attention_heads=4,
            encoder_ffn_dim=128,
            decoder_ffn_dim=128,
            num_mel_bins=16,
            max_source_positions=16,
            max_target_positions=16,
            decoder_start_token_id=1,
            pad_token_id=0,
            use_cache=False,
        )
        features = lambda g: torch.randn(BATCH, 16, 32, generator=g)  # noqa: E731
        ids = lambda g: torch.randint(3, 100, (BATCH, 4), generator=g)  # noqa: E731
        return tf.WhisperForConditionalGeneration(config), lambda g: {
            "args": (),
            "kwargs": {"input_features": features(g), "decoder_input_ids": ids(g)},
        }

    def bart():
        config = tf.BartConfig(
            vocab_size=100,
            d_model=64,
            encoder_layers=2,
            decoder_layers=2,
            encoder_attention_heads=4,
            decoder_attention_heads=4,
            encoder_ffn_dim=128,
            decoder_ffn_dim=128,
            max_position_embeddings=64,
            use_cache=False,
        )
        return tf.BartForConditionalGeneration(config), _ids_batches(100)

    def t5():
        config = tf.T5Config(
            vocab_size=100,
            d_model=64,
            d_kv=16,
            d_ff=128,
            num_layers=2,
            num_heads=4,
            relative_attention_num_buckets=8,
            decoder_start_token_id=0,
            use_cache=False,
        )
        ids = lambda g: torch.randint(3, 100, (BATCH, 6), generator=g)  # noqa: E731
        return tf.T5ForConditionalGeneration(config), _ids_batches(100, decoder_input_ids=ids)

    def vision(config_cls, model_cls, shape, **kw):
        return lambda: (model_cls(config_cls(**kw)), _pixels(shape))

    def clip():
        text = dict(
            vocab_size=100,
            hidden_size=64,
            intermediate_size=128,
            num_hidden_layers=2,
            num_attention_heads=4,
            max_position_embeddings=16,
        )
        image = dict(
            hidden_size=64,
            intermediate_size=128,
            num_hidden_layers=2,
            num_attention_heads=4,
            image_size=32,
            patch_size=8,
        )
        config = tf.CLIPConfig(text_config=text, vision_config=image, projection_dim=32)
        ids = _ids_batches(100, length=8)
        pixels = lambda g: torch.randn(BATCH, 3, 32, 32, generator=g)  # noqa: E731

        def batch(g):
            out = ids(g)
            out["kwargs"]["pixel_values"] = pixels(g)
            return out

        return tf.CLIPModel(config), batch

    def wav2vec2():
        config = tf.Wav2Vec2Config(
            vocab_size=32,
            hidden_size=64,
            num_hidden_layers=2,
            num_attention_heads=4,
            intermediate_size=128,
            conv_dim=(32, 32),
            conv_stride=(5, 2),
            conv_kernel=(10, 3),
            num_conv_pos_embeddings=16,
            num_conv_pos_embedding_groups=4,
        )
        return tf.Wav2Vec2ForCTC(config), lambda g: {
            "args": (),
            "kwargs": {"input_values": torch.randn(BATCH, 800, generator=g)},
        }

    vit = dict(
        hidden_size=64,
        num_hidden_layers=2,
        num_attention_heads=4,
        intermediate_size=128,
        image_size=32,
        patch_size=8,
        num_labels=10,
    )
    return {
        "gpt2": lambda: (
            tf.GPT2LMHeadModel(
                tf.GPT2Config(
                    vocab_size=100,
                    n_embd=64,
                    n_layer=2,
                    n_head=4,
                    n_inner=128,
                    n_positions=64,
                    use_cache=False,
                )
            ),
            _ids_batches(100),
        ),
        "llama": causal(tf.LlamaConfig, tf.LlamaForCausalLM, num_key_value_heads=2),
        "mistral": causal(
            tf.MistralConfig, tf.MistralForCausalLM, num_key_value_heads=2, sliding_window=8
        ),
        "qwen2": causal(tf.Qwen2Config, tf.Qwen2ForCausalLM, num_key_value_heads=2),
        "gemma2": causal(
            tf.Gemma2Config,
            tf.Gemma2ForCausalLM,
            num_key_value_heads=2,
            head_dim=16,
            sliding_window=8,
        ),
        "phi3": causal(tf.Phi3Config, tf.Phi3ForCausalLM, num_key_value_heads=2, pad_token_id=0),
        "gpt_neox": causal(tf.GPTNeoXConfig, tf.GPTNeoXForCausalLM, rotary_pct=0.5),
        "opt": lambda: (
            tf.OPTForCausalLM(
                tf.OPTConfig(
                    vocab_size=100,
                    hidden_size=64,
                    num_hidden_layers=2,
                    num_attention_heads=4,
                    ffn_dim=128,
                    max_position_embeddings=64,
                    word_embed_proj_dim=64,
                    use_cache=False,
                )
            ),
            _ids_batches(100),
        ),
        "bloom": lambda: (
            tf.BloomForCausalLM(
                tf.BloomConfig(vocab_size=100, hidden_size=64, n_layer=2, n_head=4, use_cache=False)
            ),
            _ids_batches(100),
        ),
        "bert": encoder(tf.BertConfig, tf.BertForSequenceClassification),
        "roberta": encoder(
            tf.RobertaConfig,
            tf.RobertaForSequenceClassification,
            pad_token_id=1,
            max_position_embeddings=80,
        ),
        "electra": encoder(
            tf.ElectraConfig, tf.ElectraForSequenceClassification, embedding_size=64
        ),
        "albert": encoder(tf.AlbertConfig, tf.AlbertForSequenceClassification, embedding_size=32),
        "distilbert": lambda: (
            tf.DistilBertForSequenceClassification(
                tf.DistilBertConfig(
                    vocab_size=100,
                    dim=64,
                    n_layers=2,
                    n_heads=4,
                    hidden_dim=128,
                    max_position_embeddings=64,
                )
            ),
            _ids_batches(100),
        ),
        "bart": bart,
        "t5": t5,
        "whisper": whisper,
        "clip": clip,
        "wav2vec2": wav2vec2,
        "vit": vision(tf.ViTConfig, tf.ViTForImageClassification, (BATCH, 3, 32, 32), **vit),
        "deit": vision(tf.DeiTConfig, tf.DeiTForImageClassification, (BATCH, 3, 32, 32), **vit),
        "swin": vision(
            tf.SwinConfig,
            tf.SwinForImageClassification,
            (BATCH, 3, 32, 32),
            image_size=32,
            patch_size=2,
            embed_dim=16,
            depths=[1, 1],
            num_heads=[2, 4],
            window_size=4,
            num_labels=10,
        ),
        "convnext": vision(
            tf.ConvNextConfig,
            tf.ConvNextForImageClassification,
            (BATCH, 3, 32, 32),
            num_stages=2,
            hidden_sizes=[16, 32],
            depths=[1, 1],
            num_labels=10,
        ),
        "mobilevit": vision(
            tf.MobileViTConfig,
            tf.MobileViTForImageClassification,
            (BATCH, 3, 64, 64),
            image_size=64,
            neck_hidden_sizes=[8, 8, 16, 16, 24, 32, 64],
            hidden_sizes=[32, 48, 64],
            num_labels=10,
        ),
        "segformer": vision(
            tf.SegformerConfig,
            tf.SegformerForSemanticSegmentation,
            (BATCH, 3, 64, 64),
            num_encoder_blocks=2,
            depths=[1, 1],
            sr_ratios=[2, 1],
            hidden_sizes=[16, 32],
            num_attention_heads=[1, 2],
            patch_sizes=[7, 3],
            strides=[4, 2],
            decoder_hidden_size=32,
            num_labels=5,
        ),
    }


def build_transformers(name: str) -> Built:
    _seed()
    model, batch = _transformers_zoo()[name]()
    return model.eval(), batch


SOURCES: Dict[str, Callable[[str], Built]] = {
    "timm": build_timm,
    "torchvision": build_torchvision,
    "transformers": build_transformers,
}


# ------------------------------------------------------------------ one model, one rule set


def _logits(out: Any) -> Any:
    import torch

    if isinstance(out, torch.Tensor):
        return out
    for key in ("logits", "logits_per_image", "last_hidden_state"):
        value = getattr(out, key, None)
        if isinstance(value, torch.Tensor):
            return value
    if isinstance(out, (tuple, list)):
        return _logits(out[0])
    raise TypeError(f"no tensor among the outputs ({type(out).__name__})")


def _loss(out: Any) -> Any:
    """Cross-entropy against the model's own choices (the class axis: 1 for maps, last else)."""
    import torch.nn.functional as F

    logits = _logits(out).float()
    if logits.dim() == 4:
        return F.cross_entropy(logits, logits.argmax(1))
    flat = logits.reshape(-1, logits.shape[-1])
    return F.cross_entropy(flat, flat.argmax(-1))


def survey_one(
    source: str, name: str, rule_set: str, batch: int = 1, groups: Optional[List[int]] = None
) -> Dict[str, Any]:
    """One model under one rule set; ``groups``: cut only these prunable groups."""
    global BATCH
    BATCH = batch
    start = time.perf_counter()
    result = _survey_one(source, name, rule_set, groups)
    result["seconds"] = round(time.perf_counter() - start, 1)
    return result


def _survey_one(
    source: str, name: str, rule_set: str, groups: Optional[List[int]]
) -> Dict[str, Any]:
    import contextlib
    import copy
    import warnings

    import torch

    from tavrix.pruning import rules
    from tavrix.pruning.gatecal import TavrixPruningCalibrator
    from tavrix.pruning.shrink import ShrinkError, check_equal, choose_channels, shrink, shrinkable

    torch.set_num_threads(1)
    result: Dict[str, Any] = {"source": source, "model": name, "rules": rule_set}
    if groups is not None:
        result["groups_cut"] = groups
    stage = "build"
    try:
        model, batches = SOURCES[source](name)
        generator = torch.Generator().manual_seed(1)
        stage = "calibrate"
        calibrator = TavrixPruningCalibrator(model)
        block = rules.extended() if rule_set == "extended" else contextlib.nullcontext()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with block, calibrator:
                for _ in range(2):
                    b = batches(generator)
                    loss = _loss(model(*b["args"], **b["kwargs"]))
                    if loss.requires_grad:  # no gate on the way: nothing to measure
                        loss.backward()
            plan = calibrator.cutplan
            sizes = [len(labels) for _, labels in plan.prunable_groups]
            result["groups"] = len(sizes)
            result["channels"] = sum(sizes)
            if not sizes:
                return {**result, "outcome": "no-group", "detail": "no prunable group"}
            stage = "choose"
            removed = choose_channels(plan, 0.3)
            if groups is not None:
                removed = {i: v for i, v in removed.items() if i in groups}
            result["removing"] = {str(i): len(v) for i, v in removed.items()}
            if not removed:
                return {**result, "outcome": "no-group", "detail": "no group loses a channel"}
            stage = "shrinkable"
            kept, refused = shrinkable(model, plan, removed)
            result["kept"] = sorted(int(i) for i in kept)
            result["refused"] = {str(i): reason for i, reason in sorted(refused.items())}
            if not kept:
                first = next(iter(refused.values()))
                return {**result, "outcome": "refused", "detail": first}
            original = copy.deepcopy(model)
            stage = "shrink"
            report = shrink(model, plan, kept)
            result["parameters"] = [report.parameters_before, report.parameters_after]
            stage = "check"
            check_input = batches(torch.Generator().manual_seed(2))
            check = check_equal(
                original, model, plan, kept, check_input["args"], check_input["kwargs"]
            )
        result["relative_diff"] = check.relative_diff
        if check.passed:
            detail = ""
            if refused:
                detail = f"{len(refused)} of {len(removed)} groups refused: " + next(
                    iter(refused.values())
                )
            return {**result, "outcome": "equal", "detail": detail}
        return {**result, "outcome": "failed", "detail": str(check)}
    except ShrinkError as exc:
        return {**result, "outcome": "refused", "detail": f"{stage}: {exc}"}
    except Exception as exc:  # a defect, or a model the survey could not build
        return {
            **result,
            "outcome": "exception",
            "detail": f"{stage}: {type(exc).__name__}: {exc}"[:2000],
        }


# ------------------------------------------------------------------ the worker and the run


def worker() -> None:
    """Reads one JSON job a line from stdin, answers one JSON line on the original stdout;
    the models' own prints go to stderr."""
    channel = os.fdopen(os.dup(1), "w", buffering=1)
    os.dup2(2, 1)
    for line in sys.stdin:
        job = json.loads(line)
        out = survey_one(
            job["source"], job["model"], job["rules"], job.get("batch", 1), job.get("groups")
        )
        channel.write(json.dumps(out) + "\n")


class Worker:
    def __init__(self) -> None:
        self.process: Optional[subprocess.Popen] = None

    def _start(self) -> subprocess.Popen:
        env = dict(os.environ, OMP_NUM_THREADS="1", MKL_NUM_THREADS="1", PYTHONHASHSEED="0")
        return subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "--worker"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            text=True,
            bufsize=1,
            env=env,
        )

    def run(self, job: Dict[str, str], timeout: float) -> Dict[str, Any]:
        if self.process is None or self.process.poll() is not None:
            self.process = self._start()
        process = self.process
        start = time.perf_counter()
        assert process.stdin and process.stdout
        try:
            process.stdin.write(json.dumps(job) + "\n")
            process.stdin.flush()
        except BrokenPipeError:
            pass
        ready, _, _ = select.select([process.stdout], [], [], timeout)
        line = process.stdout.readline() if ready else ""
        if line:
            return json.loads(line)
        if ready:  # end of file: the worker died
            code = process.wait()
            detail = f"worker ended with status {code}"
        else:
            process.kill()
            process.wait()
            detail = f"timeout after {timeout:.0f} s"
        self.process = None
        return {
            **job,
            "outcome": "exception",
            "detail": detail,
            "seconds": round(time.perf_counter() - start, 1),
        }

    def close(self) -> None:
        if self.process is not None and self.process.poll() is None:
            assert self.process.stdin
            self.process.stdin.close()
            self.process.wait()


def line_of(r: Dict[str, Any]) -> str:
    detail = " ".join(str(r.get("detail", "")).split())
    if len(detail) > 220:
        detail = detail[:217] + "..."
    model = r["model"] + "".join(f" [{g}]" for g in r.get("groups_cut", ()))
    return (
        f"{r['source']:<12} {model:<34} {r['rules']:<8} {r['outcome']:<9} "
        f"{r.get('seconds', 0):>6.1f}s  {detail}"
    )


def summary(results: List[Dict[str, Any]]) -> str:
    rule_sets = sorted({r["rules"] for r in results}, reverse=True)
    counts = {s: Counter(r["outcome"] for r in results if r["rules"] == s) for s in rule_sets}
    rows = [f"{'outcome':<10}" + "".join(f"{s:>10}" for s in rule_sets)]
    for outcome in OUTCOMES:
        rows.append(f"{outcome:<10}" + "".join(f"{counts[s][outcome]:>10}" for s in rule_sets))
    rows.append(f"{'models':<10}" + "".join(f"{sum(counts[s].values()):>10}" for s in rule_sets))
    return "\n".join(rows)


def compare(old_file: str, new_file: str) -> None:
    """Every model and rule set whose outcome, kept groups or refusals changed."""

    def load(path):
        with open(path) as f:
            return {(r["source"], r["model"], r["rules"]): r for r in json.load(f)["results"]}

    old, new = load(old_file), load(new_file)
    changed = 0
    for key in [k for k in new if k in old]:
        a, b = old[key], new[key]
        if (a["outcome"], a.get("kept"), sorted(a.get("refused", {}))) == (
            b["outcome"],
            b.get("kept"),
            sorted(b.get("refused", {})),
        ):
            continue
        changed += 1
        print(f"{'/'.join(key)}: {a['outcome']} -> {b['outcome']}")
        if a.get("removing") != b.get("removing"):
            print("  the channels chosen differ")
        for i, reason in b.get("refused", {}).items():
            if i not in a.get("refused", {}):
                print(f"  newly refused group {i}: {' '.join(reason.split())[:600]}")
        for i in a.get("refused", {}):
            if i not in b.get("refused", {}):
                print(f"  no longer refused group {i}")
        if a["outcome"] != b["outcome"]:
            print(f"  old: {' '.join(str(a.get('detail', '')).split())[:400]}")
            print(f"  new: {' '.join(str(b.get('detail', '')).split())[:400]}")
    print(f"{changed} of {len(set(old) & set(new))} changed")


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--timm", action="store_true", help="the timm model list")
    parser.add_argument("--torchvision", action="store_true", help="the torchvision zoo")
    parser.add_argument("--transformers", action="store_true", help="small transformers models")
    parser.add_argument("--models", help="comma-separated names: only these")
    parser.add_argument("--rules", choices=("standard", "extended", "both"), default="both")
    parser.add_argument("--batch", type=int, default=1, help="samples per call (1)")
    parser.add_argument(
        "--groups",
        help="comma-separated prunable group indices: each cut "
        "alone, one run each (to judge which group a refusal or failure is about)",
    )
    parser.add_argument("--timeout", type=float, default=300.0, help="seconds per model")
    parser.add_argument("--json", metavar="FILE", help="save the results (rewritten as they come)")
    parser.add_argument(
        "--compare", nargs=2, metavar=("OLD", "NEW"), help="the changes between two saved runs"
    )
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        worker()
        return 0
    if args.compare:
        compare(*args.compare)
        return 0
    chosen = [s for s in SOURCES if getattr(args, s)] or ["timm"]
    only = set(args.models.split(",")) if args.models else None
    jobs: List[Dict[str, str]] = []
    rule_sets = ["standard", "extended"] if args.rules == "both" else [args.rules]
    for source in chosen:
        names = {
            "timm": lambda: TIMM,
            "torchvision": torchvision_names,
            "transformers": lambda: list(_transformers_zoo()),
        }[source]()
        for name in names:
            if only is None or name in only:
                base = {"source": source, "model": name, "batch": args.batch}
                for r in rule_sets:
                    if args.groups is None:
                        jobs.append({**base, "rules": r})
                    else:
                        jobs += [
                            {**base, "rules": r, "groups": [int(g)]} for g in args.groups.split(",")
                        ]
    if only is not None:
        known = {j["model"] for j in jobs}
        unknown = sorted(only - known)
        if unknown:
            parser.error(f"unknown models for {', '.join(chosen)}: {', '.join(unknown)}")
    import tavrix

    print(f"tavrix from {os.path.dirname(tavrix.__file__)}; {len(jobs)} runs", flush=True)
    results: List[Dict[str, Any]] = []
    runner = Worker()
    try:
        for job in jobs:
            results.append(runner.run(job, args.timeout))
            print(line_of(results[-1]), flush=True)
            if args.json:
                with open(args.json, "w") as f:
                    json.dump(
                        {"tavrix": os.path.dirname(tavrix.__file__), "results": results},
                        f,
                        indent=1,
                    )
    finally:
        runner.close()
    print(summary(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
