#!/usr/bin/env bash
# check-install.sh BUILD_DIR PREFIX: installs the build into PREFIX and checks
# the result with the tools that distributions use.
set -euo pipefail
build=$1 prefix=$2
id=org.brantolexfixer.BrantolexFixer
rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

test -x "$prefix/bin/brantolex-fixer"
test -f "$prefix/share/icons/hicolor/scalable/apps/$id.svg"
test -f "$prefix/share/icons/hicolor/128x128/apps/$id.png"
desktop="$prefix/share/applications/$id.desktop"
desktop-file-validate "$desktop"
grep -qx "Exec=brantolex-fixer" "$desktop"
grep -qx "Icon=$id" "$desktop"
appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml"
appstreamcli validate-tree --no-net "$prefix"
rm -rf "$prefix"
echo "install tree of $id is complete and valid"
