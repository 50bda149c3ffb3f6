#!/usr/bin/env bash
# Checks what users get: the installed file tree and the Debian package.
#
#   scripts/package-test.sh [BUILD_DIR]
#       Builds (Release) in BUILD_DIR (default build-package), makes the .deb with cpack and
#       checks its file list, its dependencies, the desktop file and the AppStream metainfo in
#       it. As root it then installs the package with apt-get, starts the program the way the
#       menu entry does (offscreen, for 3 seconds), and removes the package and whatever the
#       install pulled in, so the machine is left as it was. Not as root that part is skipped.
#
#   scripts/package-test.sh --install-tree BUILD_DIR
#       The quick check (CTest "package_filelist"): "cmake --install" of an existing build into
#       a temporary prefix, the same file and metadata checks, and a short offscreen start of
#       the installed program. Needs no root.
#
# Needs dpkg-dev (dpkg-shlibdeps), desktop-file-utils and appstream; scripts/setup.sh installs
# them.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
app_id=io.github.fernquill.Fernquill
icon_sizes=(16 22 24 32 48 64 128 256 512)
# What the package must depend on: the Qt libraries, GMime (reads opened messages) and libsecret
# (which QtKeychain loads at run time, so it is named by hand).
needed_libs=(libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libgmime-3.0-0 libsecret-1-0)

say() { echo "package-test: $*"; }
fail() {
    echo "package-test: FAIL: $*" >&2
    exit 1
}

