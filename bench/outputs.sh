#!/usr/bin/env bash
# Writes every output a build makes of a fixed set of inputs into one folder,
# so that two builds can be compared byte for byte (diff -r or cmp):
# all seven switches, -D of each, and every --search level, on the bundled
# recording, on ten minutes made by repeating it, on white noise, and on
# copies of it at 1, 8, 12, 20, 24 and 32 bits per sample and at odd rates;
# and --rate, --gain and --normalize from stereo 44.1 kHz and float 48 kHz
# copies to several rates, odd ratios among them.
#   bench/outputs.sh PROGRAM FOLDER
set -euo pipefail
program=$(realpath "$1")
out=$2
here=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$out/inputs"
python3 - "$here/examples/voice.wav" "$out/inputs" <<'PY'
import struct, sys, wave
src, dst = sys.argv[1], sys.argv[2]
with wave.open(src) as w:
    rate = w.getframerate()
    pcm = struct.unpack('<%dh' % w.getnframes(), w.readframes(w.getnframes()))
def write(name, bits, samples, rate):
    data = bytearray()
    width = (bits + 7) // 8
    for s in samples:
        if bits <= 8:
            data.append(((s >> 8) + 128) & 0xFF)  # narrow widths read it as out of range
        else:
            v = (s << (8 * width - 16)) & ((1 << (8 * width)) - 1)
            data += v.to_bytes(width, 'little')
    fmt = struct.pack('<HHIIHH', 1, 1, rate, rate * width, width, bits)
    body = b'WAVE' + b'fmt ' + struct.pack('<I', 16) + fmt + b'data' + struct.pack('<I', len(data)) + data
    open('%s/%s' % (dst, name), 'wb').write(b'RIFF' + struct.pack('<I', len(body)) + body)
write('voice.wav', 16, pcm, rate)
write('ten-minutes.wav', 16, pcm * (600 * rate // len(pcm) + 1), rate)
for bits in (8, 12, 20, 24, 32):
    write('voice-%d.wav' % bits, bits, pcm, rate)
write('voice-1bit.wav', 1, pcm[:4000], rate)
write('voice-22050.wav', 16, pcm[:30000], 22050)
write('voice-11025.wav', 16, pcm[:30001], 11025)
write('short-3.wav', 16, pcm[1000:1003], 8000)
write('one.wav', 16, pcm[500:501], 8000)
# White noise from a fixed linear congruential generator.
state, noise = 12345, []
for _ in range(160000):
    state = (state * 1103515245 + 12345) & 0x7FFFFFFF
    noise.append((state >> 15) - 32768)
write('noise.wav', 16, noise, 16000)
# For --rate: stereo 16-bit at 44.1 kHz (the channels differ) and mono float at 48 kHz.
def write_any(name, tag, channels, rate, bits, frames):
    width = bits // 8
    fmt = struct.pack('<HHIIHH', tag, channels, rate, rate * width * channels, width * channels, bits)
    body = b'WAVE' + b'fmt ' + struct.pack('<I', len(fmt)) + fmt + b'data' + struct.pack('<I', len(frames)) + frames
    open('%s/%s' % (dst, name), 'wb').write(b'RIFF' + struct.pack('<I', len(body)) + body)
stereo = b''.join(struct.pack('<hh', s, -(s // 2)) for s in pcm[:44100])
write_any('stereo-44100.rate', 1, 2, 44100, 16, stereo)
floats = b''.join(struct.pack('<f', s / 32768.0) for s in pcm[:48000])
write_any('float-48000.rate', 3, 1, 48000, 32, floats)
PY
for input in "$out"/inputs/*.wav; do
  name=$(basename "$input" .wav)
  for sw in -E4 -E3 -E2 -E1 -E16 -E12 -E8; do
    "$program" "$sw" "$input" "$out/$name$sw" >/dev/null
    "$program" -D "$out/$name$sw" "$out/$name$sw.wav" >/dev/null
  done
done
for level in 1 2 3 4 5 6 7 8 9; do
  for sw in -E4 -E3 -E2 -E1; do
    for name in voice voice-24 voice-1bit short-3; do
      "$program" "$sw" "$out/inputs/$name.wav" "$out/$name$sw-search$level" --search=$level >/dev/null
    done
  done
done
for input in "$out"/inputs/*.rate "$out/inputs/voice.wav"; do
  name=$(basename "$input")
  for rate in 8000 7999 11025 16000 22050 48000; do
    "$program" -E16 "$input" "$out/$name-rate$rate" --rate=$rate >/dev/null
  done
  "$program" -E4 "$input" "$out/$name-rate8000-gain" --rate=8000 --gain=-3.5 >/dev/null
  "$program" -E2 "$input" "$out/$name-normalize" --normalize >/dev/null
done
rm -rf "$out/inputs"
