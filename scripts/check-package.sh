#!/bin/sh
# Usage: scripts/check-package.sh <build-dir>
#
# Builds the Debian package from a configured and built build directory (`cpack -G DEB`) and
# checks it: exactly the program and its compressed manual page inside, the declared package
# fields (libpcap's runtime package among the dependencies), and an installation with dpkg into
# a scratch root whose package database holds only the dependencies as this machine has them.
# The installed program's --help must succeed and print the build's own help page. Nothing is
# installed on the host itself.
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $(basename "$0") <build-dir>" >&2
    exit 2
fi
BUILD_DIR=$(cd "$1" && pwd)
PACKAGE_NAME=kvpcaprecorder
PROGRAM=usr/bin/kvpcaprecorder
MAN_PAGE=usr/share/man/man1/kvpcaprecorder.1.gz
REQUIRED_DEPENDENCY="libpcap0.8 (>= 1.10)"
TAB=$(printf '\t')

fail() {
    echo "check-package: $*" >&2
    exit 1
}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kv-package.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# The package, made afresh.
cd "$BUILD_DIR"
rm -f "${PACKAGE_NAME}"_*.deb
cpack -G DEB >"$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log" >&2; fail "cpack failed"; }
set -- "${PACKAGE_NAME}"_*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "expected one ${PACKAGE_NAME}_*.deb in $BUILD_DIR, found: $*"
package="$BUILD_DIR/$1"
echo "check-package: $package"

# Contents: the program, the manual page and the directories that hold them, nothing else.
dpkg-deb -c "$package" >"$scratch/contents"
awk '{ print $6 }' "$scratch/contents" | sort >"$scratch/paths"
cat >"$scratch/expected" <<EOF
./usr/
./usr/bin/
./$PROGRAM
./usr/share/
./usr/share/man/
./usr/share/man/man1/
./$MAN_PAGE
EOF
sort -o "$scratch/expected" "$scratch/expected"
diff -u "$scratch/expected" "$scratch/paths" >&2 || fail "unexpected package contents"
grep -q "^-rwxr-xr-x root/root .* \./$PROGRAM\$" "$scratch/contents" ||
    fail "the program is not an executable owned by root"
grep -q "^-rw-r--r-- root/root .* \./$MAN_PAGE\$" "$scratch/contents" ||
    fail "the manual page is not a readable file owned by root"

# Declared fields.
field() { dpkg-deb -f "$package" "$1"; }
[ "$(field Package)" = "$PACKAGE_NAME" ] || fail "Package is '$(field Package)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] ||
    fail "Architecture is '$(field Architecture)'"
depends=$(field Depends)
case ", $depends," in
*", $REQUIRED_DEPENDENCY,"*) ;;
*) fail "Depends lacks '$REQUIRED_DEPENDENCY': $depends" ;;
esac
for name in Maintainer Description Section; do
    [ -n "$(field "$name")" ] || fail "$name is empty"
done

# A scratch root whose dpkg database knows only the dependencies, each as installed here: the
# installation then shows that this machine satisfies every declared dependency.
root="$scratch/root"
admin="$root/var/lib/dpkg"
mkdir -p "$admin/info" "$admin/updates"
: >"$admin/status"
for dependency in $(echo "$depends" | tr ',|' '\n\n' | awk 'NF { print $1 }' | sort -u); do
    dpkg-query -s "$dependency" >>"$admin/status" 2>/dev/null ||
        fail "the dependency $dependency is not installed on this machine"
    echo >>"$admin/status"
    : >"$admin/info/$(dpkg-query -W -f '${binary:Package}' "$dependency").list"
done
dpkg --root="$root" --install "$package" >"$scratch/dpkg.log" 2>&1 ||
    { cat "$scratch/dpkg.log" >&2; fail "dpkg could not install the package"; }
dpkg --root="$root" --status "$PACKAGE_NAME" | grep -qx "Status: install ok installed" ||
    fail "the package is not recorded as installed"
[ -x "$root/$PROGRAM" ] || fail "the installed program is missing"

# The manual page: gzip data holding a section-1 page.
gzip -t "$root/$MAN_PAGE" || fail "the manual page is not valid gzip data"
gzip -dc "$root/$MAN_PAGE" | head -n 1 | grep -q '^\.TH KVPCAPRECORDER 1 ' ||
    fail "the manual page does not start a section-1 page"

# The installed program runs and prints the help page of the build's own program, whose version
# is the package's.
status=0
"$root/$PROGRAM" --help >"$scratch/help" 2>&1 || status=$?
[ "$status" -eq 0 ] || { cat "$scratch/help" >&2; fail "--help ended with status $status"; }
"$BUILD_DIR/bin/kvpcaprecorder" --help >"$scratch/expected-help" 2>&1 ||
    fail "the build's own program failed on --help"
diff -u "$scratch/expected-help" "$scratch/help" >&2 ||
    fail "the installed program's help page differs from the build's"
grep -q "^${TAB}kvpcaprecorder - Kova Velox packets recorder\$" "$scratch/help" ||
    fail "the help page does not name the program"
grep -q "^${TAB}Kova Velox packets recorder $(field Version)\$" "$scratch/help" ||
    fail "the help page does not show the package's version $(field Version)"

echo "check-package: $(basename "$package") passed ($(grep -c . "$scratch/paths") entries;" \
    "Depends: $depends)"
