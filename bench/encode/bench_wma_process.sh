#!/usr/bin/env bash
# Whole-process timings with hyperfine, in one run: mivo-convert making a WMA
# file at the default profile (44.1 kHz stereo, 96 kbit/s) against
#   ffmpeg -i in.wav -c:a wmav2 -b:a 96k out.wma
# on a 10-minute 44.1 kHz stereo track. mivo-convert's time includes its
# checked copy of the input into a track file, which ffmpeg does not do.
#
#   bench_wma_process [--minutes=N]     (other arguments are ignored)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
minutes=10
for arg in "$@"; do
    case $arg in --minutes=*) minutes=${arg#--minutes=} ;; esac
done
for tool in hyperfine ffmpeg; do
    command -v "$tool" >/dev/null || { echo "bench_wma_process: $tool is not installed" >&2; exit 1; }
done
[[ -x $here/mivo-convert ]] || { echo "bench_wma_process: no $here/mivo-convert" >&2; exit 1; }

dir=$(mktemp -d "${TMPDIR:-/tmp}/mivo-bench-wma-process-XXXXXX")
trap 'rm -rf "$dir"' EXIT

# Music-like material: partials a little apart in the two channels, and noise.
ffmpeg -v error -f lavfi -t $((minutes * 60)) -i \
    "aevalsrc='0.3*sin(2*PI*220*t)+0.1*sin(2*PI*660*t+1)+0.04*(random(0)-0.5)|0.3*sin(2*PI*221*t)+0.1*sin(2*PI*663*t)+0.04*(random(1)-0.5)':s=44100" \
    -c:a pcm_s16le "$dir/in.wav"
printf '%s\n' RecWav=0 RecMp3=0 RecWma=1 m_WmaSetting.nProfileIndex=0 m_WmaSetting.bUseWMA8=1 \
    m_WmaSetting.bAddIndex=0 > "$dir/mivo.ini"
mkdir "$dir/out"

echo "bench_wma_process: ${minutes} minutes of 44.1 kHz stereo"
hyperfine -N -w 1 -r 5 \
    -n mivo-convert "$here/mivo-convert --config $dir/mivo.ini -o $dir/out $dir/in.wav" \
    -n ffmpeg "ffmpeg -v error -y -i $dir/in.wav -c:a wmav2 -b:a 96k $dir/out/ffmpeg.wma"
