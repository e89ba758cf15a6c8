#!/usr/bin/env bash
# cpack builds the Debian package from the build; dpkg-deb shows what it holds:
# the installed layout under /usr, maintainer scripts that reload udev, and
# Depends that name the package of every shared library a packaged program
# needs (what dpkg-shlibdeps found), libusb among them; lintian finds no error
# and no warning. The package is what users get, so it is made from a Release
# tree, never from a sanitizer one (its programs would need the sanitizer's
# runtime and lack the fortified functions): BUILD_DIR itself when it is one,
# else a Release tree BUILD_DIR/deb-release, kept between runs so that a run
# builds only what changed.
# usage: check_deb.sh BUILD_DIR VERSION
set -uo pipefail
build=$1 version=$2
deb_version=$version-1  # the package's first revision of this release
source "$(dirname "$0")/common.sh"

cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
tree=$build
if [ "$(cache CMAKE_BUILD_TYPE)" != Release ] || [ "$(cache VESK_SANITIZE)" = ON ]; then
    tree=$build/deb-release
    launcher=$(cache CMAKE_CXX_COMPILER_LAUNCHER)
    if ! cmake -S "$(cache CMAKE_HOME_DIRECTORY)" -B "$tree" -G "$(cache CMAKE_GENERATOR)" -DCMAKE_BUILD_TYPE=Release \
        -DVESK_SANITIZE=OFF -DVESK_TESTS=OFF -DVESK_BENCH=OFF \
        ${launcher:+-DCMAKE_CXX_COMPILER_LAUNCHER=$launcher -DCMAKE_C_COMPILER_LAUNCHER=$launcher} \
        >"$tmp/release.log" 2>&1 || ! cmake --build "$tree" >>"$tmp/release.log" 2>&1; then
        tail -40 "$tmp/release.log"
        echo "FAIL: the Release tree $tree"
        exit 1
    fi
fi
if ! cpack -G DEB -B "$tmp/out" --config "$tree/CPackConfig.cmake" >"$tmp/cpack.log" 2>&1; then
    cat "$tmp/cpack.log"
    echo "FAIL: cpack -G DEB"
    exit 1
fi
arch=$(dpkg --print-architecture)
deb=$tmp/out/vesk-firmup_${deb_version}_${arch}.deb
[ -f "$deb" ] || { ls "$tmp/out"; echo "FAIL: no $(basename "$deb")"; exit 1; }

dpkg-deb -I "$deb"
for f in "Package vesk-firmup" "Version $deb_version" "Architecture $arch"; do
    set -- $f
    [ "$(dpkg-deb -f "$deb" "$1")" = "$2" ] || fail "$1 is not $2"
done
depends=$(dpkg-deb -f "$deb" Depends)
has_package() {  # Depends names the package (with or without a version)
    local entry
    IFS=',' read -ra entries <<<"$depends"
    for entry in "${entries[@]}"; do
        entry=${entry# }
        [ "${entry%% *}" = "$1" ] && return 0
    done
    return 1
}
has_package libusb-1.0-0 || fail "Depends lacks libusb-1.0-0: $depends"
case "$(dpkg-deb -f "$deb" Recommends)" in
*bash-completion*) ;;
*) fail "Recommends lacks bash-completion" ;;
esac

# lintian as Debian runs it; its informational tags are shown, not counted.
lintian --tag-display-limit 0 --display-info --fail-on error,warning "$deb" >"$tmp/lintian" 2>&1
status=$?
grep -v 'running with root privileges' "$tmp/lintian"
[ "$status" = 0 ] || fail "lintian found errors or warnings"

# Contents: everything under /usr, the programs behind their links.
dpkg-deb -c "$deb" | awk '{print $6 ($7 == "->" ? " -> " $8 : "")}' >"$tmp/contents"
grep -v '^\./usr/' "$tmp/contents" && fail "files outside /usr"
for want in "./usr/bin/vesk-firmup-cli -> ../lib/vesk-firmup/vesk-firmup-cli" \
    "./usr/bin/vesk-sim -> ../lib/vesk-firmup/vesk-sim" \
    ./usr/lib/vesk-firmup/vesk-firmup-cli ./usr/lib/vesk-firmup/vesk-sim ./usr/lib/vesk-firmup/vesk-firmup.xmv \
    ./usr/lib/vesk-firmup/.installed \
    ./usr/lib/udev/rules.d/70-vesk-firmup.rules ./usr/share/applications/com.vesk.firmup.desktop \
    ./usr/share/metainfo/com.vesk.firmup.metainfo.xml ./usr/share/man/man1/vesk-firmup-cli.1.gz \
    ./usr/share/bash-completion/completions/vesk-firmup-cli ./usr/share/doc/vesk-firmup/copyright \
    ./usr/share/doc/vesk-firmup/changelog.Debian.gz; do
    grep -qxF -- "$want" "$tmp/contents" || fail "the package lacks $want"
done

# The maintainer scripts: present, executable, valid shell.
dpkg-deb -e "$deb" "$tmp/control"
for script in postinst postrm; do
    [ -x "$tmp/control/$script" ] && sh -n "$tmp/control/$script" || fail "$script missing or broken"
done

# Every library a packaged program is linked to comes from a package it depends on.
owner_of() {  # the package that installed this library file (merged /usr or not)
    local real line
    real=$(readlink -f "$1")
    dpkg -S "*/$(basename "$real")" 2>/dev/null | while IFS= read -r line; do
        if [ "$(readlink -f "${line##*: }")" = "$real" ]; then
            echo "${line%%:*}"
            break
        fi
    done
}
dpkg-deb -x "$deb" "$tmp/root"
while IFS= read -r program; do
    head -c 4 "$program" | grep -q ELF || continue
    ldd "$program" >"$tmp/ldd" 2>&1 || { cat "$tmp/ldd"; fail "ldd $program"; continue; }
    for soname in $(objdump -p "$program" | awk '$1 == "NEEDED" {print $2}'); do
        case $soname in libasan* | libubsan*) fail "$(basename "$program") is a sanitizer build ($soname)" ;; esac
        path=$(awk -v so="$soname" '$1 == so && $2 == "=>" {print $3}' "$tmp/ldd")
        [ -n "$path" ] || { fail "$soname of $(basename "$program") not found"; continue; }
        owner=$(owner_of "$path")
        [ -n "$owner" ] && has_package "$owner" ||
            fail "$(basename "$program") needs $soname from ${owner:-no package}, which Depends does not name"
    done
done < <(find "$tmp/root" -type f -perm -u+x)
out=$("$tmp/root/usr/bin/vesk-firmup-cli" --version 2>&1)
[ "$out" = "vesk-firmup-cli $version" ] || fail "the packaged vesk-firmup-cli --version printed: $out"

[ "$failures" = 0 ] || exit 1
echo "package $(basename "$deb"): contents and Depends as expected"
