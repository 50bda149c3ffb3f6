#!/usr/bin/env bash
# Checks what users get.
#   scripts/package-test.sh --install-tree BUILD_DIR   "cmake --install" of a build into a
#       temporary prefix: files, icons, desktop file, metainfo, and the program starts (CTest).
#   scripts/package-test.sh [BUILD_DIR]   builds the .deb (Release, default build-package) and
#       checks its files and dependencies; as root it also installs it, starts it from the menu
#       entry's command and removes it with whatever it pulled in.
# Needs dpkg-dev, desktop-file-utils and appstream (scripts/setup.sh).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
app_id=io.github.fernquill.Fernquill
# libsecret is loaded by QtKeychain at run time, so dpkg-shlibdeps cannot find it by itself.
needed_libs=(libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libgmime-3.0-0 libsecret-1-0)
fail() { echo "package-test: FAIL: $*" >&2 && exit 1; }
work=$(mktemp -d)
installed=()
cleanup() {
    ((${#installed[@]} == 0)) || apt-get purge -y -qq "${installed[@]}" >/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

expected_files() {
    printf '%s\n' bin/fernquill "share/applications/$app_id.desktop" \
        "share/metainfo/$app_id.metainfo.xml" "share/icons/hicolor/scalable/apps/$app_id.svg" \
        share/doc/fernquill/copyright share/doc/fernquill/LICENSE
    for size in 16 22 24 32 48 64 128 256 512; do
        echo "share/icons/hicolor/${size}x${size}/apps/$app_id.png"
    done
}
desktop_value() { sed -n "s/^$2=//p" "$1" | head -n 1; }

check_tree() {
    local prefix=$1 file size
    while read -r file; do
        [[ -f $prefix/$file ]] || fail "missing: $file"
        if [[ $file =~ /([0-9]+)x[0-9]+/apps/ ]]; then
            size=$(od -An -tu4 --endian=big -j16 -N8 "$prefix/$file" | xargs | tr ' ' x)
            [[ $size == "${BASH_REMATCH[1]}x${BASH_REMATCH[1]}" ]] || fail "$file is $size"
        fi
    done < <(expected_files)
    local desktop=$prefix/share/applications/$app_id.desktop
    local metainfo=$prefix/share/metainfo/$app_id.metainfo.xml
    desktop-file-validate "$desktop" || fail "desktop-file-validate refuses $desktop"
    appstreamcli validate --no-net "$metainfo" >&2 || fail "appstreamcli refuses $metainfo"
    [[ $(desktop_value "$desktop" Exec) == fernquill ]] || fail "desktop Exec"
    [[ $(desktop_value "$desktop" Icon) == "$app_id" ]] || fail "desktop Icon"
    grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
        fail "the metainfo does not launch $app_id.desktop"
    local version
    version=$(sed -n 's/^project(Fernquill VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
    [[ $(grep -o '<release version="[^"]*"' "$metainfo" | head -n 1) == *"\"$version\"" ]] ||
        fail "the metainfo's newest release is not $version"
}

# The program must still be running after 3 seconds (timeout then ends it with 124).
check_starts() {
    local status=0
    mkdir -p -m 700 "$work/config" "$work/run"
    XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/run QT_QPA_PLATFORM=offscreen \
        timeout 3 "$@" >"$work/run.log" 2>&1 || status=$?
    ((status == 124)) || { cat "$work/run.log" >&2 && fail "'$*' ended with status $status"; }
}

if [[ ${1:-} == --install-tree ]]; then
    cmake --install "${2:?usage: $0 --install-tree BUILD_DIR}" --prefix "$work/p" >/dev/null
    check_tree "$work/p"
    check_starts "$work/p/bin/fernquill"
    echo "package-test: installed tree complete and valid; the program starts"
    exit 0
fi

build=$(realpath -m "${1:-$root/build-package}")
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFQ_BUILD_TESTS=OFF \
    -DFQ_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" >/dev/null
rm -f "$build"/fernquill_*.deb
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2 && fail cpack; }
deb=$(echo "$build"/fernquill_*_*.deb)
[[ -f $deb ]] || fail "cpack made no single fernquill_*.deb"
dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./||' >"$work/files"
! grep -vqE '^(usr/?|usr/(bin|share)(/.*)?)?$' "$work/files" || fail "files outside /usr/bin, /usr/share"
[[ $(dpkg-deb -f "$deb" Section) == mail ]] || fail "section"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in "${needed_libs[@]}"; do
    [[ ", $depends," =~ [\ ,]$lib[\ ,] ]] || fail "Depends does not name $lib: $depends"
done
dpkg-deb -x "$deb" "$work/unpacked"
check_tree "$work/unpacked/usr"
echo "package-test: $(basename "$deb") is right; depends: $depends"

if [[ $(id -u) -ne 0 ]] || dpkg-query -W -f='${Status}' fernquill 2>/dev/null | grep -q "ok installed"; then
    echo "package-test: not root, or fernquill already installed: install check skipped"
    exit 0
fi
packages() { dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' | awk '$1 == "ii" {print $2}' | sort; }
packages >"$work/before"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log" >&2 && fail "apt-get install failed"; }
packages >"$work/after"
mapfile -t installed < <(comm -13 "$work/before" "$work/after")
exec_line=$(desktop_value "/usr/share/applications/$app_id.desktop" Exec)
[[ $(command -v "$exec_line") == /usr/bin/fernquill ]] || fail "menu command is not /usr/bin/fernquill"
check_starts "$exec_line"
echo "package-test: the installed package starts from the menu entry's command"
