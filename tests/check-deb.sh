#!/usr/bin/env bash
# check-deb.sh BUILD_DIR WORK_DIR: makes the Debian package with CPack, checks
# that it holds every file at its place and declares the libraries the
# program links, installs it with dpkg into an empty root and runs the
# program from there. The root gets only the package and, bound read-only,
# the system's library directory (what its dependencies bring); it runs in a
# user and mount namespace of its own, so no root rights are needed.
set -euo pipefail
# ldconfig and chroot live there, outside an ordinary user's PATH.
export PATH=$PATH:/usr/sbin:/sbin
build=$(cd "$1" && pwd) work=$2
id=org.brantolexfixer.BrantolexFixer
rm -rf "$work"
mkdir -p "$work"
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >cpack.log 2>&1) || {
    cat "$work/cpack.log" >&2
    exit 1
}
deb=$(find "$work" -maxdepth 1 -name 'brantolex-fixer_*.deb')
[ -n "$deb" ] || {
    echo "cpack made no .deb:" >&2
    cat "$work/cpack.log" >&2
    exit 1
}

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in \
    ./usr/bin/brantolex-fixer \
    ./usr/share/applications/$id.desktop \
    ./usr/share/icons/hicolor/scalable/apps/$id.svg \
    ./usr/share/icons/hicolor/128x128/apps/$id.png \
    ./usr/share/metainfo/$id.metainfo.xml \
    ./usr/lib/systemd/user/brantolex-fixer.service \
    ./usr/share/man/man1/brantolex-fixer.1.gz \
    ./usr/share/doc/brantolex-fixer/LICENSE \
    ./usr/share/doc/brantolex-fixer/copyright \
    ./usr/share/doc/brantolex-fixer/changelog.gz; do
    grep -qx -- "$path" <<<"$contents" || {
        echo "$deb lacks $path; it holds:" >&2
        echo "$contents" >&2
        exit 1
    }
done

# What a distribution's archive checks: no error or warning, hardened and
# without needless sections; the pedantic notes are shown only. A list given
# to CPack comes out with ";" where its items meet.
findings=$(lintian --fail-on none -EvIL +pedantic "$deb" 2>"$work/lintian.log") || {
    cat "$work/lintian.log" >&2
    exit 1
}
findings=$(grep -v '^N:' <<<"$findings" || true)
[ -z "$findings" ] || echo "lintian: $findings"
# lintian guesses fortification from the checked calls it finds in the
# binary, and finds none where every call's size is known only at run time:
# the compile flag is checked instead of that guess.
grep -q -- '-D_FORTIFY_SOURCE=2' "$build/CMakeFiles/brantolex.dir/flags.make" || {
    echo "the program is built without _FORTIFY_SOURCE" >&2
    exit 1
}
if grep -v 'hardening-no-fortify-functions' <<<"$findings" |
    grep -E '^[EW]: |hardening-|unneeded-section' >&2 ||
    dpkg-deb -f "$deb" Description | grep ';' >&2; then
    echo "lintian or the description rejects $(basename "$deb")" >&2
    exit 1
fi

# Every library the program links comes from a package the .deb depends on.
depends=$(dpkg-deb -f "$deb" Depends)
names=$(tr ',|' '\n\n' <<<"$depends" | sed 's/(.*//; s/ //g')
dpkg-deb -x "$deb" "$work/extracted"
for soname in $(objdump -p "$work/extracted/usr/bin/brantolex-fixer" | awk '$1 == "NEEDED" {print $2}'); do
    library=$(ldconfig -p | awk -v n="$soname" '$1 == n && !p {p = $NF} END {print p}')
    [ -n "$library" ] || { echo "no $soname on this system" >&2; exit 1; }
    package=$(dpkg -S "$(readlink -f "$library")" 2>/dev/null | sed -n '1s/:.*//p') ||
        package=$(dpkg -S "$library" | sed -n '1s/:.*//p')
    grep -qxF "$package" <<<"$names" || {
        echo "$soname comes from $package, which Depends ($depends) does not name" >&2
        exit 1
    }
done
# Nothing links the SVG plug-ins that draw the window icon.
grep -qx libqt6svg6 <<<"$names" || {
    echo "Depends ($depends) lacks libqt6svg6" >&2
    exit 1
}

root=$work/root
interpreter=$(readelf -l "$work/extracted/usr/bin/brantolex-fixer" |
    sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
libdir=$(dirname "$(readlink -f "$(ldconfig -p | awk '$1 == "libc.so.6" && !p {p = $NF} END {print p}')")")
unshare -rm bash -euo pipefail -s "$deb" "$root" "$interpreter" "$libdir" <<'INNER'
deb=$1 root=$2 interpreter=$3 libdir=$4
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/tmp" "$root$libdir"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
# Its dependencies are the system's; they are not in this root's database.
dpkg --root="$root" --force-depends --force-not-root -i "$deb" >"$root/../dpkg.log" 2>&1 || {
    cat "$root/../dpkg.log" >&2
    exit 1
}
dpkg --root="$root" -s brantolex-fixer | grep -qx 'Status: install ok installed'
grep -qx 'ExecStart=/usr/bin/brantolex-fixer --headless' \
    "$root/usr/lib/systemd/user/brantolex-fixer.service"
mount --bind -o ro "$libdir" "$root$libdir"
mkdir -p "$root$(dirname "$interpreter")"
[ -e "$root$interpreter" ] || cp -L "$interpreter" "$root$interpreter"
version=$(env -i HOME=/tmp "$(command -v chroot)" "$root" /usr/bin/brantolex-fixer --version)
[[ $version =~ ^Brantolex\ Fixer\ [0-9]+\.[0-9]+$ ]] || {
    echo "the installed program answered: $version" >&2
    exit 1
}
echo "$version, from $(basename "$deb") in a root of its own"
INNER
rm -rf "$work"
