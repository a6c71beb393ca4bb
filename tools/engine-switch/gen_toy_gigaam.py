#!/usr/bin/env python3
"""Toy GigaAM (CTC and RNN-T) GGUF writer, standard library only.

Reuses the GGUF writer of transcribe.cpp's tests/fixtures/make_gguf_fixtures.py.
Tensor names/shapes follow src/arch/gigaam/weights.cpp (build_gigaam_weights),
hparam keys follow read_gigaam_hparams. Weights: small deterministic values
(LCG in [-0.05, 0.05]); LayerNorm weights 1, biases 0 — so the graph stays finite.
usage: gen_toy_gigaam.py OUT_DIR
"""
import math
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent / "transcribe.cpp/tests/fixtures"))
import make_gguf_fixtures as F  # noqa: E402

HP = dict(n_layers=2, d_model=8, n_heads=2, d_ff=16, conv_kernel=3, subs=4, subs_k=3,
          pos_max=5000, n_mels=4, n_fft=320, win=320, hop=160,
          pred_hidden=4, pred_layers=1, joint_hidden=4)
import os
if os.environ.get("GIGAAM_DIMS"):  # d_model,n_heads,n_layers,d_ff  e.g. 256,4,6,1024
    _d, _h, _l, _f = (int(x) for x in os.environ["GIGAAM_DIMS"].split(","))
    HP.update(d_model=_d, n_heads=_h, n_layers=_l, d_ff=_f)
VOCAB = ["<unk>", "\u2581а", "\u2581б", "в", "г", "д", ".", ","]  # + blank appended last
N_CLASSES = len(VOCAB) + 1  # blank = n_classes - 1


class Rng:
    def __init__(self, seed):
        self.s = seed & 0xFFFFFFFF

    def next(self):
        self.s = (self.s * 1664525 + 1013904223) & 0xFFFFFFFF
        return (self.s / 0xFFFFFFFF - 0.5) * 0.1


_pr = Rng(99)
PATTERN = struct.pack("<4093f", *[_pr.next() for _ in range(4093)])


def t(name, ne, kind="rand", rng=None):
    n = 1
    for d in ne:
        n *= d
    if kind == "ones":
        vals = [1.0] * n
    elif kind == "zeros":
        vals = [0.0] * n
    else:
        # a 4093-value deterministic pattern, offset per tensor, tiled (fast for big shapes)
        off = int((rng.next() + 0.05) * 40930) % 4093
        reps = (n + off) // 4093 + 1
        return F.Tensor(name, ne, F.GGML_TYPE_F32, (PATTERN * reps)[off * 4:(off + n) * 4])
    return F.Tensor(name, ne, F.GGML_TYPE_F32, struct.pack(f"<{n}f", *vals))


def tensors(head):
    h = HP
    d, dff, k = h["d_model"], h["d_ff"], h["conv_kernel"]
    rng = Rng(12345)
    n_freq = h["n_fft"] // 2 + 1
    out = []
    # frontend: HTK-ish triangular filterbank [n_freq, n_mels], periodic Hann [win]
    fb = []
    for m in range(h["n_mels"]):
        lo, hi = m * n_freq // h["n_mels"], (m + 1) * n_freq // h["n_mels"]
        fb += [1.0 if lo <= f < hi else 0.0 for f in range(n_freq)]
    out.append(F.Tensor("frontend.mel_filterbank", [n_freq, h["n_mels"]], F.GGML_TYPE_F32,
                        struct.pack(f"<{len(fb)}f", *fb)))
    hann = [0.5 - 0.5 * math.cos(2 * math.pi * i / h["win"]) for i in range(h["win"])]
    out.append(F.Tensor("frontend.window", [h["win"]], F.GGML_TYPE_F32, struct.pack(f"<{h['win']}f", *hann)))
    out += [t("enc.pre_encode.conv.0.weight", [h["subs_k"], h["n_mels"], d], rng=rng),
            t("enc.pre_encode.conv.0.bias", [d], "zeros"),
            t("enc.pre_encode.conv.2.weight", [h["subs_k"], d, d], rng=rng),
            t("enc.pre_encode.conv.2.bias", [d], "zeros")]
    for i in range(h["n_layers"]):
        p = f"enc.blocks.{i}."
        for ln in ("norm_ff1", "norm_conv", "conv.ln", "norm_attn", "norm_ff2", "norm_out"):
            out += [t(p + ln + ".weight", [d], "ones"), t(p + ln + ".bias", [d], "zeros")]
        for ff in ("ff1", "ff2"):
            out += [t(p + ff + ".linear1.weight", [d, dff], rng=rng), t(p + ff + ".linear1.bias", [dff], "zeros"),
                    t(p + ff + ".linear2.weight", [dff, d], rng=rng), t(p + ff + ".linear2.bias", [d], "zeros")]
        out += [t(p + "conv.pointwise1.weight", [1, d, 2 * d], rng=rng), t(p + "conv.pointwise1.bias", [2 * d], "zeros"),
                t(p + "conv.depthwise.weight", [k, 1, d], rng=rng), t(p + "conv.depthwise.bias", [d], "zeros"),
                t(p + "conv.pointwise2.weight", [1, d, d], rng=rng), t(p + "conv.pointwise2.bias", [d], "zeros")]
        for a in ("q", "k", "v", "out"):
            out += [t(p + f"attn.linear_{a}.weight", [d, d], rng=rng), t(p + f"attn.linear_{a}.bias", [d], "zeros")]
    if head == "rnnt":
        H, J = h["pred_hidden"], h["joint_hidden"]
        out.append(t("pred.embed.weight", [H, N_CLASSES], rng=rng))
        for i in range(h["pred_layers"]):
            out += [t(f"pred.lstm.{i}.Wx", [H, 4 * H], rng=rng), t(f"pred.lstm.{i}.Wh", [H, 4 * H], rng=rng),
                    t(f"pred.lstm.{i}.bias", [4 * H], "zeros")]
        out += [t("joint.enc.weight", [d, J], rng=rng), t("joint.enc.bias", [J], "zeros"),
                t("joint.pred.weight", [H, J], rng=rng), t("joint.pred.bias", [J], "zeros"),
                t("joint.out.weight", [J, N_CLASSES], rng=rng), t("joint.out.bias", [N_CLASSES], "zeros")]
    else:
        out += [t("head.ctc.weight", [1, d, N_CLASSES], rng=rng), t("head.ctc.bias", [N_CLASSES], "zeros")]
    return out


