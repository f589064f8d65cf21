#!/usr/bin/env bash
# Prints the Debian archive this machine's apt already fetches from, so that
# what we add (chroots of newer suites, a backports source) comes from the
# same mirror or through the same proxy, never from a host written here.
#
#   scripts/apt-mirror.sh          the archive's URI, e.g. http://HOST/debian
#   scripts/apt-mirror.sh proxy    apt's HTTP proxy (Acquire::http::Proxy), or
#                                  nothing when it has none
#
# The archive is the first `deb` source, in apt's own order (sources.list,
# then sources.list.d/ by name; one-line `.list` files and deb822 `.sources`
# files alike), that serves this release's suite itself (VERSION_CODENAME,
# e.g. bookworm); failing that, the first that serves any suite but a
# security one (that archive holds only the security updates). A source with
# `Enabled: no` is passed by. VS_DEBIAN_MIRROR, when set, wins.
#
# Exits 1 with a line on standard error when no source qualifies.
set -euo pipefail

if [ "${1:-}" = proxy ]; then
  proxy=""
  if command -v apt-config >/dev/null; then
    eval "$(apt-config shell proxy Acquire::http::Proxy)"
  fi
  # "DIRECT" (or false) means none.
  case "$proxy" in DIRECT | direct | false | "") ;; *) echo "$proxy" ;; esac
  exit 0
fi

if [ -n "${VS_DEBIAN_MIRROR:-}" ]; then
  echo "$VS_DEBIAN_MIRROR"
  exit 0
fi

etc=${VS_APT_ETC:-/etc/apt}
codename=""
if [ -r /etc/os-release ]; then
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
fi

files=()
[ -f "$etc/sources.list" ] && files+=("$etc/sources.list")
# apt reads sources.list.d/ in the order of the file names, whatever the kind.
mapfile -t -O ${#files[@]} files < <(
  for f in "$etc"/sources.list.d/*.list "$etc"/sources.list.d/*.sources; do
    [ -f "$f" ] && echo "$f"
  done | LC_ALL=C sort
)
[ ${#files[@]} -gt 0 ] || { echo "apt-mirror: no apt sources under $etc" >&2; exit 1; }

# One line per source: URI, then its suites.
entries() {
  local f
  for f in "$@"; do
    case "$f" in
      *.sources)
        awk '
          function flush() {
            if (types ~ /(^| )deb( |$)/ && enabled !~ /^(no|false)$/ && uris != "" && suites != "") {
              n = split(uris, u, " ")
              for (i = 1; i <= n; i++) print u[i] "\t" suites
            }
            types = ""; uris = ""; suites = ""; enabled = ""; field = ""
          }
          /^#/ { next }
          /^[ \t]*$/ { flush(); next }
          /^[ \t]/ { # a field continued
            v = $0; gsub(/^[ \t]+|[ \t]+$/, "", v)
            if (field == "types") types = types " " v
            else if (field == "uris") uris = uris " " v
            else if (field == "suites") suites = suites " " v
            next
          }
          {
            i = index($0, ":"); if (!i) next
            k = tolower(substr($0, 1, i - 1)); v = substr($0, i + 1)
            gsub(/^[ \t]+|[ \t]+$/, "", v)
            field = k
            if (k == "types") types = v
            else if (k == "uris") uris = v
            else if (k == "suites") suites = v
            else if (k == "enabled") enabled = tolower(v)
          }
          END { flush() }' "$f"
        ;;
      *)
        awk '
          { sub(/#.*/, "") }
          $1 == "deb" {
            i = 2
            if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
            if (i + 1 <= NF) print $i "\t" $(i + 1)
          }' "$f"
        ;;
    esac
  done
}

all=$(entries "${files[@]}")
pick=$(awk -F '\t' -v codename="$codename" '
  { n = split($2, s, " ")
    for (i = 1; i <= n; i++) {
      if (codename != "" && s[i] == codename && own == "") own = $1
      if (s[i] !~ /[-\/]security$/ && any == "") any = $1
    } }
  END { if (own != "") print own; else print any }' <<<"$all")
if [ -z "$pick" ]; then
  echo "apt-mirror: no Debian archive among apt's sources in $etc; set VS_DEBIAN_MIRROR" >&2
  exit 1
fi
echo "${pick%/}"
