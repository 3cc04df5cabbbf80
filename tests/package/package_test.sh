#!/usr/bin/env bash
# package_test.sh BUILD_DIR VERSION APP_ID PRIVATELIB_FROM_BIN
# Installs the build tree into a temporary prefix, moves the installed tree elsewhere and checks
# it: every file in place, the programs run and convert to MP3 through the libgogo.so of that
# tree and to WMA through its libmivo_wma.so (which no program links), the launcher and the AppStream metadata validate, both manual pages render without
# warnings. Then builds the Debian package with CPack, checks its fields, unpacks it with
# dpkg-deb -x and runs it the same way, and runs lintian on it (errors fail, warnings are shown).
set -euo pipefail

build=$(cd "${1:?build dir}" && pwd)
version=${2:?version}
appid=${3:?application id}
privlib=${4:?private library folder relative to bin}

T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
fail() { printf 'package_test: FAIL: %s\n' "$*" >&2; exit 1; }
step() { printf '\n--- %s\n' "$*"; }

# No other copy of libgogo or libmivo_wma may help: no library path, no registry of our own.
unset LD_LIBRARY_PATH
export HOME=$T/home XDG_CONFIG_HOME=$T/home/.config LC_ALL=C.UTF-8
mkdir -p "$HOME"

# A one-second 44.1 kHz stereo tone and settings that ask for MP3 only.
mkdir -p "$T/in" "$T/conf"
sox -n -r 44100 -c 2 -b 16 "$T/in/tone.wav" synth 1 sine 440 || fail "sox could not make the input"
cp "$T/in/tone.wav" "$T/in/tone2.wav"
printf 'RecWav=0\nRecMp3=1\n' >"$T/conf/mivo.ini"
printf 'RecWav=0\nRecWma=1\n' >"$T/conf/wma.ini"

# The programs of a tree ($1: its bin folder) run, and convert through the tree's own library,
# two files at once: each in a process the program starts from its own file.
check_programs() {
    local bin=$1 out=$T/out-$2
    [[ $("$bin/mivo" --version) == "Mivo Version $version" ]] || fail "$bin/mivo --version"
    "$bin/mivo-convert" --help >/dev/null || fail "$bin/mivo-convert --help"
    for p in mivo mivo-convert; do
        readelf -d "$bin/$p" | grep -F "[\$ORIGIN/$privlib]" >/dev/null \
            || fail "$p: RUNPATH is not \$ORIGIN/$privlib: $(readelf -d "$bin/$p" | grep -i path)"
    done
    LD_DEBUG=libs "$bin/mivo-convert" --config "$T/conf/mivo.ini" -o "$out" -j 2 "$T/in/tone.wav" "$T/in/tone2.wav" \
        >"$T/convert-$2.log" 2>&1 || { cat "$T/convert-$2.log"; fail "$bin/mivo-convert to MP3"; }
    local lib name
    [[ $(grep -c 'calling init: .*libgogo\.so$' "$T/convert-$2.log") -ge 2 ]] \
        || fail "libgogo.so was not loaded for each file"
    while read -r lib; do
        [[ $(realpath "$lib") == $(realpath "$bin/$privlib/libgogo.so") ]] \
            || fail "libgogo.so was loaded from '$lib', not from the tree's own $privlib"
    done < <(sed -n 's/.*calling init: \(.*libgogo\.so\)$/\1/p' "$T/convert-$2.log")
    for name in tone tone2; do
        [[ $(ffprobe -v error -select_streams a:0 -show_entries stream=codec_name -of csv=p=0 "$out/$name.mp3") == mp3 ]] \
            || fail "$out/$name.mp3 is no MP3 file"
        [[ ! -e $out/$name.wav ]] || fail "a WAV result was made with RecWav=0"
    done
    [[ -z $(find "$out" -name '.mivo-convert-*') ]] || fail "a work folder was left in $out"
    # WMA through the tree's own module, loaded only when a WMA file is written.
    for p in mivo mivo-convert; do
        ! readelf -d "$bin/$p" | grep -E 'NEEDED.*(libav|libswresample)' || fail "$p links FFmpeg"
    done
    LD_DEBUG=libs "$bin/mivo-convert" --config "$T/conf/wma.ini" -o "$out" "$T/in/tone.wav" \
        >"$T/convert-wma-$2.log" 2>&1 || { cat "$T/convert-wma-$2.log"; fail "$bin/mivo-convert to WMA"; }
    lib=$(sed -n 's/.*calling init: \(.*libmivo_wma\.so\)$/\1/p' "$T/convert-wma-$2.log")
    [[ -n $lib && $(realpath "$lib") == $(realpath "$bin/$privlib/libmivo_wma.so") ]] \
        || fail "libmivo_wma.so was loaded from '$lib', not from the tree's own $privlib"
    [[ $(ffprobe -v error -select_streams a:0 -show_entries stream=codec_name -of csv=p=0 "$out/tone.wma") == wmav2 ]] \
        || fail "$out/tone.wma is no WMA file"
    echo "ok: $bin runs; two MP3 files made at once, each through $bin/$privlib/libgogo.so;" \
         "a WMA file through $bin/$privlib/libmivo_wma.so"
}

