#!/usr/bin/env python3
"""Per song: correlation of the 50 ms RMS envelopes of the mono sums (L + R)
of aura-play's and timidity's renders with fluidsynth's, the extra length
over mido's in ticks at the last tempo, CPU times and aura-play's open time.
Usage: midi_envelopes.py SONG_DIR OUT_DIR"""
import glob
import os
import statistics
import sys
import wave

import mido
import numpy as np


def envelope(path):
    with wave.open(path) as w:
        frames, channels, width, rate = w.getnframes(), w.getnchannels(), w.getsampwidth(), w.getframerate()
        data = np.frombuffer(w.readframes(frames), dtype='<i2' if width == 2 else '<f4').astype(np.float64)
    if width == 2:
        data /= 32768
    mono = data.reshape(-1, channels).sum(axis=1)
    hop = int(rate * 0.05)
    count = len(mono) // hop
    return np.sqrt((mono[:count * hop].reshape(count, hop) ** 2).mean(axis=1)), frames, rate


def correlation(a, b):
    k = min(len(a), len(b))
    return float(np.corrcoef(a[:k], b[:k])[0, 1])


def seconds(path, fields=2):
    try:
        return sum(map(float, open(path).read().split()[-fields:]))
    except (OSError, ValueError):
        return float('nan')


def main(songs, out):
    rows = []
    for f in sorted(glob.glob(os.path.join(songs, '*.mid'))):
        n = os.path.basename(f)[:-4]
        m = mido.MidiFile(f)
        tempo = ([e.tempo for e in mido.merge_tracks(m.tracks) if e.type == 'set_tempo'] or [500000])[-1]
        aura, frames, rate = envelope(f'{out}/{n}.aura.wav')
        fluid = envelope(f'{out}/{n}.fluid.wav')[0]
        timi = envelope(f'{out}/{n}.timi.wav')[0] if os.path.exists(f'{out}/{n}.timi.wav') else None
        row = (n, (frames / rate - m.length) / (tempo / 1e6 / m.ticks_per_beat), correlation(aura, fluid),
               correlation(timi, fluid) if timi is not None else float('nan'),
               seconds(f'{out}/{n}.aura.time'), seconds(f'{out}/{n}.fluid.time'), seconds(f'{out}/{n}.open.time', 1))
        rows.append(row)
        print('%-24s extra %5.2f ticks  aura %6.3f  timidity %6.3f  cpu aura %5.2f s  fluidsynth %5.2f s  '
              'open+info %4.2f s' % row)
    print('median correlation: aura %.3f, timidity %.3f' % (statistics.median(r[2] for r in rows),
                                                            statistics.median(r[3] for r in rows)))
    print('cpu total: aura %.2f s, fluidsynth %.2f s' % (sum(r[4] for r in rows), sum(r[5] for r in rows)))


if __name__ == '__main__':
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
