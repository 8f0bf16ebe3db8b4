#!/bin/sh
# check_packages.sh DEB RPM VERSION CPACK CPACK_CONFIG
# The .deb and .rpm hold the binary, the manual page, the copyright file and the project's one
# changelog, depend on nothing, and are what a distribution accepts: lintian (pedantic) and
# rpmlint report nothing beyond their explained overrides, the rpm is not relocatable, owns
# no system directory, marks the copyright file as the license. Packing again into another
# directory gives the same bytes.
set -eu
deb=$1
rpm=$2
version=$3
cpack=$4
cpack_config=$5
packaging=$(cd "$(dirname "$0")/../../packaging" && pwd)
scratch=$(mktemp -d "$(dirname "$deb")/check.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
# rpm keeps a database in ~/.rpmdb and rpmlint's spell checker a word list in ~/.config: both
# go to the scratch directory, never into the user's home.
export HOME="$scratch"
fail() { echo "$*"; exit 1; }

deb_files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for want in ./usr/bin/oskel_info ./usr/share/man/man1/oskel_info.1.gz \
            ./usr/share/doc/oskel-info/copyright ./usr/share/doc/oskel-info/changelog.gz; do
  printf '%s\n' "$deb_files" | grep -qx "$want" || fail "$deb lacks $want"
done
test "$(dpkg-deb -f "$deb" Package)" = oskel-info
test -z "$(dpkg-deb -f "$deb" Depends)" || fail "$deb has dependencies"
dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/doc/oskel-info/changelog.gz |
  gunzip | cmp -s - "$packaging/changelog" || fail "$deb: changelog.gz is not packaging/changelog"
# lintian leaves cache files in its temporary directory: give it one of ours.
# It also warns that it runs as root, which is how the suite runs.
TMPDIR=$scratch lintian --pedantic --display-info --fail-on error,warning,info,pedantic "$deb" \
  >"$scratch/lintian" 2>&1 || fail "lintian: $(cat "$scratch/lintian")"

rpm_files=$(rpm -qlp "$rpm" 2>/dev/null)
for want in /usr/bin/oskel_info /usr/share/man/man1/oskel_info.1.gz \
            /usr/share/doc/oskel-info/copyright /usr/share/doc/oskel-info/changelog; do
  printf '%s\n' "$rpm_files" | grep -qx "$want" || fail "$rpm lacks $want"
done
query() { rpm -qp --queryformat "$1" "$rpm" 2>/dev/null; }
test "$(query '%{NAME} %{VERSION} %{LICENSE}')" = \
  "oskel-info $version LicenseRef-Keldra-proprietary" || fail "$rpm: $(query '%{NAME} %{VERSION} %{LICENSE}')"
test "$(query '%{PREFIXES}')" = "(none)" || fail "$rpm is relocatable: $(query '%{PREFIXES}')"
if rpm -qRp "$rpm" 2>/dev/null | grep -v '^rpmlib('; then
  fail "$rpm requires more than rpm itself"
fi
dirs=$(query '[%{FILEMODES:perms} %{FILENAMES}\n]' | sed -n 's/^d[^ ]* //p')
test "$dirs" = /usr/share/doc/oskel-info || fail "$rpm owns directories: $dirs"
query '[%{FILEFLAGS:fflags} %{FILENAMES}\n]' | grep -qx '[a-z]*l[a-z]* /usr/share/doc/oskel-info/copyright' ||
  fail "$rpm: the copyright file is not its %license"
changelog=$(rpm -qp --changelog "$rpm" 2>/dev/null)
first_item=$(sed -n 's/^  \* //p' "$packaging/changelog" | head -n1)
case $changelog in
  *CPack*) fail "$rpm has CPack's placeholder changelog: $changelog" ;;
  "* "*" - $version-1
- $first_item"*) ;;
  *) fail "$rpm: changelog does not start with packaging/changelog's entry: $changelog" ;;
esac
rpmlint -s -c "$packaging/rpmlint.toml" "$rpm" >"$scratch/rpmlint" 2>&1 ||
  fail "rpmlint: $(cat "$scratch/rpmlint")"

# Every file's time is the build time, SOURCE_DATE_EPOCH, not when the tree was checked out.
times=$(query '[%{FILEMTIMES}\n]' | sort -u)
test "$times" = "$(query '%{BUILDTIME}')" || fail "$rpm: file times $times, built $(query '%{BUILDTIME}')"
# That time is the newest changelog entry's (or the packager's), with or without git history.
changelog_date=$(sed -n 's/^ -- .*>  //p' "$packaging/changelog" | head -n1)
dated=${SOURCE_DATE_EPOCH:-$(date -u -d "$changelog_date" +%s)}
test "$times" = "$dated" || fail "$rpm: built at $times, not at the changelog's date $dated"

"$cpack" --config "$cpack_config" -B "$scratch/again" >"$scratch/cpack" 2>&1 ||
  fail "cpack: $(cat "$scratch/cpack")"
for package in "$deb" "$rpm"; do
  cmp "$package" "$scratch/again/$(basename "$package")" || fail "$package is not reproducible"
done
echo "packages (lint clean, reproducible): $deb, $rpm"
