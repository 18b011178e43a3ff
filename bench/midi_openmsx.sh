#!/bin/bash
# The songs of openttd-openmsx rendered in one run by aura-play (on a bank
# converted from FluidR3_GM), by fluidsynth and by timidity (on the SF2):
# CPU time of each, and how the 50 ms RMS envelopes of the mono sums follow
# fluidsynth's. Usage: bench/midi_openmsx.sh AURA_PLAY [WORKDIR]
# Needs openttd-openmsx, fluid-soundfont-gm, fluidsynth, timidity,
# python3-mido and python3-numpy.
set -euo pipefail
player=$(realpath "$1")
work=${2:-$(mktemp -d)}
here=$(dirname "$(realpath "$0")")
songs=/usr/share/games/openttd/baseset/openmsx
sf2=/usr/share/sounds/sf2/FluidR3_GM.sf2
mkdir -p "$work/out"
cd "$work"
/usr/bin/python3 "$here/../tools/sf2-to-dls" "$sf2" bank.dls "$songs"/*.mid
echo "soundfont $sf2" > timidity.cfg
for f in "$songs"/*.mid; do
  n=$(basename "$f" .mid)
  /usr/bin/time -f "%U %S" -o "out/$n.aura.time" "$player" -q --dls bank.dls --polyphony 32 --rate 44100 \
    -o "out/$n.aura.wav" "$f"
  /usr/bin/time -f "%e" -o "out/$n.open.time" "$player" --dls bank.dls --info "$f" > /dev/null
  # With 32 voices fluidsynth never ends this one: it keeps its default.
  poly=(-o synth.polyphony=32)
  [ "$n" = the_hobo_redfarn ] && poly=()
  ( ulimit -f 2000000
    /usr/bin/time -f "%U %S" -o "out/$n.fluid.time" timeout 300 fluidsynth -ni -F "out/$n.fluid.wav" -r 44100 \
      -R 0 -C 0 "${poly[@]}" "$sf2" "$f" > /dev/null 2>&1 || echo "fluidsynth failed on $n"
    timeout 300 timidity -c timidity.cfg -Ow -o "out/$n.timi.wav" -s 44100 -EFreverb=0 -EFchorus=0 "$f" \
      > /dev/null 2>&1 || echo "timidity failed on $n" )
done
/usr/bin/python3 "$here/midi_envelopes.py" "$songs" out
