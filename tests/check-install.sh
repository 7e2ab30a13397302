#!/usr/bin/env bash
# check-install.sh BUILD_DIR PREFIX: installs the build into PREFIX, stripped,
# and checks the result with the tools that distributions use; then into a
# staging directory (DESTDIR) under another prefix, as packagers do.
set -euo pipefail
build=$1 prefix=$2
id=org.brantolexfixer.BrantolexFixer
rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" --strip >/dev/null

test -x "$prefix/bin/brantolex-fixer"
# Stripped: no debugging sections, so no build paths.
if readelf -S "$prefix/bin/brantolex-fixer" | grep -q '\.debug_'; then
    echo "the installed program is not stripped" >&2
    exit 1
fi
test -f "$prefix/share/icons/hicolor/scalable/apps/$id.svg"
test -f "$prefix/share/icons/hicolor/128x128/apps/$id.png"
desktop="$prefix/share/applications/$id.desktop"
desktop-file-validate "$desktop"
grep -qx "Exec=brantolex-fixer" "$desktop"
grep -qx "Icon=$id" "$desktop"
appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml"
appstreamcli validate-tree --no-net "$prefix"
grep -q '<project_license>GPL-2.0-or-later</project_license>' \
    "$prefix/share/metainfo/$id.metainfo.xml"
grep -q 'GNU GENERAL PUBLIC LICENSE' "$prefix/share/doc/brantolex-fixer/LICENSE"
gzip -t "$prefix/share/doc/brantolex-fixer/changelog.gz"
gzip -t "$prefix/share/man/man1/brantolex-fixer.1.gz"
# Quiet, style notes included.
mandoc -Tlint "$prefix/share/man/man1/brantolex-fixer.1.gz"
zcat "$prefix/share/man/man1/brantolex-fixer.1.gz" | grep -q '^\.TH BRANTOLEX-FIXER 1'

# The unit starts the program where this install put it.
unit_at() { # ROOT PREFIX
    local unit="$1$2/lib/systemd/user/brantolex-fixer.service"
    grep -qx "ExecStart=$2/bin/brantolex-fixer --headless" "$unit" || {
        echo "$unit does not start $2/bin/brantolex-fixer:" >&2
        grep ExecStart "$unit" >&2
        exit 1
    }
}
unit_at "" "$prefix"
if command -v systemd-analyze >/dev/null; then
    runtime=$(mktemp -d)
    XDG_RUNTIME_DIR=$runtime systemd-analyze verify --user \
        "$prefix/lib/systemd/user/brantolex-fixer.service"
    rm -rf "$runtime"
fi
rm -rf "$prefix"

mkdir -p "$prefix"
DESTDIR="$prefix/stage" cmake --install "$build" --prefix /opt/brantolex >/dev/null
unit_at "$prefix/stage" /opt/brantolex
test -x "$prefix/stage/opt/brantolex/bin/brantolex-fixer"
rm -rf "$prefix"
echo "install tree of $id is complete and valid"
