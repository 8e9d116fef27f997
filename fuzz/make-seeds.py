#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets: small WAV files of every sample
width and each kind of broken header (wave_reader), the same behind a byte that
picks format and search level (encoders), and device files of every format,
whole and broken (decoder). Device files come from the built program:
    fuzz/make-seeds.py build/dev/korvane
"""
import math
import os
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def wave(data, bits=16, rate=16000, tag=1, channels=1, fmt_extra=b"", between=b"", data_size=None):
    container = (bits + 7) // 8
    fmt = struct.pack("<HHIIHH", tag, channels, rate, rate * container, container, bits) + fmt_extra
    size = len(data) if data_size is None else data_size
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + between + b"data" + struct.pack("<I", size) + data
    return b"RIFF" + struct.pack("<I", len(body)) + body


def speech(n, seed=1):
    out = []
    for i in range(n):
        v = 12000 * math.sin(i * 0.07 + seed) * math.sin(i * 0.005) + 3000 * math.sin(i * 0.9)
        out.append(max(-32768, min(32767, int(v))))
    return out


def pcm16(samples):
    return b"".join(struct.pack("<h", s) for s in samples)


def chunk(tag, contents):
    return tag + struct.pack("<I", len(contents)) + contents


PCM_GUID = bytes.fromhex("0100000000001000800000aa00389b71")


def adpcm(tag, channels, block_align, extra, data):
    fmt = struct.pack("<HHIIHHH", tag, channels, 8000, 4000 * channels, block_align, 4, len(extra)) + extra
    body = b"WAVE" + chunk(b"fmt ", fmt) + chunk(b"data", data)
    return b"RIFF" + struct.pack("<I", len(body)) + body


MS_PAIRS = [(256, 0), (512, -256), (0, 0), (192, 64), (240, 0), (460, -208), (392, -232)]


def reader_seeds():
    s = speech(64)
    seeds = {
        "pcm16": wave(pcm16(s)),
        "pcm8": wave(bytes((x >> 8) + 128 for x in s), bits=8),
        "pcm12": wave(pcm16([x & ~15 for x in s]), bits=12),
        "pcm20": wave(b"".join(struct.pack("<i", x << 4)[:3] for x in s), bits=20),
        "pcm24": wave(b"".join(struct.pack("<i", x << 8)[:3] for x in s), bits=24),
        "pcm32": wave(b"".join(struct.pack("<i", x << 16) for x in s), bits=32),
        "pcm1": wave(bytes(0xFF if x > 0 else 0x00 for x in s), bits=1),
        "extensible": wave(pcm16(s), tag=0xFFFE, fmt_extra=struct.pack("<HHI", 22, 16, 4) + PCM_GUID),
        "list_chunk": wave(pcm16(s), between=chunk(b"LIST", b"INFOtest")),
        "odd_chunk": wave(pcm16(s), between=chunk(b"odd ", b"abc") + b"\0"),
        "streamed_size": wave(pcm16(s), data_size=0xFFFFFFFF),
        "odd_data": wave(pcm16(s) + b"\x7f"),
        "bad_riff": b"RIFX" + wave(pcm16(s))[4:],
        "bad_wave": wave(pcm16(s)).replace(b"WAVE", b"AVI ", 1),
        "float": wave(pcm16(s), tag=3),
        "stereo": wave(pcm16(s), channels=2),
        "bits0": wave(pcm16(s), bits=0),
        "no_data": wave(pcm16(s)).replace(b"data", b"DATA", 1),
        "empty_data": wave(b""),
        "short_header": wave(pcm16(s))[:30],
        # Read only by the tolerant reader (--rate, --gain, --normalize).
        "float32": wave(b"".join(struct.pack("<f", x / 32768) for x in s), bits=32, tag=3),
        "float64": wave(b"".join(struct.pack("<d", x / 32768) for x in s), bits=64, tag=3),
        "six_channels24": wave(b"".join(struct.pack("<i", x << 8)[:3] * 6 for x in s), bits=24, channels=6),
        "extensible_float": wave(b"".join(struct.pack("<f", x / 32768) for x in s), bits=32, tag=0xFFFE,
                                 fmt_extra=struct.pack("<HHI", 22, 32, 4) + bytes([3]) + PCM_GUID[1:]),
        "junk_first": b"RIFF" + wave(pcm16(s))[4:12] + chunk(b"JUNK", b"abc") + b"\0" + wave(pcm16(s))[12:],
        "fmt_after_data": b"RIFF\0\0\0\0WAVE" + chunk(b"data", pcm16(s)) + chunk(b"fmt ", wave(b"")[20:36]),
        "mulaw": wave(bytes((x >> 8) & 0xFF for x in s), bits=8, tag=7),
        "alaw_stereo": wave(bytes((x >> 8) & 0xFF for x in s), bits=8, tag=6, channels=2),
        "ima": adpcm(0x11, 1, 36, struct.pack("<H", 65), bytes([10, 0, 20, 0]) + bytes(range(32)) * 3),
        "ima_stereo_cut": adpcm(0x11, 2, 72, struct.pack("<H", 65), bytes(range(72)) + bytes(range(17))),
        "ms_adpcm": adpcm(2, 1, 39, struct.pack("<HH", 66, 7) + b"".join(struct.pack("<hh", a, b) for a, b in MS_PAIRS),
                          bytes([1, 16, 0, 100, 0, 50, 0]) + bytes(range(200, 232)) * 2),
        "ms_adpcm_stereo": adpcm(2, 2, 46, struct.pack("<HH", 34, 7) + b"".join(struct.pack("<hh", a, b) for a, b in MS_PAIRS),
                                 bytes([0, 6, 16, 0, 20, 0, 1, 0, 2, 0, 3, 0, 4, 0]) + bytes(range(32)) * 3),
        "rf64": b"RF64\xff\xff\xff\xffWAVE" + chunk(b"ds64", struct.pack("<QQQI", 0, 1 << 40, 0, 0))
                + wave(pcm16(s))[12:36] + b"data\xff\xff\xff\xff" + pcm16(s),
    }
    return seeds


def write(folder, name, data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main():
    program = sys.argv[1] if len(sys.argv) > 1 else "build/dev/korvane"
    corpus = os.path.join(HERE, "corpus")
    readers = reader_seeds()
    for name, data in readers.items():
        write(os.path.join(corpus, "wave_reader"), name + ".wav", data)
    for fmt, name in enumerate(["ad4", "ad3", "ad2", "wfm", "pcm16", "pcm12", "pcm8"]):
        for level in (0, 1, 5):
            write(os.path.join(corpus, "encoders"), f"{name}_level{level}.bin",
                  bytes([fmt | level << 4]) + wave(pcm16(speech(300, fmt)), rate=8000))
        write(os.path.join(corpus, "encoders"), f"{name}_1bit.bin",
              bytes([fmt | 2 << 4]) + readers["pcm1"])
    switches = ["-E4", "-E3", "-E2", "-E1", "-E16", "-E12", "-E8"]
    with tempfile.TemporaryDirectory() as tmp:
        for n in (1, 2, 9, 17, 100):
            src = os.path.join(tmp, f"in{n}.wav")
            with open(src, "wb") as f:
                f.write(wave(pcm16(speech(n, n))))
            for sw in switches:
                out = os.path.join(tmp, "out")
                subprocess.run([program, sw, src, out], check=True, stdin=subprocess.DEVNULL)
                with open(out, "rb") as f:
                    stream = f.read()
                name = f"{sw[1:].lower()}_n{n}"
                write(os.path.join(corpus, "decoder"), name + ".bin", stream)
                if n == 17:
                    write(os.path.join(corpus, "decoder"), name + "_truncated.bin", stream[:-1])
                    write(os.path.join(corpus, "decoder"), name + "_padded.bin", stream + b"\xff" * 3)
    write(os.path.join(corpus, "decoder"), "unknown_code.bin", bytes([0, 7, 1, 0, 0, 0, 0x40, 0x1F, 0, 0x80]))
    write(os.path.join(corpus, "decoder"), "not_device.bin", readers["pcm16"])
    # The command line: switch, options, names and which files exist, then the bytes.
    cli = os.path.join(corpus, "cli")
    clip = wave(pcm16(speech(200, 3)), rate=8000)
    with open(os.path.join(corpus, "decoder", "e4_n100.bin"), "rb") as f:
        device = f.read()
    for name, head, data in [
        ("encode", [0, 0, 0, 1], clip),
        ("encode_named", [1, 0x10, 0x80 | 3 << 4, 1], clip),
        ("encode_options", [2, 0x2F, 0, 1], clip),
        ("batch", [0x80, 0x22, 0x80 | 2 << 4, 0b101], clip),
        ("batch_here", [0xC0, 0x00, 0, 0b11], clip),
        ("decode", [7, 0, 1, 0b10], device),
        ("decode_derived", [7, 0, 5, 0b1000], device),
        ("decode_batch", [0x87, 0x20, 0x80 | 4 << 4, 0b11], device),
        ("climbing", [0x80, 0, 0x80 | 6 << 4, 1], clip),
        ("unknown_switch", [8, 0, 0, 1], clip),
    ]:
        write(cli, name + ".bin", bytes(head) + data)


if __name__ == "__main__":
    main()
