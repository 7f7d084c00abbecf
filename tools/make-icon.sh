#!/bin/bash
# Regenerates resources/vorlasta.ico from resources/vorlasta.svg.
# The .ico is committed, so a normal build needs none of these tools.
#
# Every image is stored as a PNG (not BMP) because PNG keeps the icon small
# enough for the size budget of both programs.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
svg="$root/resources/vorlasta.svg"
ico="$root/resources/vorlasta.ico"
sizes=(16 24 32 48 64 128 256)

# Installs a missing Debian package, but only when we may (root + apt-get).
try_install() {
    local pkg="$1"
    if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$pkg" >/dev/null ||
            { apt-get update -q >/dev/null &&
              DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$pkg" >/dev/null; } ||
            return 1
    else
        return 1
    fi
}

command -v rsvg-convert >/dev/null || try_install librsvg2-bin ||
    { echo "make-icon: rsvg-convert missing (apt-get install librsvg2-bin)" >&2; exit 1; }
command -v icotool >/dev/null || try_install icoutils ||
    { echo "make-icon: icotool missing (apt-get install icoutils)" >&2; exit 1; }
# optipng (filter choice) and advpng (zopfli deflate) only shrink the
# result; without them the icon is still valid, just larger.
have_optipng=1
command -v optipng >/dev/null || try_install optipng || have_optipng=0
have_advpng=1
command -v advpng >/dev/null || try_install advancecomp || have_advpng=0
if [[ $have_optipng -eq 0 ]]; then
    echo "make-icon: optipng not available, PNGs stay larger" >&2
fi
if [[ $have_advpng -eq 0 ]]; then
    echo "make-icon: advpng not available, PNGs stay larger" >&2
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

pngs=()
for s in "${sizes[@]}"; do
    png="$work/vorlasta-$s.png"
    rsvg-convert --width="$s" --height="$s" --format=png --output="$png" "$svg"
    if [[ $have_optipng -eq 1 ]]; then
        # -nb/-nc/-np keep 8-bit RGBA so every entry stays a 32 bpp image.
        optipng -quiet -o7 -strip all -nb -nc -np "$png"
    fi
    if [[ $have_advpng -eq 1 ]]; then
        # Recompresses IDAT only; colour type and filters stay as they are.
        advpng --quiet --recompress --shrink-insane --iter=30 "$png"
    fi
    # IHDR bit depth (byte 24) 8 and colour type (byte 25) 6 = 8-bit RGBA.
    hdr="$(od -An -tu1 -j24 -N2 "$png" | tr -s ' ')"
    if [[ "$hdr" != " 8 6" ]]; then
        echo "make-icon: $s px PNG is not 8-bit RGBA (IHDR:$hdr)" >&2
        exit 1
    fi
    pngs+=(-r "$png")
done

icotool --create --output="$work/vorlasta.ico" "${pngs[@]}"
mv "$work/vorlasta.ico" "$ico"

total=0
for s in "${sizes[@]}"; do
    n=$(stat -c %s "$work/vorlasta-$s.png")
    total=$((total + n))
    printf '%4s px: %6d bytes\n' "$s" "$n"
done
printf 'images: %6d bytes\n' "$total"
printf '.ico:   %6d bytes  %s\n' "$(stat -c %s "$ico")" "$ico"
