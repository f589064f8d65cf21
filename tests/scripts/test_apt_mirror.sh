#!/usr/bin/env bash
# scripts/apt-mirror.sh against apt source trees of the shapes machines have:
# each case is a small /etc/apt of its own and the archive the chroots and the
# backports source must then use. Ends with "N passed, N failed".
set -euo pipefail
script=$(cd "$(dirname "$0")/../.." && pwd)/scripts/apt-mirror.sh
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

# case NAME WANT FILE CONTENT [FILE CONTENT]...: WANT "-" means it must fail.
case_() {
  local name=$1 want=$2 etc=$work/$1 got status=0
  shift 2
  mkdir -p "$etc/sources.list.d"
  while [ $# -gt 0 ]; do
    printf '%s\n' "${2//@C@/$codename}" >"$etc/$1"
    shift 2
  done
  got=$(env -u VS_DEBIAN_MIRROR VS_APT_ETC="$etc" "$script" 2>/dev/null) || status=$?
  if { [ "$want" = - ] && [ "$status" -ne 0 ]; } || { [ "$status" -eq 0 ] && [ "$got" = "$want" ]; }; then
    passed=$((passed + 1))
  else
    echo "FAILED: $name: wanted '$want', got '$got' (exit $status)"
    failed=$((failed + 1))
  fi
}

case_ one-line-with-options http://mirror.example/debian sources.list \
  '# a comment
deb [arch=amd64 signed-by=/usr/share/keyrings/k.gpg] http://sec.example/debian-security @C@-security main
deb-src http://src.example/debian @C@ main
deb http://mirror.example/debian/ @C@ main contrib # trailing words'
case_ deb822-proxy-first http://cache.local:3142/debian sources.list.d/debian.sources \
  'Types: deb
URIs: http://cache.local:3142/debian http://other.example/debian
Suites: @C@ @C@-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://cache.local:3142/debian-security
Suites: @C@-security
Components: main'
case_ deb822-continued-and-disabled http://on.example/debian \
  sources.list.d/10-off.sources 'Types: deb
URIs: http://off.example/debian
Suites: @C@
Enabled: no' \
  sources.list.d/20-on.sources 'Types: deb-src deb
URIs:
 http://on.example/debian
Suites: @C@-updates
 @C@'
case_ list-and-sources-by-name http://a.example/debian \
  sources.list.d/b.sources 'Types: deb
URIs: http://b.example/debian
Suites: @C@' \
  sources.list.d/a.list 'deb http://a.example/debian @C@ main'
case_ release-suite-before-others http://main.example/debian sources.list \
  'deb http://upd.example/debian @C@-updates main
deb http://main.example/debian @C@ main'
case_ no-release-suite http://upd.example/debian sources.list \
  'deb http://sec.example/debian-security @C@-security main
deb http://upd.example/debian @C@-updates main'
case_ only-security - sources.list 'deb http://sec.example/debian-security @C@-security main'
case_ nothing - sources.list '# empty'

got=$(VS_DEBIAN_MIRROR=http://given.example/debian "$script")
if [ "$got" = http://given.example/debian ]; then passed=$((passed + 1)); else
  echo "FAILED: VS_DEBIAN_MIRROR: got '$got'"
  failed=$((failed + 1))
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
