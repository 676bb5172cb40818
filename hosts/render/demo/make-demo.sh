#!/usr/bin/env bash
# Regenerates demo.flac, the built-in demo input of orvane-render:
#
#   hosts/render/demo/make-demo.sh
#
# espeak-ng speaks the phrase, sox brings it to 44100 Hz, and make-demo.cpp
# adds plucked strings, mixes, normalises to -3 dBFS peak and writes 16-bit
# FLAC. Needs espeak-ng, sox, g++ and libsndfile's headers. The build never
# runs this: the resulting demo.flac is committed beside it.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

phrase="Orvane. Grains, echoes and a little nausea."
espeak-ng -v en-gb -s 140 -p 45 -w "$work/speech-22k.wav" "$phrase"
# espeak-ng speaks at 22050 Hz. Float output keeps sox from dithering, and
# -R fixes its random state, so the same input gives the same file.
sox -R "$work/speech-22k.wav" -e floating-point -b 32 "$work/speech.wav" rate -v 44100

g++ -std=c++23 -O2 -Wall -Wextra -Wpedantic -Werror -ffp-contract=off \
  "$here/make-demo.cpp" -o "$work/make-demo" $(pkg-config --cflags --libs sndfile)
"$work/make-demo" "$work/speech.wav" "$here/demo.flac"
