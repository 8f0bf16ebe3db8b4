#!/bin/sh
# The .deb and .rpm hold the binary, the manual page and the copyright file, depend on
# nothing, and lintian reports no error on the .deb.
set -eu
dir=$1
version=$2
deb=$dir/oskel-info_${version}_amd64.deb
rpm=$dir/oskel-info-${version}-1.x86_64.rpm

deb_files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for want in ./usr/bin/oskel_info ./usr/share/man/man1/oskel_info.1.gz \
            ./usr/share/doc/oskel-info/copyright ./usr/share/doc/oskel-info/changelog.gz; do
  printf '%s\n' "$deb_files" | grep -qx "$want" || { echo "$deb lacks $want"; exit 1; }
done
test "$(dpkg-deb -f "$deb" Package)" = oskel-info
test -z "$(dpkg-deb -f "$deb" Depends)" || { echo "$deb has dependencies"; exit 1; }
# lintian leaves cache files in its temporary directory: give it one of ours.
scratch=$(mktemp -d "$dir/lintian.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
TMPDIR=$scratch lintian --fail-on error "$deb"

rpm_files=$(rpm -qlp "$rpm" 2>/dev/null)
for want in /usr/bin/oskel_info /usr/share/man/man1/oskel_info.1 \
            /usr/share/doc/oskel-info/copyright; do
  printf '%s\n' "$rpm_files" | grep -qx "$want" || { echo "$rpm lacks $want"; exit 1; }
done
test "$(rpm -qp --queryformat '%{NAME} %{VERSION}' "$rpm" 2>/dev/null)" = "oskel-info $version"
if rpm -qRp "$rpm" 2>/dev/null | grep -v '^rpmlib('; then
  echo "$rpm requires more than rpm itself"
  exit 1
fi
echo "packages: $deb, $rpm"
