#!/usr/bin/env python3
"""Full-size recognition models with random weights, for the benchmarks (no weights can be
downloaded, and none are committed: bench_localrecognition writes them at run time).

Every tensor has the real model's shape and the type its published quantisation uses, so the
engine loads as many bytes and multiplies as many matrices as with the real model: the encoder's
time and the memory are the real ones. The words are not, and the decoders are kept from running
away on random weights (an RNN-T or TDT joint whose blank always wins, as after a pause in real
speech; a whisper decoder that ends at once), so the decoder's time is a lower bound.

Dimensions (each checked against the engine's loader, and by the published file sizes: the Q8_0
files and whisper's F16 one come out within 0.3 % of them, the Q4_K ones 3 to 6 % smaller than
Q4_K_M, which keeps a few matrices in Q6_K): GigaAM v3 e2e — 16 blocks, d_model 768, 16 heads, d_ff 3072, conv
kernel 5, subsampling 4 by two conv1d of kernel 5, 64 mels (n_fft = win 320, hop 160), LSTM-320
predictor, joint 320, 1024 pieces + blank (RNN-T) or 256 + blank (CTC). Parakeet TDT 0.6B v3 —
24 blocks, d_model 1024, 8 heads, d_ff 4096, conv kernel 9, subsampling 8 with 256 channels,
128 mels (n_fft 512, win 400, hop 160), two LSTM-640 layers, joint 640, 8192 pieces + blank,
durations 0..4. whisper base — width 512, 8 heads, 6 + 6 layers, F16 matrices as ggml-base.bin.

Types: "q4k" approximates Q4_K_M with Q4_K for every matrix whose rows hold whole 256-value
blocks (Q8_0 for the 320- and 640-wide predictor and joint, which Q4_K cannot split), F16 for
pointwise convolutions, F32 for the subsampling convolutions, depthwise kernels, norms and
biases (the engine takes convolutions in F32 or F16 only); "q8" puts Q8_0 in place of Q4_K.

usage: benchmodels.py OUT_DIR [NAME...]   NAME from: gigaam-rnnt-q4k gigaam-ctc-q4k gigaam-rnnt-q8
                                          gigaam-ctc-q8 parakeet-q4k whisper-base (default: all)
Standard library only. Writes each file in a few seconds without holding it in memory.
"""
import math
import random
import struct
import sys
from pathlib import Path

import toymodels

gguf = toymodels.gguf

F32, F16, Q8_0, Q4_K = 0, 1, 8, 12
# Values per block and bytes per block (ggml-common.h: block_q8_0 = f16 d + 32 int8; block_q4_K =
# f16 d + f16 dmin + 12 bytes of 6-bit scales and mins + 128 bytes of 4-bit values).
_BLOCK = {F32: (1, 4), F16: (1, 2), Q8_0: (32, 34), Q4_K: (256, 144)}
# A tile of this many blocks (a prime, so that tensors do not line up) is repeated through each tensor.
_TILE_BLOCKS = 1021


class Lazy:
    """A tensor whose bytes are made when written, so that a 500-MB model never sits in memory."""

    __slots__ = ("name", "ne", "dtype", "make")

    def __init__(self, name, ne, dtype, make):
        self.name, self.ne, self.dtype, self.make = name, list(ne), dtype, make

    @property
    def data(self):
        return self.make()

    def nbytes(self):
        per_block, size = _BLOCK[self.dtype]
        return math.prod(self.ne) // per_block * size


