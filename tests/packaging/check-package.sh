#!/usr/bin/env bash
# check-package.sh BUILD_DIR VERSION [hardened]
# Builds the Debian package from a built tree and checks it: its name,
# version and computed dependencies, every file a site needs and nothing
# else in /usr/bin, conffiles and maintainer scripts, the guides' links,
# lintian at --pedantic, the programs' versions, and that the units pass
# systemd-analyze verify and rate "OK" in systemd-analyze security. Also
# checks that a plain `cmake --install` stays inside its prefix. With
# "hardened" (a tree scripts/package configured), the programs must carry
# the distribution's hardening: PIE, full RELRO, bind-now, the stack
# protector, and no hardening tag from lintian (fortified functions).
set -uo pipefail
build=$1 version=$2 hardened=${3:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

if ! (cd "$build" && cpack -G DEB -B "$tmp/out") >"$tmp/cpack.log" 2>&1; then
    cat "$tmp/cpack.log"
    fail "cpack -G DEB failed"
    exit 1
fi
deb=$(ls "$tmp"/out/rti-servers_"$version"_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { ls -R "$tmp/out"; fail "no rti-servers_${version}_*.deb"; exit 1; }

[ "$(dpkg-deb -f "$deb" Package)" = rti-servers ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "version is not $version"
depends=$(dpkg-deb -f "$deb" Depends)
# Computed by dpkg-shlibdeps from the programs, not written by hand.
echo "$depends" | grep -Eq '(^|, )libace-[0-9.]+ ' || fail "Depends lacks the ACE library: $depends"
echo "$depends" | grep -Eq '(^|, )libstdc\+\+6 ' || fail "Depends lacks libstdc++6: $depends"

dpkg-deb -c "$deb" | awk '{ print $1, $6 }' >"$tmp/contents"
expect_file() {  # MODE-PREFIX PATH
    grep -qxF -e "$1 ./$2" "$tmp/contents" || fail "missing $2 ($1)"
}
doc=usr/share/doc/rti-servers
for p in quorvex morva morvalauncher rtictl; do
    expect_file -rwxr-xr-x "usr/bin/$p"
    expect_file -rw-r--r-- "usr/share/man/man1/$p.1.gz"
done
for f in lib/systemd/system/quorvex.service lib/systemd/system/morva@.service \
         etc/default/quorvex etc/default/morva \
         $doc/copyright $doc/changelog.gz $doc/README.md $doc/docs/operations.md \
         $doc/docs/wire-format.md $doc/tools/README.md; do
    expect_file -rw-r--r-- "$f"
done
extra=$(awk '$2 ~ /^\.\/usr\/bin\/./ { print $2 }' "$tmp/contents" |
        grep -vxE '\./usr/bin/(quorvex|morva|morvalauncher|rtictl)')
[ -z "$extra" ] || fail "unexpected programs: $extra"

dpkg-deb -e "$deb" "$tmp/control"
[ "$(sort "$tmp/control/conffiles")" = "$(printf '/etc/default/morva\n/etc/default/quorvex')" ] ||
    fail "conffiles: $(cat "$tmp/control/conffiles")"
for s in postinst prerm postrm; do
    [ -x "$tmp/control/$s" ] || fail "$s is not executable"
    sh -n "$tmp/control/$s" || fail "$s does not parse"
done

root=$tmp/root
dpkg-deb -x "$deb" "$root"

# Every relative link and picture of the shipped guides resolves inside the
# documentation directory (anchors and web addresses aside).
while IFS=: read -r file target; do
    target=${target%%#*}
    [ -z "$target" ] && continue
    [ -e "$(dirname "$file")/$target" ] || fail "${file#"$root"/} links to $target, not shipped"
done < <(find "$root/$doc" -name '*.md' -print0 |
         xargs -0 grep -o '](\([^)]*\))' -H | sed 's/:](\(.*\))$/:\1/' |
         grep -vE ':([a-z]+:|#)')

# The Debian changelog names this version, and the pages are gzip'd whole.
head=$(gzip -dc "$root/$doc/changelog.gz" | head -n 1)
[[ $head == "rti-servers ($version) "* ]] || fail "changelog.gz starts with '$head', not version $version"
for p in quorvex morva morvalauncher rtictl; do
    gzip -t "$root/usr/share/man/man1/$p.1.gz" 2>/dev/null || fail "$p.1.gz is not gzip"
done

# No error or warning from lintian, at its most pedantic.
if ! command -v lintian >/dev/null; then
    echo "SKIP: lintian is not installed; the package was not linted"
else
    # From scripts/package's tree, every package, the client library's too;
    # a test tree's prefix (/usr/local) puts libraries outside the multiarch
    # directory, so there only the servers' package counts.
    lint=("$deb")
    [ "$hardened" = hardened ] && lint=("$tmp"/out/*.deb)
    tags=$(lintian --pedantic -I --tag-display-limit 0 "${lint[@]}" 2>/dev/null)
    echo "$tags" | grep -E '^[EW]: ' && fail "lintian reports errors or warnings"
    # The programs call fortifiable functions; the client library only
    # copies with sizes known at run time, which lintian reports anyway.
    if [ "$hardened" = hardened ]; then
        echo "$tags" | grep -E '^I: rti-servers: hardening-' && fail "lintian finds hardening missing"
    fi
fi
if [ "$hardened" = hardened ]; then
    for p in quorvex morva morvalauncher rtictl; do
        f=$root/usr/bin/$p
        # Read whole first: grep -q ending a pipe early would fail it.
        header=$(readelf -h "$f") segments=$(readelf -lW "$f") dynamic=$(readelf -dW "$f")
        symbols=$(readelf -sW --dyn-syms "$f")
        grep -q 'Type: *DYN' <<<"$header" || fail "$p is not position-independent"
        grep -q GNU_RELRO <<<"$segments" || fail "$p has no RELRO segment"
        grep -Eq 'BIND_NOW|FLAGS_1.* NOW' <<<"$dynamic" || fail "$p is not bound now"
        grep -q __stack_chk_fail <<<"$symbols" || fail "$p has no stack protector"
    done
fi
for p in quorvex morva morvalauncher rtictl; do
    got=$("$root/usr/bin/$p" --version 2>&1)
    [ "$got" = "$p $version" ] || fail "$p --version printed '$got'"
done

# The units point at /usr/bin; verify copies that point into the package.
if ! command -v systemd-analyze >/dev/null; then
    echo "SKIP: systemd-analyze is not installed; the units were not verified"
else
    mkdir "$tmp/units"
    for u in quorvex.service morva@.service; do
        sed "s#/usr/bin/#$root/usr/bin/#g" "$root/lib/systemd/system/$u" >"$tmp/units/$u"
    done
    # MANPATH: Documentation=man:... must name pages the package ships.
    if ! out=$(cd "$tmp/units" && MANPATH=$root/usr/share/man \
               systemd-analyze verify "$tmp/units/quorvex.service" "$tmp/units/morva@.service" 2>&1) ||
       [ -n "$out" ]; then
        echo "$out"
        fail "systemd-analyze verify"
    fi
    # Exposure 2.0 at most ("OK"): --threshold counts tenths.
    for u in quorvex.service morva@fed1.service; do
        if ! out=$(cd "$tmp/units" && systemd-analyze security --offline=yes --threshold=20 \
                   --no-pager "$u" 2>&1); then
            echo "$out" | grep -E '^✗|Overall'
            fail "systemd-analyze security rates $u above 2.0"
        fi
    done
fi

# A plain installation writes below its prefix only: the units and
# /etc/default belong to the package.
if DESTDIR=$tmp/dest cmake --install "$build" --prefix /opt/rti >"$tmp/install.log" 2>&1; then
    outside=$(cd "$tmp/dest" && find . -type f | grep -v '^\./opt/rti/')
    [ -z "$outside" ] || fail "cmake --install wrote outside its prefix: $outside"
    for p in quorvex morva morvalauncher rtictl; do
        [ -f "$tmp/dest/opt/rti/share/man/man1/$p.1" ] || fail "cmake --install: no share/man/man1/$p.1"
    done
else
    cat "$tmp/install.log"
    fail "cmake --install"
fi

[ $failed -eq 0 ] && echo "package $(basename "$deb"): OK"
exit $failed