def kvs(head):
    h = HP
    K = F
    kv = [K._pack_kv_string("general.architecture", "gigaam"),
          K._pack_kv_string("stt.variant", f"v3-e2e-{head}-toy"),
          K._pack_kv_array_string("general.languages", ["ru"]),
          K._pack_kv_string("tokenizer.ggml.model", "unigram"),
          K._pack_kv_array_string("tokenizer.ggml.tokens", VOCAB + ["<blk>"]),
          K._pack_kv_string("stt.gigaam.head_kind", head),
          K._pack_kv_uint32("stt.gigaam.encoder.n_layers", h["n_layers"]),
          K._pack_kv_uint32("stt.gigaam.encoder.d_model", h["d_model"]),
          K._pack_kv_uint32("stt.gigaam.encoder.n_heads", h["n_heads"]),
          K._pack_kv_uint32("stt.gigaam.encoder.d_ff", h["d_ff"]),
          K._pack_kv_uint32("stt.gigaam.encoder.conv_kernel", h["conv_kernel"]),
          K._pack_kv_uint32("stt.gigaam.encoder.subsampling_factor", h["subs"]),
          K._pack_kv_uint32("stt.gigaam.encoder.subs_kernel_size", h["subs_k"]),
          K._pack_kv_uint32("stt.gigaam.encoder.pos_emb_max_len", h["pos_max"]),
          K._pack_kv_uint32("stt.gigaam.encoder.feat_in", h["n_mels"]),
          K._pack_kv_string("stt.gigaam.encoder.self_attention_model", "rotary"),
          K._pack_kv_string("stt.gigaam.encoder.conv_norm_type", "layer_norm")]
    if head == "rnnt":
        kv += [K._pack_kv_uint32("stt.gigaam.predictor.hidden", h["pred_hidden"]),
               K._pack_kv_uint32("stt.gigaam.predictor.n_layers", h["pred_layers"]),
               K._pack_kv_uint32("stt.gigaam.predictor.vocab", N_CLASSES),
               K._pack_kv_uint32("stt.gigaam.joint.hidden", h["joint_hidden"]),
               K._pack_kv_uint32("stt.gigaam.joint.num_classes", N_CLASSES),
               K._pack_kv_string("stt.gigaam.joint.activation", "relu")]
    else:
        kv += [K._pack_kv_uint32("stt.gigaam.head.feat_in", h["d_model"]),
               K._pack_kv_uint32("stt.gigaam.head.num_classes", N_CLASSES)]
    kv += [K._pack_kv_string("stt.frontend.type", "mel"),
           K._pack_kv_uint32("stt.frontend.num_mels", h["n_mels"]),
           K._pack_kv_uint32("stt.frontend.sample_rate", 16000),
           K._pack_kv_uint32("stt.frontend.n_fft", h["n_fft"]),
           K._pack_kv_uint32("stt.frontend.win_length", h["win"]),
           K._pack_kv_uint32("stt.frontend.hop_length", h["hop"]),
           K._pack_kv_string("stt.frontend.window", "hann"),
           K._pack_kv_string("stt.frontend.normalize", "none"),
           K._pack_kv_float32("stt.frontend.dither", 0.0),
           K._pack_kv_float32("stt.frontend.pre_emphasis", 0.0),
           K._pack_kv_float32("stt.frontend.f_min", 0.0),
           K._pack_kv_float32("stt.frontend.f_max", 8000.0),
           K._pack_kv_bool("stt.frontend.center", False),
           K._pack_kv_string("stt.frontend.mel_norm", "none"),
           K._pack_kv_float32("stt.frontend.log_clamp_min", 1e-9),
           K._pack_kv_float32("stt.frontend.log_clamp_max", 1e9)]
    return kv


def main():
    out = Path(sys.argv[1] if len(sys.argv) > 1 else ".")
    for head in ("ctc", "rnnt"):
        tag = os.environ.get("GIGAAM_TAG", "toy")
        F._write(out / f"gigaam_{head}_{tag}.gguf", F._build_full_gguf(F.GGUF_MAGIC, kvs(head), tensors(head)))


if __name__ == "__main__":
    main()
