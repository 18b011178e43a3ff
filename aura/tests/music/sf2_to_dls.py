#!/usr/bin/env python3
"""Turns the presets that some MIDI files use out of a SoundFont 2 bank into a
DLS level 1 bank: samples with their loops, key ranges, root key and tuning,
attenuation, and the volume envelope as EG1 connections.

Usage: sf2_to_dls.py BANK.sf2 OUT.dls SONG.mid...
Only the standard library: the MIDI files are scanned for their program and
bank changes here, too.
"""
import struct
import sys

GEN_START_OFS, GEN_END_OFS, GEN_STARTLOOP_OFS, GEN_ENDLOOP_OFS = 0, 1, 2, 3
GEN_START_COARSE, GEN_END_COARSE, GEN_STARTLOOP_COARSE, GEN_ENDLOOP_COARSE = 4, 12, 45, 50
GEN_ATTACK, GEN_HOLD, GEN_DECAY, GEN_SUSTAIN, GEN_RELEASE = 34, 35, 36, 37, 38
GEN_INSTRUMENT, GEN_KEYRANGE, GEN_ATTENUATION = 41, 43, 48
GEN_COARSE, GEN_FINE, GEN_SAMPLE, GEN_MODES, GEN_ROOTKEY = 51, 52, 53, 54, 58
ADDITIVE = {GEN_ATTACK, GEN_HOLD, GEN_DECAY, GEN_SUSTAIN, GEN_RELEASE, GEN_ATTENUATION, GEN_COARSE, GEN_FINE}
DEFAULTS = {GEN_ATTACK: -12000, GEN_HOLD: -12000, GEN_DECAY: -12000, GEN_SUSTAIN: 0, GEN_RELEASE: -12000,
            GEN_ATTENUATION: 0, GEN_COARSE: 0, GEN_FINE: 0, GEN_MODES: 0, GEN_ROOTKEY: -1}


def chunks(data, start, end):
    while start + 8 <= end:
        cid, size = struct.unpack_from('<4sI', data, start)
        yield cid, start + 8, size
        start += 8 + size + (size & 1)


def read_sf2(path):
    with open(path, 'rb') as f:
        data = f.read()
    assert data[:4] == b'RIFF' and data[8:12] == b'sfbk', 'not a SoundFont 2 file'
    parts = {}
    for cid, at, size in chunks(data, 12, len(data)):
        if cid == b'LIST':
            kind = data[at:at + 4]
            for sub, sat, ssize in chunks(data, at + 4, at + size):
                parts[(kind, sub)] = data[sat:sat + ssize]
    smpl = parts[(b'sdta', b'smpl')]

    def records(name, fmt):
        raw = parts[(b'pdta', name)]
        size = struct.calcsize(fmt)
        return [struct.unpack_from(fmt, raw, i) for i in range(0, len(raw) - size + 1, size)]

    return (smpl, records(b'phdr', '<20sHHHIII'), records(b'pbag', '<HH'), records(b'pgen', '<HH'),
            records(b'inst', '<20sH'), records(b'ibag', '<HH'), records(b'igen', '<HH'),
            records(b'shdr', '<20sIIIIIBbHH'))


def zones(bags, gens, first, last):
    """The generator maps of bags [first, last): the global zone's values
    come first in every other zone."""
    out = []
    for b in range(first, last):
        g0, g1 = bags[b][0], bags[b + 1][0]
        out.append({op: amount for op, amount in gens[g0:g1]})
    return out


def signed(v):
    return v - 0x10000 if v >= 0x8000 else v


def key_range(gen):
    v = gen.get(GEN_KEYRANGE, 0x7F00)
    return v & 0xFF, v >> 8


def song_presets(paths):
    """(bank, program) pairs the songs select; channel 10 is bank 128."""
    used = set()
    for path in paths:
        with open(path, 'rb') as f:
            data = f.read()
        at = 14
        while at + 8 <= len(data):
            cid, size = struct.unpack_from('>4sI', data, at)
            if cid == b'MTrk':
                used |= scan_track(data[at + 8:at + 8 + size])
            at += 8 + size
    return used


def scan_track(t):
    used, banks, programs = set(), [0] * 16, [0] * 16
    for ch in range(16):
        used.add((128 if ch == 9 else 0, 0))
    i, status = 0, 0

    def varlen():
        nonlocal i
        v = 0
        for _ in range(4):
            if i >= len(t):
                return v
            b = t[i]
            i += 1
            v = (v << 7) | (b & 0x7F)
            if not b & 0x80:
                break
        return v

    while i < len(t):
        varlen()
        if i >= len(t):
            break
        b = t[i]
        if b >= 0x80:
            status = b
            i += 1
        kind, ch = status & 0xF0, status & 0x0F
        if status == 0xFF:
            i += 1
            length = varlen()
            i += length
        elif status in (0xF0, 0xF7):
            length = varlen()
            i += length
        elif kind in (0xC0, 0xD0):
            if kind == 0xC0 and i < len(t):
                programs[ch] = t[i]
                used.add((128 if ch == 9 else banks[ch], programs[ch]))
            i += 1
        elif kind == 0xB0 and i + 1 < len(t):
            if t[i] == 0 and ch != 9:
                banks[ch] = t[i + 1]
            i += 2
        elif 0x80 <= status < 0xF0:
            i += 2
        else:
            break
    return used


def le(fmt, *values):
    return struct.pack('<' + fmt, *values)


