#!/usr/bin/env bash
# Measures the browse commands on a large image and prints a Markdown
# section: listing a disk through the FUSE view (cold and warm page cache),
# reading a large recording through the view against reading the same bytes
# of the image file, and export throughput (raw and MP4).  Needs root (to
# drop the page cache), /dev/fuse with fusermount3, and ffmpeg.
#
#   bench/browse/run.sh BUILD_DIR [BLOCKS] [BIG_MIB] [REPEATS]
set -euo pipefail
build=${1:?build directory}
blocks=${2:-16000}
big_mib=${3:-512}
repeats=${4:-3}
zrfs=$build/tools/zrfs
make_image=$build/bench/zrfs_browse_image

work=$(mktemp -d /var/tmp/zrfs-browse-XXXXXX)
cleanup() {
  mountpoint -q "$work/mnt" 2>/dev/null && "$zrfs" umount "$work/mnt" || true
  rm -rf "$work"
}
trap cleanup EXIT

drop_caches() { sync; echo 3 >/proc/sys/vm/drop_caches; }
now() { date +%s.%N; }
seconds() { python3 -c "print(f'{$2 - $1:.3f}')"; }
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
spread() { printf '%s\n' "$@" | sort -g | awk 'NR==1{lo=$1} {hi=$1} END {printf "%s-%s", lo, hi}'; }

"$zrfs" mkimage "$work/disk.img" --blocks "$((blocks + 1))" >/dev/null
"$zrfs" format "$work/disk.img" >/dev/null
"$make_image" "$work/disk.img" "$blocks" "$big_mib"
big=$("$zrfs" ls "$work/disk.img" 0 --json | python3 -c 'import json,sys; print(json.load(sys.stdin)["files"][0]["name"])')

mkdir "$work/mnt"
"$zrfs" mount "$work/disk.img" "$work/mnt" --utc
cold=() warm=()
for ((r = 0; r < repeats; r++)); do
  drop_caches
  sleep 1.1  # the view lists the disk again after a second
  t0=$(now); files=$(find "$work/mnt" -type f | wc -l); t1=$(now)
  cold+=("$(seconds "$t0" "$t1")")
  sleep 1.1
  t0=$(now); find "$work/mnt" -type f >/dev/null; t1=$(now)
  warm+=("$(seconds "$t0" "$t1")")
done

# The recording's bytes lie in block 0 behind its 2 MiB header area.
skip=$((0x41100000 + 0x200000))
view_mbs=() image_mbs=()
for ((r = 0; r < repeats; r++)); do
  drop_caches
  t0=$(now); cat "$work/mnt/all/$big" >/dev/null; t1=$(now)
  view_mbs+=("$(python3 -c "print(f'{$big_mib / ($t1 - $t0):.0f}')")")
  drop_caches
  t0=$(now)
  dd if="$work/disk.img" of=/dev/null bs=1M count="$big_mib" iflag=skip_bytes skip="$skip" status=none
  t1=$(now)
  image_mbs+=("$(python3 -c "print(f'{$big_mib / ($t1 - $t0):.0f}')")")
done
"$zrfs" umount "$work/mnt"

# Export: a 720p H.264 clip of two minutes recorded into the image.
ffmpeg -loglevel error -f lavfi -i testsrc2=size=1280x720:rate=25 -t 120 -c:v libx264 \
  -preset ultrafast -f h264 "$work/clip.h264"
clip_mib=$(python3 -c "import os; print(f'{os.path.getsize(\"$work/clip.h264\") / 2**20:.1f}')")
clip=$("$zrfs" import "$work/disk.img" "$work/clip.h264" --channel 20 --ext h264)
raw_mbs=() mp4_mbs=()
for ((r = 0; r < repeats; r++)); do
  rm -f "$work/out.h264" "$work/out.mp4"
  drop_caches
  t0=$(now); "$zrfs" export "$work/disk.img" "$clip" "$work/out.h264" 2>/dev/null; t1=$(now)
  raw_mbs+=("$(python3 -c "print(f'{$clip_mib / ($t1 - $t0):.0f}')")")
  drop_caches
  t0=$(now); "$zrfs" export "$work/disk.img" "$clip" "$work/out.mp4" --format mp4 2>/dev/null; t1=$(now)
  mp4_mbs+=("$(python3 -c "print(f'{$clip_mib / ($t1 - $t0):.0f}')")")
done
frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$work/out.mp4")

ratio=$(python3 -c "print(f'{$(median "${view_mbs[@]}") / $(median "${image_mbs[@]}"):.2f}')")
cat <<REPORT
## Browsing and exporting (zrfs mount, zrfs export)

$(date -u '+%Y-%m-%d %H:%M UTC'), image of $blocks used blocks (one recording each, $files files in the
view), $repeats runs per figure: median (min-max).  Page cache dropped before each cold run.

| figure | result |
|---|---|
| list every file of the view (find), cold | $(median "${cold[@]}") s ($(spread "${cold[@]}")) |
| list every file of the view, warm | $(median "${warm[@]}") s ($(spread "${warm[@]}")) |
| read a ${big_mib} MiB recording through the view | $(median "${view_mbs[@]}") MB/s ($(spread "${view_mbs[@]}")) |
| read the same bytes of the image file | $(median "${image_mbs[@]}") MB/s ($(spread "${image_mbs[@]}")) |
| view / image file | $ratio |
| export raw (${clip_mib} MiB H.264, 120 s of 720p) | $(median "${raw_mbs[@]}") MB/s ($(spread "${raw_mbs[@]}")) |
| export MP4 (remux, $frames frames) | $(median "${mp4_mbs[@]}") MB/s ($(spread "${mp4_mbs[@]}")) |
REPORT
