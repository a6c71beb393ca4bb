#!/usr/bin/env python3
"""Runnable toy Parakeet TDT (v3-like): the fixture script's catalog with
enc_subsampling_factor=8 (the only factor the encoder implements), small
deterministic weights and general.languages incl. "ru". usage: gen_toy_parakeet.py OUT"""
import struct, sys
from pathlib import Path
sys.path.insert(0, str(Path(__file__).resolve().parent / "transcribe.cpp/tests/fixtures"))
import make_gguf_fixtures as F
F.PARAKEET_HP["enc_subsampling_factor"] = 8
F.PARAKEET_HP["fe_num_mels"] = 16  # 3 stride-2 convs need some mel height
_s = [12345]
def small_seq(n, idx):
    out = []
    for _ in range(n):
        _s[0] = (_s[0] * 1664525 + 1013904223) & 0xFFFFFFFF
        out.append((_s[0] / 0xFFFFFFFF - 0.5) * 0.1)
    return struct.pack(f"<{n}f", *out)
F._f32_seq = small_seq
tok = [F._pack_kv_string("tokenizer.ggml.model", "unigram"),
       F._pack_kv_array_string("tokenizer.ggml.tokens", F.TOY_VOCAB),
       F._pack_kv_array_float32("tokenizer.ggml.scores", F.TOY_SCORES),
       F._pack_kv_array_int32("tokenizer.ggml.token_type", F.TOY_TOKEN_TYPES),
       F._pack_kv_uint32("tokenizer.ggml.unknown_token_id", 0),
       F._pack_kv_uint32("tokenizer.ggml.bos_token_id", 1),
       F._pack_kv_uint32("tokenizer.ggml.eos_token_id", 2),
       F._pack_kv_uint32("tokenizer.ggml.blank_token_id", 15)]
kv = [F._pack_kv_string("general.architecture", "parakeet"),
      F._pack_kv_string("stt.variant", "tdt-0.6b-v3"),
      F._pack_kv_bool("stt.capability.lang_detect", True),
      F._pack_kv_array_string("general.languages", ["en", "de", "ru", "uk"]),
      *tok, *F._parakeet_hparams_kv()]
F._write(Path(sys.argv[1]) / "parakeet_tdt_toy.gguf", F._build_full_gguf(F.GGUF_MAGIC, kv, F._parakeet_tensors()))
