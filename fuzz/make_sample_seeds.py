#!/usr/bin/env python3
"""Writes the seeds of decode_samples_fuzzer into fuzz/seeds/samples: short
pieces of the corpus samples under the mode bytes the encoder picks for
them, packed 12-bit words, and zero-ended records for the record trick.
Input format: fuzz/trick_fuzz_input.h (mode byte, five 16-bit lengths, the
streams)."""
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))
corpus = os.path.join(here, '..', '..', 'shared', 'corpus')
out = os.path.join(here, 'seeds', 'samples')
os.makedirs(out, exist_ok=True)


def seed(name, mode, stream):
    data = bytes([mode]) + struct.pack('<5H', len(stream), 0, 0, 0, 0) + stream
    with open(os.path.join(out, name), 'wb') as f:
        f.write(data)


def piece(path, start, length):
    with open(os.path.join(corpus, path), 'rb') as f:
        return f.read()[start:start + length]


seed('stereo', 0x96, piece('samples/front_stereo.wav', 4000, 600))
seed('rgb', 0x02, piece('samples/grace_hopper.ppm', 20000, 600))
seed('image16', 0x85, piece('samples/mri_s1045.ima', 30000, 600))
seed('four-channels', 0x43, piece('samples/front_center.wav', 8000, 400))
seed('packed', 9, bytes([243, 5, 0, 243, 2, 0, 241, 7, 1]) * 20)
seed('records', 0x81, piece('records/libstdcxx_dynstr.bin', 0, 600))