def _tiles(seed):
    """One tile of random blocks per type, with block scales that keep the values about as large
    as a trained layer's (standard deviation near 0.03)."""
    rng = random.Random(seed)
    tiles = {}
    q8 = bytearray(rng.randbytes(_TILE_BLOCKS * 34))
    q8[0::34] = struct.pack("<e", 4e-4)[:1] * _TILE_BLOCKS
    q8[1::34] = struct.pack("<e", 4e-4)[1:] * _TILE_BLOCKS
    tiles[Q8_0] = bytes(q8)
    # Q4_K: y = d·scale·q − dmin·min, scale and min 0..63, q 0..15: dmin ≈ 7.5 d centres the values.
    q4 = bytearray(rng.randbytes(_TILE_BLOCKS * 144))
    for offset, value in ((0, 2.5e-4), (2, 1.9e-3)):
        packed = struct.pack("<e", value)
        q4[offset::144] = packed[:1] * _TILE_BLOCKS
        q4[offset + 1::144] = packed[1:] * _TILE_BLOCKS
    tiles[Q4_K] = bytes(q4)
    tiles[F16] = struct.pack(f"<{_TILE_BLOCKS}e", *(rng.uniform(-0.05, 0.05) for _ in range(_TILE_BLOCKS)))
    tiles[F32] = struct.pack(f"<{_TILE_BLOCKS}f", *(rng.uniform(-0.05, 0.05) for _ in range(_TILE_BLOCKS)))
    return tiles