work=$(mktemp -d)
installed_by_us=0
new_packages=()
cleanup() {
    if ((installed_by_us)); then
        say "removing the package again"
        apt-get remove -y -qq fernquill >/dev/null || true
        if ((${#new_packages[@]})); then
            say "removing what the install pulled in: ${new_packages[*]}"
            apt-get purge -y -qq "${new_packages[@]}" >/dev/null || true
        fi
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The files every installation must have, relative to the prefix.
expected_files() {
    echo bin/fernquill
    echo "share/applications/$app_id.desktop"
    echo "share/metainfo/$app_id.metainfo.xml"
    echo "share/icons/hicolor/scalable/apps/$app_id.svg"
    for size in "${icon_sizes[@]}"; do
        echo "share/icons/hicolor/${size}x${size}/apps/$app_id.png"
    done
    echo share/doc/fernquill/copyright
    echo share/doc/fernquill/LICENSE
}

# Width and height of a PNG, from its header.
png_size() {
    local bytes
    read -r -a bytes <<<"$(od -An -tu1 -j16 -N8 "$1")"
    echo "$(((bytes[0] << 24) | (bytes[1] << 16) | (bytes[2] << 8) | bytes[3]))x$(((bytes[4] << 24) | (bytes[5] << 16) | (bytes[6] << 8) | bytes[7]))"
}

# Packages fully installed, one a line, sorted.
installed_packages() {
    dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' | awk '$1 == "ii" {print $2}' | sort
}

desktop_value() { sed -n "s/^$2=//p" "$1" | head -n 1; }

# Checks an installed tree: PREFIX is where bin/ and share/ are.
check_tree() {
    local prefix=$1 file
    while read -r file; do
        [[ -f $prefix/$file ]] || fail "missing from the installation: $file"
    done < <(expected_files)
    [[ -x $prefix/bin/fernquill ]] || fail "bin/fernquill is not executable"

    for size in "${icon_sizes[@]}"; do
        file=$prefix/share/icons/hicolor/${size}x${size}/apps/$app_id.png
        [[ $(png_size "$file") == "${size}x${size}" ]] ||
            fail "icon for ${size}x${size} is $(png_size "$file")"
    done

    local desktop=$prefix/share/applications/$app_id.desktop
    local metainfo=$prefix/share/metainfo/$app_id.metainfo.xml
    desktop-file-validate "$desktop" || fail "desktop-file-validate refuses $desktop"
    appstreamcli validate --no-net --explain "$metainfo" >"$work/appstream.log" 2>&1 ||
        {
            cat "$work/appstream.log" >&2
            fail "appstreamcli refuses $metainfo"
        }

    # The pieces name each other: menu entry -> command and icon, metainfo -> menu entry.
    [[ $(desktop_value "$desktop" Exec) == fernquill ]] ||
        fail "the desktop file's Exec is '$(desktop_value "$desktop" Exec)'"
    [[ $(desktop_value "$desktop" Icon) == "$app_id" ]] ||
        fail "the desktop file's Icon is '$(desktop_value "$desktop" Icon)'"
    grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
        fail "the metainfo does not launch $app_id.desktop"
    grep -q "<id>$app_id</id>" "$metainfo" || fail "the metainfo's id is not $app_id"

    # The newest release the metainfo lists is the version being built.
    local version listed
    version=$(sed -n 's/^project(Fernquill VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
    listed=$(grep -o '<release version="[^"]*"' "$metainfo" | head -n 1 | cut -d'"' -f2)
    [[ $listed == "$version" ]] ||
        fail "the metainfo's newest release is '$listed', the project is $version"
}

# Starts a program offscreen with private settings and expects it still to be running after
# 3 seconds (timeout then ends it with status 124).
check_starts() {
    local status=0
    mkdir -p "$work/config" "$work/runtime"
    chmod 700 "$work/runtime"
    XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/runtime QT_QPA_PLATFORM=offscreen \
        timeout 3 "$@" >"$work/run.log" 2>&1 || status=$?
    if ((status != 124)); then
        cat "$work/run.log" >&2
        fail "'$*' ended with status $status before it was stopped"
    fi
}

if [[ ${1:-} == --install-tree ]]; then
    build=${2:?usage: $0 --install-tree BUILD_DIR}
    cmake --install "$build" --prefix "$work/prefix" >/dev/null
    check_tree "$work/prefix"
    check_starts "$work/prefix/bin/fernquill"
    say "installed tree complete and valid; the program starts"
    exit 0
fi

build=$(realpath -m "${1:-$root/build-package}")
jobs=$(nproc 2>/dev/null || echo 2)

say "building (Release) in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFQ_BUILD_TESTS=OFF \
    -DFQ_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$jobs" >/dev/null

say "making the Debian package"
rm -f "$build"/fernquill_*.deb
(cd "$build" && cpack -G DEB) >"$work/cpack.log" 2>&1 || {
    cat "$work/cpack.log" >&2
    fail "cpack failed"
}
debs=("$build"/fernquill_*_*.deb)
[[ -f ${debs[0]} && ${#debs[@]} -eq 1 ]] || fail "cpack made no single fernquill_*.deb"
deb=${debs[0]}
say "made $(basename "$deb")"

# Its file list, as dpkg would install it.
dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./||' >"$work/filelist"
while read -r file; do
    grep -qxF "usr/$file" "$work/filelist" || fail "missing from the package: /usr/$file"
done < <(expected_files)
outside=$(grep -vE '^(usr/?|usr/(bin|share)(/.*)?)?$' "$work/filelist" || true)
[[ -z $outside ]] || fail "the package installs outside /usr/bin and /usr/share: $outside"

# Its control fields: dependencies as dpkg-shlibdeps found them.
[[ $(dpkg-deb -f "$deb" Package) == fernquill ]] || fail "package name"
[[ $(dpkg-deb -f "$deb" Section) == mail ]] || fail "section"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in "${needed_libs[@]}"; do
    [[ $depends == *"$lib "* || $depends == *"$lib," || $depends == *"$lib" ]] ||
        fail "Depends does not name $lib: $depends"
done
say "depends: $depends"

# The packaged files themselves.
dpkg-deb -x "$deb" "$work/unpacked"
check_tree "$work/unpacked/usr"
say "file list, desktop file and metainfo are right"

if [[ $(id -u) -ne 0 ]]; then
    say "not root: installing the package with apt-get is skipped"
    exit 0
fi
if dpkg-query -W -f='${Status}' fernquill 2>/dev/null | grep -q "install ok installed"; then
    say "a fernquill package is already installed: the install check is skipped to leave it"
    exit 0
fi

installed_packages >"$work/before"
say "installing $(basename "$deb") with apt-get"
installed_by_us=1
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >"$work/apt.log" 2>&1 || {
    cat "$work/apt.log" >&2
    fail "apt-get install failed"
}
installed_packages >"$work/after"
mapfile -t new_packages < <(comm -13 "$work/before" "$work/after" | grep -vx fernquill || true)

[[ -x /usr/bin/fernquill ]] || fail "/usr/bin/fernquill is not there after the install"
# Started as the menu entry starts it: its Exec command, found through PATH.
exec_line=$(desktop_value "/usr/share/applications/$app_id.desktop" Exec)
[[ $(command -v "$exec_line") == /usr/bin/fernquill ]] ||
    fail "the menu entry's command '$exec_line' is not /usr/bin/fernquill"
check_starts "$exec_line"
say "installed package starts from the menu entry's command"