# The files of an installed tree ($1: the prefix).
check_tree() {
    local root=$1 want=$T/want got=$T/got
    {
        echo bin/mivo
        echo bin/mivo-convert
        echo "$(realpath -m --relative-to="$root" "$root/bin/$privlib")/libgogo.so"
        echo "$(realpath -m --relative-to="$root" "$root/bin/$privlib")/libmivo_wma.so"
        echo "share/applications/$appid.desktop"
        echo "share/metainfo/$appid.metainfo.xml"
        echo share/icons/hicolor/scalable/apps/mivo.svg
        for s in 16 24 32 48 64 128 256; do echo "share/icons/hicolor/${s}x$s/apps/mivo.png"; done
        echo share/man/man1/mivo.1.gz
        echo share/man/man1/mivo-convert.1.gz
        echo share/doc/mivo/README.md
        echo share/doc/mivo/changelog.gz
        echo share/doc/mivo/copyright
    } | sort >"$want"
    (cd "$root" && find . -type f -printf '%P\n' | sort) >"$got"
    diff -u "$want" "$got" || fail "the files of $root are not those expected (- missing, + extra)"
    for s in 16 256; do
        [[ $(identify -format '%wx%h' "$root/share/icons/hicolor/${s}x$s/apps/mivo.png") == "${s}x$s" ]] \
            || fail "the ${s}x$s icon has another size"
    done
    desktop-file-validate "$root/share/applications/$appid.desktop" || fail "desktop-file-validate"
    appstreamcli validate --no-net "$root/share/metainfo/$appid.metainfo.xml" || fail "appstreamcli validate"
    for page in mivo mivo-convert; do
        MANWIDTH=80 man --warnings -l "$root/share/man/man1/$page.1.gz" >"$T/$page.txt" 2>"$T/$page.err" \
            || fail "man -l $page"
        [[ ! -s $T/$page.err ]] || { cat "$T/$page.err"; fail "man --warnings: $page(1) has warnings"; }
        grep -q "EXIT STATUS" "$T/$page.txt" || fail "$page(1) rendered without its EXIT STATUS section"
    done
    echo "ok: $root holds every file; launcher, metadata and manual pages pass"
}

step "install into a temporary prefix with DESTDIR, then move the tree"
DESTDIR=$T/stage cmake --install "$build" --prefix /opt/mivo >"$T/install.log" \
    || { cat "$T/install.log"; fail "cmake --install"; }
mv "$T/stage/opt/mivo" "$T/moved"
check_tree "$T/moved"
check_programs "$T/moved/bin" installed

step "the Debian package"
(cd "$T" && cpack --config "$build/CPackConfig.cmake" -G DEB -B "$T/deb" >"$T/cpack.log" 2>&1) \
    || { cat "$T/cpack.log"; fail "cpack -G DEB"; }
deb=$(echo "$T"/deb/mivo_"$version"_*.deb)
[[ -f $deb && ${deb##*/} == "mivo_${version}_$(dpkg --print-architecture).deb" ]] || fail "no package mivo_${version}_<arch>.deb"
dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || fail "Depends lacks Qt: $(dpkg-deb -f "$deb" Depends)"
dpkg-deb -f "$deb" Depends | grep -q 'libmp3lame0' || fail "Depends lacks LAME (libgogo's): $(dpkg-deb -f "$deb" Depends)"
dpkg-deb -f "$deb" Depends | grep -q 'libavcodec' || fail "Depends lacks FFmpeg (libmivo_wma's): $(dpkg-deb -f "$deb" Depends)"
dpkg-deb -f "$deb" Depends | grep -q 'fonts-japanese-gothic' || fail "Depends lacks a Japanese font"
dpkg-deb -f "$deb" Recommends | grep -q '^pulseaudio | pipewire-pulse' || fail "Recommends: $(dpkg-deb -f "$deb" Recommends)"
dpkg-deb -x "$deb" "$T/root"
check_tree "$T/root/usr"
check_programs "$T/root/usr/bin" deb

step "lintian"
lrc=0
lintian --fail-on error --tag-display-limit 0 "$deb" >"$T/lintian.log" 2>&1 || lrc=$?
cat "$T/lintian.log"
((lrc != 1)) || fail "lintian reports errors"
((lrc == 0)) || fail "lintian did not finish (exit status $lrc)"
echo "ok: ${deb##*/} ($(dpkg-deb -f "$deb" Installed-Size) KiB installed); lintian reports no errors"
