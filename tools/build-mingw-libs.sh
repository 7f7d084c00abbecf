#!/usr/bin/env bash
# Cross-builds the libraries of the Windows packer into build/mingw-libs: static
# libarchive, bzip2, liblzma and SQLite from Debian's source packages (the code
# of the libraries the Linux build links), and zlib from libz-mingw-w64-dev. Does
# nothing while the prefix holds a build of the same versions by this script.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
prefix=$root/build/mingw-libs
work=$root/build/mingw-libs-src
log=$root/build/mingw-libs.log
host=x86_64-w64-mingw32
packages=(libarchive bzip2 xz-utils sqlite3)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

# Newest version of each source package in apt's lists, into newest[name].
pick_versions() {
  declare -gA newest=()
  local p v
  while read -r p v; do
    if [ -z "${newest[$p]:-}" ] || dpkg --compare-versions "$v" gt "${newest[$p]}"; then newest[$p]=$v; fi
  done < <(apt-cache showsrc --only-source "${packages[@]}" 2>/dev/null |
           awk '/^Package:/ { p = $2 } /^Version:/ { print p, $2 }')
  for p in "${packages[@]}"; do [ -n "${newest[$p]:-}" ] || return 1; done
}

# apt-get source needs a deb-src entry; ours sits beside Debian's deb822 list.
if ! pick_versions; then
  list=/etc/apt/sources.list.d/debian-src.sources
  if [ ! -f "$list" ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | $sudo tee "$list" >/dev/null
  fi
  $sudo apt-get update -qq
  pick_versions || { echo "build-mingw-libs: apt knows no source of ${packages[*]}" >&2; exit 1; }
fi
zlib_version=$(dpkg-query -W -f='${Version}' libz-mingw-w64-dev)
stamp="zlib=$zlib_version"
for p in "${packages[@]}"; do stamp+=" $p=${newest[$p]}"; done
stamp+=" recipe=$(sha1sum < "$0" | cut -c1-12)"
[ -f "$prefix/versions" ] && [ "$(cat "$prefix/versions")" = "$stamp" ] && exit 0

started=$SECONDS
rm -rf "$prefix" "$work"
mkdir -p "$prefix/include" "$prefix/lib" "$work"
: > "$log"
echo "Cross-building the Windows packer's libraries into build/mingw-libs (log: build/mingw-libs.log)"

# Runs a command with its output in the log; on failure shows the log's tail.
run() {
  echo "+ $*" >> "$log"
  if ! "$@" >> "$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "build-mingw-libs: failed: $* (full log: build/mingw-libs.log)" >&2
    exit 1
  fi
}
step_started=$SECONDS
done_line() { printf '  %-11s %-22s %4d s\n' "$1" "$2" $((SECONDS - step_started)); step_started=$SECONDS; }

cd "$work"
wanted=()
for p in "${packages[@]}"; do wanted+=("$p=${newest[$p]}"); done
run apt-get source -q --only-source "${wanted[@]}"
done_line sources "apt-get source"

cp /usr/$host/include/zlib.h /usr/$host/include/zconf.h "$prefix/include/"
cp /usr/$host/lib/libz.a "$prefix/lib/"
done_line zlib "$zlib_version"

# bzip2: the library's seven files, as its Makefile compiles them. BZ_EXPORT makes
# bzlib.h declare plain functions on Windows, not pointers to be loaded from a DLL.
cd "$work"/bzip2-*/
bz_objects=()
for f in blocksort huffman crctable randtable compress decompress bzlib; do
  run $host-gcc -O2 -D_FILE_OFFSET_BITS=64 -DBZ_EXPORT -c $f.c -o $f.o
  bz_objects+=($f.o)
done
run $host-ar rcs "$prefix/lib/libbz2.a" "${bz_objects[@]}"
cp bzlib.h "$prefix/include/"
done_line bzip2 "${newest[bzip2]}"

cd "$work"/xz-utils-*/
mkdir -p build && cd build
run ../configure --host=$host --prefix="$prefix" --enable-static --disable-shared \
  --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo --disable-lzma-links \
  --disable-scripts --disable-doc --disable-nls --disable-dependency-tracking CFLAGS=-O2
run make -j"$(nproc)" -C src/liblzma install
rm -rf "$prefix/lib/liblzma.la" "$prefix/lib/pkgconfig"
done_line liblzma "${newest[xz-utils]}"

# libarchive: the static library only, with zlib, bzip2 and liblzma and nothing else.
# No crypto library: encrypted entries are refused before libarchive reads them.
cd "$work"
off=()
for o in MBEDTLS NETTLE OPENSSL LIBB2 LZ4 LZO ZSTD LIBXML2 EXPAT PCREPOSIX LIBGCC CNG \
         TAR CPIO CAT XATTR ACL ICONV TEST INSTALL; do off+=(-DENABLE_$o=OFF); done
# ZLIB_WINAPI is answered beforehand: its check runs a program, which crashes CMake
# 3.25.1 when cross-compiling, and Debian's zlib is not built with it.
run cmake -G Ninja -S libarchive-*/ -B libarchive-build \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DWINDOWS_VERSION=WIN7 "${off[@]}" -DPOSIX_REGEX_LIB=NONE \
  -DENABLE_ZLIB=ON -DENABLE_BZip2=ON -DENABLE_LZMA=ON \
  -DCMAKE_C_FLAGS="-DLZMA_API_STATIC -DBZ_EXPORT" \
  -DZLIB_INCLUDE_DIR="$prefix/include" -DZLIB_LIBRARY="$prefix/lib/libz.a" \
  -DZLIB_WINAPI=OFF -DZLIB_WINAPI_WITH_LIB="$prefix/lib/libz.a" \
  -DBZIP2_INCLUDE_DIR="$prefix/include" -DBZIP2_LIBRARY_RELEASE="$prefix/lib/libbz2.a" \
  -DLIBLZMA_INCLUDE_DIR="$prefix/include" -DLIBLZMA_LIBRARY_RELEASE="$prefix/lib/liblzma.a" \
  -DLIBLZMA_LIBRARY="$prefix/lib/liblzma.a"
run cmake --build libarchive-build --target archive_static
cp libarchive-build/libarchive/libarchive_static.a "$prefix/lib/libarchive.a"
cp libarchive-*/libarchive/archive.h libarchive-*/libarchive/archive_entry.h "$prefix/include/"
done_line libarchive "${newest[libarchive]}"

# SQLite: its own build makes the one-file amalgamation (natively, with tclsh),
# which is then compiled for Windows; no extensions are loaded from DLLs.
cd "$work"/sqlite3-*/
mkdir -p build && cd build
run ../configure --disable-tcl --disable-readline
run make sqlite3.c
run $host-gcc -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -c sqlite3.c -o sqlite3.o
run $host-ar rcs "$prefix/lib/libsqlite3.a" sqlite3.o
cp sqlite3.h "$prefix/include/"
done_line sqlite "${newest[sqlite3]}"

echo "$stamp" > "$prefix/versions"
echo "  done in $((SECONDS - started)) s"
