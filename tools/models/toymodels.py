#!/usr/bin/env python3
"""Recognition models the tests and benchmarks write themselves (no weights can be downloaded).

Structurally complete GigaAM v3 (CTC and RNN-T heads) and Parakeet TDT models in GGUF, and a
whisper model in whisper.cpp's .bin format, all of which transcribe.cpp loads and runs. The
tests use tiny dimensions and deterministic weights: they check flow, timing, cancellation and
errors, never words. The benchmarks import this module with the real dimensions (see
benchmodels.py). Standard library only; the GGUF writer is transcribe.cpp's own test fixture
writer, vendored beside the engine.

usage: toymodels.py OUT_DIR   writes gigaam-ctc.gguf, gigaam-rnnt.gguf, parakeet.gguf,
                              whisper.bin (a decoder that ends at once: no text, fast),
                              gigaam-rnnt-silent.gguf (an RNN-T head that never emits),
                              gigaam-ctc-mid.gguf (an encoder that takes seconds, for aborts) and
                              cohere.gguf (the header of a family the program does not build).
"""
import math
import struct
import sys
from pathlib import Path

_ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(_ROOT / "third_party/transcribe.cpp/tests/fixtures"))
import make_gguf_fixtures as gguf  # noqa: E402


class Weights:
    """Deterministic small values: a 4093-value pattern, tiled from an offset per tensor, so that
    large shapes cost no Python loop per value. `kind` "ones"/"zeros" for norms and biases."""

    def __init__(self, seed=12345, scale=0.1):
        self.state = seed
        pattern = [self._next() * scale for _ in range(4093)]
        self.pattern = struct.pack("<4093f", *pattern)

    def _next(self):
        self.state = (self.state * 1664525 + 1013904223) & 0xFFFFFFFF
        return self.state / 0xFFFFFFFF - 0.5

    def __call__(self, name, ne, kind="rand"):
        n = math.prod(ne)
        if kind in ("ones", "zeros"):
            data = struct.pack("<f", 1.0 if kind == "ones" else 0.0) * n
        else:
            offset = int((self._next() + 0.5) * 4093) % 4093
            data = (self.pattern * ((n + offset) // 4093 + 1))[offset * 4:(offset + n) * 4]
        return gguf.Tensor(name, ne, gguf.GGML_TYPE_F32, data)


def f32(name, ne, values):
    return gguf.Tensor(name, ne, gguf.GGML_TYPE_F32, struct.pack(f"<{len(values)}f", *values))


# --- GigaAM v3 -----------------------------------------------------------------------------

GIGAAM_TOY = dict(n_layers=2, d_model=8, n_heads=2, d_ff=16, conv_kernel=3, subs=4, subs_k=3, pos_max=5000,
                  n_mels=4, n_fft=320, win=320, hop=160, pred_hidden=4, pred_layers=1, joint_hidden=4,
                  vocab=["<unk>", "\u2581а", "\u2581б", "в", "г", "д", ".", ","])


def gigaam_tensors(head, hp, w, silent=False):
    d, dff, k = hp["d_model"], hp["d_ff"], hp["conv_kernel"]
    classes = len(hp["vocab"]) + 1  # the blank is the last class
    n_freq = hp["n_fft"] // 2 + 1
    bank = []
    for m in range(hp["n_mels"]):
        lo, hi = m * n_freq // hp["n_mels"], (m + 1) * n_freq // hp["n_mels"]
        bank += [1.0 if lo <= f < hi else 0.0 for f in range(n_freq)]
    out = [f32("frontend.mel_filterbank", [n_freq, hp["n_mels"]], bank),
           f32("frontend.window", [hp["win"]],
               [0.5 - 0.5 * math.cos(2 * math.pi * i / hp["win"]) for i in range(hp["win"])]),
           w("enc.pre_encode.conv.0.weight", [hp["subs_k"], hp["n_mels"], d]),
           w("enc.pre_encode.conv.0.bias", [d], "zeros"),
           w("enc.pre_encode.conv.2.weight", [hp["subs_k"], d, d]),
           w("enc.pre_encode.conv.2.bias", [d], "zeros")]
    for i in range(hp["n_layers"]):
        p = f"enc.blocks.{i}."
        for norm in ("norm_ff1", "norm_conv", "conv.ln", "norm_attn", "norm_ff2", "norm_out"):
            out += [w(p + norm + ".weight", [d], "ones"), w(p + norm + ".bias", [d], "zeros")]
        for ff in ("ff1", "ff2"):
            out += [w(p + ff + ".linear1.weight", [d, dff]), w(p + ff + ".linear1.bias", [dff], "zeros"),
                    w(p + ff + ".linear2.weight", [dff, d]), w(p + ff + ".linear2.bias", [d], "zeros")]
        out += [w(p + "conv.pointwise1.weight", [1, d, 2 * d]), w(p + "conv.pointwise1.bias", [2 * d], "zeros"),
                w(p + "conv.depthwise.weight", [k, 1, d]), w(p + "conv.depthwise.bias", [d], "zeros"),
                w(p + "conv.pointwise2.weight", [1, d, d]), w(p + "conv.pointwise2.bias", [d], "zeros")]
        for a in ("q", "k", "v", "out"):
            out += [w(p + f"attn.linear_{a}.weight", [d, d]), w(p + f"attn.linear_{a}.bias", [d], "zeros")]
    if head == "rnnt":
        h, j = hp["pred_hidden"], hp["joint_hidden"]
        out.append(w("pred.embed.weight", [h, classes]))
        for i in range(hp["pred_layers"]):
            out += [w(f"pred.lstm.{i}.Wx", [h, 4 * h]), w(f"pred.lstm.{i}.Wh", [h, 4 * h]),
                    w(f"pred.lstm.{i}.bias", [4 * h], "zeros")]
        out += [w("joint.enc.weight", [d, j]), w("joint.enc.bias", [j], "zeros"),
                w("joint.pred.weight", [h, j]), w("joint.pred.bias", [j], "zeros"),
                w("joint.out.weight", [j, classes])]
        # A blank that always wins: the decoder emits nothing, whatever it hears.
        out.append(f32("joint.out.bias", [classes], [0.0] * (classes - 1) + [100.0]) if silent
                   else w("joint.out.bias", [classes], "zeros"))
    else:
        out += [w("head.ctc.weight", [1, d, classes]), w("head.ctc.bias", [classes], "zeros")]
    return out


def gigaam_metadata(head, hp):
    g = gguf
    classes = len(hp["vocab"]) + 1
    u32 = g._pack_kv_uint32
    kv = [g._pack_kv_string("general.architecture", "gigaam"),
          g._pack_kv_string("stt.variant", f"v3-e2e-{head}"),
          g._pack_kv_array_string("general.languages", ["ru"]),
          g._pack_kv_string("tokenizer.ggml.model", "unigram"),
          g._pack_kv_array_string("tokenizer.ggml.tokens", hp["vocab"] + ["<blk>"]),
          g._pack_kv_string("stt.gigaam.head_kind", head)]
    for key, name in (("n_layers", "n_layers"), ("d_model", "d_model"), ("n_heads", "n_heads"), ("d_ff", "d_ff"),
                      ("conv_kernel", "conv_kernel"), ("subsampling_factor", "subs"),
                      ("subs_kernel_size", "subs_k"), ("pos_emb_max_len", "pos_max"), ("feat_in", "n_mels")):
        kv.append(u32(f"stt.gigaam.encoder.{key}", hp[name]))
    kv += [g._pack_kv_string("stt.gigaam.encoder.self_attention_model", "rotary"),
           g._pack_kv_string("stt.gigaam.encoder.conv_norm_type", "layer_norm")]
    if head == "rnnt":
        kv += [u32("stt.gigaam.predictor.hidden", hp["pred_hidden"]),
               u32("stt.gigaam.predictor.n_layers", hp["pred_layers"]),
               u32("stt.gigaam.predictor.vocab", classes), u32("stt.gigaam.joint.hidden", hp["joint_hidden"]),
               u32("stt.gigaam.joint.num_classes", classes), g._pack_kv_string("stt.gigaam.joint.activation", "relu")]
    else:
        kv += [u32("stt.gigaam.head.feat_in", hp["d_model"]), u32("stt.gigaam.head.num_classes", classes)]
    kv += [g._pack_kv_string("stt.frontend.type", "mel"), u32("stt.frontend.num_mels", hp["n_mels"]),
           u32("stt.frontend.sample_rate", 16000), u32("stt.frontend.n_fft", hp["n_fft"]),
           u32("stt.frontend.win_length", hp["win"]), u32("stt.frontend.hop_length", hp["hop"]),
           g._pack_kv_string("stt.frontend.window", "hann"), g._pack_kv_string("stt.frontend.normalize", "none"),
           g._pack_kv_float32("stt.frontend.dither", 0.0), g._pack_kv_float32("stt.frontend.pre_emphasis", 0.0),
           g._pack_kv_float32("stt.frontend.f_min", 0.0), g._pack_kv_float32("stt.frontend.f_max", 8000.0),
           g._pack_kv_bool("stt.frontend.center", False), g._pack_kv_string("stt.frontend.mel_norm", "none"),
           g._pack_kv_float32("stt.frontend.log_clamp_min", 1e-9),
           g._pack_kv_float32("stt.frontend.log_clamp_max", 1e9)]
    return kv


def gigaam(head, hp=GIGAAM_TOY, w=None, silent=False):
    w = w or Weights()
    return gguf._build_full_gguf(gguf.GGUF_MAGIC, gigaam_metadata(head, hp), gigaam_tensors(head, hp, w, silent))


# --- Parakeet TDT v3 ------------------------------------------------------------------------

def parakeet(hp_changes=None, w=None):
    """The fixture writer's Parakeet with the subsampling its encoder implements (8), enough
    mel bands for three stride-2 convolutions, small weights and a v3-like language list."""
    return gguf._build_full_gguf(gguf.GGUF_MAGIC, *parakeet_parts(hp_changes, w))


def parakeet_parts(hp_changes=None, w=None, vocab=None):
    """parakeet()'s KV blobs and tensors, for writers of full-size models; `vocab`: the pieces."""
    w = w or Weights(seed=777)
    tokens = vocab or gguf.TOY_VOCAB
    hp = dict(gguf.PARAKEET_HP, enc_subsampling_factor=8, fe_num_mels=16)
    hp.update(hp_changes or {})
    saved = dict(gguf.PARAKEET_HP)
    gguf.PARAKEET_HP.update(hp)
    try:
        tensors = [w(name, ne) for name, ne in gguf._parakeet_tensor_descriptors()]
        g = gguf
        kv = [g._pack_kv_string("general.architecture", "parakeet"),
              g._pack_kv_string("stt.variant", "tdt-0.6b-v3"),
              g._pack_kv_bool("stt.capability.lang_detect", True),
              g._pack_kv_array_string("general.languages", ["en", "de", "ru", "uk"]),
              g._pack_kv_string("tokenizer.ggml.model", "unigram"),
              g._pack_kv_array_string("tokenizer.ggml.tokens", tokens),
              g._pack_kv_array_float32("tokenizer.ggml.scores", [-float(i) for i in range(len(tokens))]),
              g._pack_kv_array_int32("tokenizer.ggml.token_type",
                                     [3 if t[0] + t[-1] == "<>" else 1 for t in tokens]),
              g._pack_kv_uint32("tokenizer.ggml.unknown_token_id", 0),
              g._pack_kv_uint32("tokenizer.ggml.bos_token_id", 1),
              g._pack_kv_uint32("tokenizer.ggml.eos_token_id", 2),
              g._pack_kv_uint32("tokenizer.ggml.blank_token_id", 15),
              *g._parakeet_hparams_kv()]
        return kv, tensors
    finally:
        gguf.PARAKEET_HP.clear()
        gguf.PARAKEET_HP.update(saved)


# --- whisper (whisper.cpp's .bin) -----------------------------------------------------------

WHISPER_TOY = dict(state=8, heads=2, layers=1)
_END_OF_TEXT = 50257


def whisper_bin(hp=WHISPER_TOY, w=None, quiet=True, ftype=0):
    """hparams, an 80-band filter bank, a vocabulary whose first 256 tokens are the single bytes
    (so any text tokenises) and every tensor the engine's .bin adapter requires, in `w`'s types
    (F32 by default; `ftype` 1 in the header for mostly F16). `quiet`: the decoder's final norm
    gives a constant state that points at end-of-text, so every run ends at once with no text."""
    w = w or Weights(seed=4242)
    s, heads, layers = hp["state"], hp["heads"], hp["layers"]
    vocab_size, audio_ctx, text_ctx, mels = 51865, 1500, 448, 80
    out = bytearray(b"lmgg")
    out += struct.pack("<11i", vocab_size, audio_ctx, s, heads, layers, text_ctx, s, heads, layers, mels, ftype)
    out += struct.pack("<2i", mels, 201)
    bank = [1.0 if m * 201 // mels <= f < (m + 1) * 201 // mels else 0.0 for m in range(mels) for f in range(201)]
    out += struct.pack(f"<{len(bank)}f", *bank)
    tokens = [bytes([b]) for b in range(256)] + [b"t%d" % i for i in range(256, _END_OF_TEXT)]
    out += struct.pack("<i", len(tokens))
    for token in tokens:
        out += struct.pack("<i", len(token)) + token

    def tensor(name, ne, kind="rand"):
        t = w(name, ne, kind)
        data = t.data
        if quiet and name == "decoder.ln.weight":
            data = struct.pack("<f", 0.0) * s
        elif quiet and name == "decoder.ln.bias":
            data = struct.pack("<f", 1.0) * s
        elif quiet and name == "decoder.token_embedding.weight":
            value = struct.pack("<e" if t.dtype == 1 else "<f", 10.0)
            row = _END_OF_TEXT * s * len(value)
            data = data[:row] + value * s + data[row + s * len(value):]
        encoded = name.encode()
        out.extend(struct.pack("<iii", len(ne), len(encoded), t.dtype) + struct.pack(f"<{len(ne)}i", *ne) + encoded)
        out.extend(data)

    def norm(p):
        tensor(p + ".weight", [s], "ones")
        tensor(p + ".bias", [s], "zeros")

    def attention(p):
        for part in ("query", "key", "value", "out"):
            tensor(f"{p}.{part}.weight", [s, s])
            if part != "key":
                tensor(f"{p}.{part}.bias", [s], "zeros")

    def mlp(p):
        tensor(p + ".0.weight", [s, 4 * s])
        tensor(p + ".0.bias", [4 * s], "zeros")
        tensor(p + ".2.weight", [4 * s, s])
        tensor(p + ".2.bias", [s], "zeros")

    tensor("encoder.positional_embedding", [s, audio_ctx])
    tensor("encoder.conv1.weight", [3, mels, s])
    tensor("encoder.conv1.bias", [1, s], "zeros")
    tensor("encoder.conv2.weight", [3, s, s])
    tensor("encoder.conv2.bias", [1, s], "zeros")
    for i in range(layers):
        p = f"encoder.blocks.{i}"
        norm(p + ".attn_ln"), attention(p + ".attn"), norm(p + ".mlp_ln"), mlp(p + ".mlp")
    norm("encoder.ln_post")
    tensor("decoder.positional_embedding", [s, text_ctx])
    tensor("decoder.token_embedding.weight", [s, vocab_size])
    for i in range(layers):
        p = f"decoder.blocks.{i}"
        norm(p + ".attn_ln"), attention(p + ".attn"), norm(p + ".cross_attn_ln"), attention(p + ".cross_attn")
        norm(p + ".mlp_ln"), mlp(p + ".mlp")
    norm("decoder.ln")
    return bytes(out)


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    folder = Path(argv[1])
    folder.mkdir(parents=True, exist_ok=True)
    files = {"gigaam-ctc.gguf": gigaam("ctc"), "gigaam-rnnt.gguf": gigaam("rnnt"),
             "gigaam-rnnt-silent.gguf": gigaam("rnnt", silent=True), "parakeet.gguf": parakeet(),
             "whisper.bin": whisper_bin(),
             "gigaam-ctc-mid.gguf": gigaam("ctc", dict(GIGAAM_TOY, d_model=256, n_heads=4, n_layers=6, d_ff=1024)),
             "cohere.gguf": gguf._build_header(gguf.GGUF_MAGIC, gguf._string_kvs([("general.architecture", "cohere_asr")]))}
    for name, data in files.items():
        (folder / name).write_bytes(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
