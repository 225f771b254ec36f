#!/bin/sh
# The audio library's test media, encoded by FFmpeg from generated tones (nothing is
# copied from any recording). The one list of them: the Linux tests run this for each
# file they need; the Windows tests, which cannot run ffmpeg under Wine, read the folder
# it made beforehand.
#   make_media.sh DIR [NAME]    makes NAME (default: every file) in DIR unless it is there
set -eu
dir=$1
only=${2:-}
mkdir -p "$dir"

tone='aevalsrc=0.5*sin(2*PI*440*t)|0.5*sin(2*PI*440*t):s=44100'
level='if(lt(mod(t\,4)\,2)\,0.5\,0.1)'
steps="aevalsrc=$level*sin(2*PI*440*t)|$level*sin(2*PI*440*t):s=44100"
mp3='-c:a libmp3lame -b:a 128k -write_xing 0 -id3v2_version 0 -f mp3'

encode() {
  name=$1 source=$2
  shift 2
  [ -z "$only" ] || [ "$only" = "$name" ] || return 0
  [ -s "$dir/$name" ] && return 0
  # Made under a private name and renamed, so that parallel tests never read half a file.
  tmp="$dir/$name.$$"
  ffmpeg -nostdin -v error -y -f lavfi -i "$source" "$@" "$tmp"
  mv -f "$tmp" "$dir/$name"
}

# 440 Hz, amplitude 0.5, stereo, 44100 Hz, 128 kbit/s.
encode tone.mp3 "$tone:d=10" $mp3
# The tone at 0.5 for 2 s, then 0.1 for 2 s, repeated.
encode steps.mp3 "$steps:d=8" $mp3
encode tone.aac "$tone:d=10" -c:a aac -b:a 128k -f adts
# 5.1: the tone on the front left only.
encode surround.aac 'aevalsrc=0.5*sin(2*PI*440*t)|0|0|0|0|0:c=5.1:s=44100:d=10' -c:a aac -b:a 256k -f adts
encode tone.opus "$tone:d=20" -c:a libopus -b:a 96k -f ogg