def chunk(cid, body):
    return cid + le('I', len(body)) + body + (b'\0' if len(body) & 1 else b'')


def lst(kind, children):
    return chunk(b'LIST', kind + b''.join(children))


def wsmp(unity, fine, attenuation, loop=None):
    body = le('IHhiII', 20, unity, fine, attenuation, 0, 1 if loop else 0)
    if loop:
        body += le('IIII', 16, 0, loop[0], loop[1])
    return chunk(b'wsmp', body)


def connection(destination, scale):
    return le('HHHHi', 0, 0, destination, 0, int(scale))


def convert(sf2, out, songs):
    smpl, phdr, pbag, pgen, inst, ibag, igen, shdr = read_sf2(sf2)
    wanted = song_presets(songs)
    waves, wave_index, instruments = [], {}, []
    for p in range(len(phdr) - 1):
        name, program, bank, bag0 = phdr[p][:4]
        if (bank, program) not in wanted:
            continue
        regions = []
        pz = zones(pbag, pgen, bag0, phdr[p + 1][3])
        pglobal = pz[0] if pz and GEN_INSTRUMENT not in pz[0] else {}
        for pzone in pz:
            if GEN_INSTRUMENT not in pzone:
                continue
            pgen_all = {**pglobal, **pzone}
            i = pzone[GEN_INSTRUMENT]
            iz = zones(ibag, igen, inst[i][1], inst[i + 1][1])
            iglobal = iz[0] if iz and GEN_SAMPLE not in iz[0] else {}
            for izone in iz:
                if GEN_SAMPLE not in izone:
                    continue
                gen = {**DEFAULTS, **iglobal}
                gen.update(izone)
                # Preset values add to the instrument's.
                for op in ADDITIVE:
                    gen[op] = signed(gen[op] & 0xFFFF) + (signed(pgen_all[op]) if op in pgen_all else 0)
                lo, hi = key_range(gen)
                plo, phi = key_range(pgen_all)
                lo, hi = max(lo, plo), min(hi, phi)
                if lo > hi:
                    continue
                s = izone[GEN_SAMPLE]
                sname, start, end, sloop, eloop, rate, pitch, correction = shdr[s][:8]
                start += signed(gen.get(GEN_START_OFS, 0)) + 32768 * signed(gen.get(GEN_START_COARSE, 0))
                end += signed(gen.get(GEN_END_OFS, 0)) + 32768 * signed(gen.get(GEN_END_COARSE, 0))
                sloop += signed(gen.get(GEN_STARTLOOP_OFS, 0)) + 32768 * signed(gen.get(GEN_STARTLOOP_COARSE, 0))
                eloop += signed(gen.get(GEN_ENDLOOP_OFS, 0)) + 32768 * signed(gen.get(GEN_ENDLOOP_COARSE, 0))
                looped = (gen[GEN_MODES] & 1) != 0 and start <= sloop < eloop <= end
                key = (start, end, sloop if looped else -1, eloop if looped else -1, rate)
                if key not in wave_index:
                    wave_index[key] = len(waves)
                    waves.append((smpl[2 * start:2 * end], rate, (sloop - start, eloop - sloop) if looped else None))
                root = gen[GEN_ROOTKEY] if gen[GEN_ROOTKEY] >= 0 else pitch
                fine = gen[GEN_COARSE] * 100 + gen[GEN_FINE] + correction
                # The usual reading of SoundFont attenuation: 0.4 of its centibels.
                attenuation = -int(max(gen[GEN_ATTENUATION], 0) * 0.4 * 65536)
                sustain_db = max(gen[GEN_SUSTAIN], 0) / 10.0
                sustain = max(0.0, 1.0 - sustain_db / 96.0) * 65536000
                art = [connection(0x0206, gen[GEN_ATTACK] * 65536),
                       connection(0x0207, gen[GEN_DECAY] * 65536),
                       connection(0x0209, gen[GEN_RELEASE] * 65536), connection(0x020A, sustain)]
                regions.append(lst(b'rgn ', [
                    chunk(b'rgnh', le('HHHHHH', lo, hi, 0, 127, 0, 0)),
                    wsmp(root & 0x7F, max(-32768, min(32767, fine)), attenuation),
                    chunk(b'wlnk', le('HHII', 0, 0, 1, wave_index[key])),
                    lst(b'lart', [chunk(b'art1', le('II', 8, len(art)) + b''.join(art))])]))
        dls_bank = 0x80000000 if bank == 128 else bank << 8
        instruments.append(lst(b'ins ', [chunk(b'insh', le('III', len(regions), dls_bank, program)),
                                         lst(b'lrgn', regions)]))
    pool = []
    for data, rate, loop in waves:
        pool.append(lst(b'wave', [chunk(b'fmt ', le('HHIIHH', 1, 1, rate, rate * 2, 2, 16)),
                                  wsmp(60, 0, 0, loop), chunk(b'data', data)]))
    table = le('II', 8, len(pool)) + b''.join(le('I', 0) for _ in pool)
    body = b'DLS ' + chunk(b'colh', le('I', len(instruments))) + lst(b'lins', instruments) + \
        chunk(b'ptbl', table) + lst(b'wvpl', pool)
    with open(out, 'wb') as f:
        f.write(chunk(b'RIFF', body))
    return len(instruments), len(pool)


if __name__ == '__main__':
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    count, wave_count = convert(sys.argv[1], sys.argv[2], sys.argv[3:])
    print(f'{count} instruments, {wave_count} waves')
