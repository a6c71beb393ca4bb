#!/usr/bin/env python3
"""Toy whisper model in whisper.cpp's legacy .bin format, standard library only.

Takes whisper.cpp's for-tests-ggml-*.bin (hparams + mel filters + vocab, NO tensors),
rewrites the hparams to tiny widths and appends every tensor the transcribe.cpp
.bin adapter requires (src/arch/whisper/bin_load.cpp k_static_renames /
k_enc_block_renames / k_dec_block_renames), F32, small deterministic values.
usage: gen_toy_whisper_bin.py FOR_TESTS_BIN OUT_BIN [state=8] [layers=1]
"""
import struct
import sys

src, dst = sys.argv[1], sys.argv[2]
_pos = [a for a in sys.argv[3:] if not a.startswith("--")]
S = int(_pos[0]) if len(_pos) > 0 else 8
L = int(_pos[1]) if len(_pos) > 1 else 1
H = 2

data = bytearray(open(src, "rb").read())
assert data[:4] == b"lmgg", "not a whisper.cpp .bin"
hp = list(struct.unpack_from("<11i", data, 4))
# n_vocab, n_audio_ctx, n_audio_state, n_audio_head, n_audio_layer,
# n_text_ctx, n_text_state, n_text_head, n_text_layer, n_mels, ftype
n_vocab, n_audio_ctx, _, _, _, n_text_ctx, _, _, _, n_mels, _ = hp
hp = [n_vocab, n_audio_ctx, S, H, L, n_text_ctx, S, H, L, n_mels, 0]  # ftype 0 = F32
struct.pack_into("<11i", data, 4, *hp)


class Rng:
    s = 12345

    def __call__(self):
        self.s = (self.s * 1664525 + 1013904223) & 0xFFFFFFFF
        return (self.s / 0xFFFFFFFF - 0.5) * 0.1


rng = Rng()
out = bytearray(data)


QUIET = "--quiet" in sys.argv  # decoder always says <|endoftext|> first: empty result, fast


def tensor(name, ne, kind="rand"):
    n = 1
    for d in ne:
        n *= d
    vals = [1.0] * n if kind == "ones" else [0.0] * n if kind == "zeros" else [rng() for _ in range(n)]
    if QUIET and name == "decoder.ln.weight":
        vals = [0.0] * n  # final LayerNorm output = its bias (ones): constant hidden state
    if QUIET and name == "decoder.ln.bias":
        vals = [1.0] * n
    if QUIET and name == "decoder.token_embedding.weight":
        eot = 50257  # <|endoftext|>; logits = embedding rows . hidden
        vals[eot * ne[0]:(eot + 1) * ne[0]] = [10.0] * ne[0]
    nb = name.encode()
    out.extend(struct.pack("<iii", len(ne), len(nb), 0))
    out.extend(struct.pack(f"<{len(ne)}i", *ne))
    out.extend(nb)
    out.extend(struct.pack(f"<{n}f", *vals))


def ln(p, s):
    tensor(p + ".weight", [s], "ones")
    tensor(p + ".bias", [s], "zeros")


def attn(p, s):
    tensor(p + ".query.weight", [s, s]); tensor(p + ".query.bias", [s], "zeros")
    tensor(p + ".key.weight", [s, s])
    tensor(p + ".value.weight", [s, s]); tensor(p + ".value.bias", [s], "zeros")
    tensor(p + ".out.weight", [s, s]); tensor(p + ".out.bias", [s], "zeros")


def mlp(p, s):
    tensor(p + ".0.weight", [s, 4 * s]); tensor(p + ".0.bias", [4 * s], "zeros")
    tensor(p + ".2.weight", [4 * s, s]); tensor(p + ".2.bias", [s], "zeros")


tensor("encoder.positional_embedding", [S, n_audio_ctx])
tensor("encoder.conv1.weight", [3, n_mels, S]); tensor("encoder.conv1.bias", [1, S], "zeros")
tensor("encoder.conv2.weight", [3, S, S]); tensor("encoder.conv2.bias", [1, S], "zeros")
for i in range(L):
    p = f"encoder.blocks.{i}"
    ln(p + ".attn_ln", S); attn(p + ".attn", S); ln(p + ".mlp_ln", S); mlp(p + ".mlp", S)
ln("encoder.ln_post", S)
tensor("decoder.positional_embedding", [S, n_text_ctx])
tensor("decoder.token_embedding.weight", [S, n_vocab])
for i in range(L):
    p = f"decoder.blocks.{i}"
    ln(p + ".attn_ln", S); attn(p + ".attn", S)
    ln(p + ".cross_attn_ln", S); attn(p + ".cross_attn", S)
    ln(p + ".mlp_ln", S); mlp(p + ".mlp", S)
ln("decoder.ln", S)
open(dst, "wb").write(out)
print(f"wrote {dst} ({len(out)} bytes): n_vocab={n_vocab} state={S} layers={L} heads={H}")