class Weights:
    """Stands in for toymodels.Weights with typed tensors: `typing(name, ne)` gives "f32",
    "conv" or "linear"; `overrides` gives exact F32 values for a few tensors by name."""

    def __init__(self, linear, typing, seed=2024, overrides=None):
        self.linear, self.typing, self.overrides = linear, typing, overrides or {}
        self.tiles = _tiles(seed)
        self.small = toymodels.Weights(seed=seed)
        self.count = 0

    def _type(self, name, ne, kind):
        role = "f32" if kind != "rand" else self.typing(name, ne)
        if role == "linear":
            for dtype in (self.linear, Q8_0):
                if ne[0] % _BLOCK[dtype][0] == 0:
                    return dtype
            return F16
        return F16 if role == "conv" else F32

    def __call__(self, name, ne, kind="rand"):
        if name in self.overrides:
            return toymodels.f32(name, ne, self.overrides[name])
        dtype = self._type(name, ne, kind)
        if dtype == F32 and (kind != "rand" or math.prod(ne) <= 1 << 16):
            return self.small(name, ne, kind)
        self.count += 1
        tile, blocks = self.tiles[dtype], math.prod(ne) // _BLOCK[dtype][0]
        size, start = _BLOCK[dtype][1], self.count * 7919 % _TILE_BLOCKS

        def make():
            repeated = tile * ((start + blocks) // _TILE_BLOCKS + 1)
            return repeated[start * size:(start + blocks) * size]

        return Lazy(name, ne, dtype, make)


def write_gguf(path, kv, tensors):
    """The fixture writer's layout (gguf.h: header, KV, tensor infos, aligned data), streamed."""
    sizes = [t.nbytes() if isinstance(t, Lazy) else len(t.data) for t in tensors]
    offsets, cursor = [], 0
    for size in sizes:
        cursor = gguf._ggml_pad(cursor)
        offsets.append(cursor)
        cursor += size
    head = bytearray(gguf.GGUF_MAGIC + struct.pack("<Iqq", gguf.GGUF_VERSION, len(tensors), len(kv)))
    for blob in kv:
        head += blob
    for t, offset in zip(tensors, offsets):
        head += gguf._pack_tensor_info(t, offset)
    head += b"\0" * (gguf._ggml_pad(len(head)) - len(head))
    with open(path, "wb") as out:
        out.write(head)
        written = 0
        for t, offset, size in zip(tensors, offsets, sizes):
            out.write(b"\0" * (offset - written))
            data = t.data
            assert len(data) == size, t.name
            out.write(data)
            written = offset + size
        out.write(b"\0" * (gguf._ggml_pad(written) - written))


# --- GigaAM v3 e2e ---------------------------------------------------------------------------

def _pieces(count):
    return ["<unk>"] + [f"\u2581p{i}" for i in range(1, count)]


GIGAAM = dict(toymodels.GIGAAM_TOY, n_layers=16, d_model=768, n_heads=16, d_ff=3072, conv_kernel=5, subs=4,
              subs_k=5, pos_max=5000, n_mels=64, n_fft=320, win=320, hop=160, pred_hidden=320, pred_layers=1,
              joint_hidden=320)


def _gigaam_typing(name, ne):
    if len(ne) == 1 or name.startswith("enc.pre_encode") or ".depthwise" in name:
        return "f32"
    return "conv" if len(ne) == 3 else "linear"


def gigaam(path, head, linear):
    hp = dict(GIGAAM, vocab=_pieces(1024 if head == "rnnt" else 256))
    w = Weights(linear, _gigaam_typing)
    write_gguf(path, toymodels.gigaam_metadata(head, hp), toymodels.gigaam_tensors(head, hp, w, silent=True))


# --- Parakeet TDT 0.6B v3 --------------------------------------------------------------------

PARAKEET = dict(enc_n_layers=24, enc_d_model=1024, enc_n_heads=8, enc_d_ff=4096, enc_conv_kernel=9,
                enc_subsampling_factor=8, enc_subsampling_channels=256, enc_pos_emb_max_len=5000, pred_hidden=640,
                pred_n_layers=2, pred_vocab=8193, joint_hidden=640, joint_num_extra_outputs=5,
                tdt_durations=[0, 1, 2, 3, 4], fe_num_mels=128, fe_n_fft=512, fe_win_length=400, fe_hop_length=160)


def _parakeet_typing(name, ne):
    if len(ne) == 1 or ".pos_bias_" in name or name.startswith("enc.pre_encode.conv") or ".depthwise" in name:
        return "f32"
    return "conv" if len(ne) >= 3 else "linear"


def parakeet(path, linear):
    # Joint outputs: 8192 pieces, the blank, then the five durations. The blank wins every step
    # and duration 1 is chosen, so the decoder takes one joint step per encoder frame.
    classes = PARAKEET["pred_vocab"] + PARAKEET["joint_num_extra_outputs"]
    bias = [0.0] * classes
    bias[PARAKEET["pred_vocab"] - 1] = 100.0
    bias[PARAKEET["pred_vocab"] + 1] = 100.0
    w = Weights(linear, _parakeet_typing, seed=777, overrides={"joint.out.bias": bias})
    kv, tensors = toymodels.parakeet_parts(PARAKEET, w, vocab=_pieces(8192))
    write_gguf(path, kv, tensors)


# --- whisper base (whisper.cpp's .bin) -------------------------------------------------------

def _whisper_typing(name, ne):
    return "f32" if len(ne) == 1 or "positional_embedding" in name or name.endswith(".bias") else (
        "conv" if len(ne) == 3 else "linear")


def whisper_base(path):
    w = Weights(F16, _whisper_typing, seed=4242)
    Path(path).write_bytes(toymodels.whisper_bin(dict(state=512, heads=8, layers=6), w, quiet=True, ftype=1))


MODELS = {
    "gigaam-rnnt-q4k": lambda path: gigaam(path, "rnnt", Q4_K),
    "gigaam-ctc-q4k": lambda path: gigaam(path, "ctc", Q4_K),
    "gigaam-rnnt-q8": lambda path: gigaam(path, "rnnt", Q8_0),
    "gigaam-ctc-q8": lambda path: gigaam(path, "ctc", Q8_0),
    "parakeet-q4k": lambda path: parakeet(path, Q4_K),
    "whisper-base": whisper_base,
}
SUFFIX = {"whisper-base": ".bin"}


def main(argv):
    names = argv[2:] or list(MODELS)
    if len(argv) < 2 or any(name not in MODELS for name in names):
        print(__doc__, file=sys.stderr)
        return 2
    folder = Path(argv[1])
    folder.mkdir(parents=True, exist_ok=True)
    for name in names:
        MODELS[name](folder / (name + SUFFIX.get(name, ".gguf")))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
