#!/usr/bin/env bash
# Makes 32-bit x86 programs runnable, for the 32-bit Windows checks under Wine,
# and prints how they run: "native", or "through qemu-user N" (N its version).
#
# Kernels built or booted without 32-bit emulation (ia32_emulation=off, more
# common every year) refuse i386 ELF files with "Exec format error", so 32-bit
# Wine cannot start. Then qemu-user-static takes them through binfmt_misc. It
# has to be bookworm-backports' qemu (10 and up): bookworm's own 7.2 cannot run
# Wine ("failed to map the shared user data").
#
# On failure it prints one line that says why and exits 1; a caller must then
# fail rather than skip the 32-bit checks.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
  exec sudo -E "$0" "$@"
fi

fail() {
  echo "32-bit x86 programs cannot run here: $*"
  exit 1
}

# The smallest i386 program there is: exit(0) through int 0x80. Written out
# byte by byte so the probe needs no 32-bit toolchain or library.
probe=$(mktemp /tmp/vs-i386-probe.XXXXXX)
trap 'rm -f "$probe"' EXIT
printf '%b' \
  '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
  '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
  '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' \
  '\x00\x00\x00\x00' \
  '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' \
  '\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
  '\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$probe"
chmod 755 "$probe"

runs() { timeout 30 "$probe" 2>/dev/null; }

binfmt=/proc/sys/fs/binfmt_misc
entry=$binfmt/qemu-i386

# A qemu entry registered by an earlier run counts as "through qemu".
if runs; then
  if [ -e "$entry" ] && grep -qx enabled "$entry" 2>/dev/null; then
    version=$(/usr/bin/qemu-i386-static --version 2>/dev/null | sed -n '1s/.*version \([0-9.]*\).*/\1/p')
    echo "through qemu-user ${version:-unknown}"
  else
    echo "native"
  fi
  exit 0
fi

# qemu 10 from bookworm-backports, added as an apt source on the archive the
# machine's apt already uses (scripts/apt-mirror.sh), signed by Debian's own
# archive key; pinned by -t so nothing else comes from backports.
qemu=/usr/bin/qemu-i386-static
major() { "$qemu" --version 2>/dev/null | sed -n '1s/.*version \([0-9]*\).*/\1/p'; }
if [ ! -x "$qemu" ] || [ "$(major)" -lt 10 ] 2>/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  mirror=$("$(dirname "$0")/apt-mirror.sh" 2>&1) || fail "$mirror"
  cat >/etc/apt/sources.list.d/vs-bookworm-backports.sources <<EOF
Types: deb
URIs: $mirror
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  apt-get -o DPkg::Lock::Timeout=900 update -qq >/dev/null 2>&1 ||
    fail "apt-get update with bookworm-backports failed"
  apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends \
    -t bookworm-backports qemu-user-static >/dev/null 2>&1 ||
    fail "qemu-user-static from bookworm-backports could not be installed"
fi
[ -x "$qemu" ] || fail "qemu-user-static has no $qemu"
[ "$(major)" -ge 10 ] 2>/dev/null || fail "$qemu is version $(major); Wine needs 10 or newer"

if [ ! -e "$binfmt/register" ]; then
  mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
    fail "binfmt_misc cannot be mounted at $binfmt"
fi
[ -w "$binfmt/register" ] || fail "$binfmt/register is not writable"

# The package's own registration (systemd-binfmt) does not run without systemd
# as init, so the entry is written here: an ELF of class 32, little endian, of
# machine 3 (i386), executable or shared object. Flag F opens the interpreter
# now, so it serves inside chroots and namespaces too; the mask leaves out
# e_type's low bit and the padding of e_ident.
if [ -e "$entry" ]; then
  echo 1 >"$entry" 2>/dev/null || true
else
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  echo ":qemu-i386:M::$magic:$mask:$qemu:F" >"$binfmt/register" 2>/dev/null ||
    fail "the qemu-i386 entry was refused by binfmt_misc"
fi

runs || fail "an i386 program still does not start through $qemu"
echo "through qemu-user $("$qemu" --version | sed -n '1s/.*version \([0-9.]*\).*/\1/p')"
