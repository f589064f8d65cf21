# File names beyond ASCII under Wine, in the ANSI code pages 1252
# (LANG=en_US.UTF-8) and 932 (LANG=ja_JP.UTF-8): every export that takes a
# path (tests/win32/names_main.cpp), then the program with a name in its
# arguments. What landed is listed from Linux and compared byte for byte with
# the true names in UTF-8, as Wine stores them.
#
# Sourced by the Wine stages, which define
#   names_wine LANG EXE ARG...   runs a Windows program under Wine in that
#                                locale, on a desktop of one monitor
# and then call
#   check_names ARCH BUILD DIR   BUILD the Windows build directory, DIR a
#                                scratch directory; non-zero on any failure

names_winpath() { printf 'Z:%s' "${1//\//\\}"; }

# The first eight bytes and the IHDR size of a 16x16 PNG.
names_is_16x16_png() {
  [ "$(head -c 24 "$1" 2>/dev/null | od -An -tx1 | tr -d ' \n')" = \
    89504e470d0a1a0a0000000d494844520000001000000010 ]
}

# names_on_console OUT COMMAND...: runs COMMAND (a function too) with its
# standard output and error on a terminal, where Wine gives a Windows program
# a console; what the terminal shows goes to OUT.
names_on_console() {
  local out=$1 tty status=0
  shift
  coproc NAMES_TTY { python3 "$names_here/console.py" "$out"; }
  if ! read -r -t 10 tty <&"${NAMES_TTY[0]}"; then
    echo "no terminal"
    return 1
  fi
  "$@" >"$tty" 2>&1 </dev/null || status=$?
  echo done >&"${NAMES_TTY[1]}"
  wait "$NAMES_TTY_PID" || true
  return $status
}
names_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

check_names() {
  local arch=$1 build=$2 dir=$3 status=0 lang ansi out want got result
  for lang in en_US.UTF-8 ja_JP.UTF-8; do
    case "$lang" in
      en_US.*) ansi=José ;; # "Jos\xe9" in 1252
      *) ansi=日本 ;;       # "\x93\xfa\x96\x7b" in 932
    esac
    out=$dir/$arch-$lang
    mkdir -p "$out/exports" "$out/cli"

    echo "== $arch, $lang: vs_win32_names_test"
    names_wine "$lang" "$build/vs_win32_names_test.exe" "$(names_winpath "$out/exports")" ||
      status=1
    want=$(
      for e in all monitor region window; do
        printf '%s\n' "José-日本-$e.png" "写真/$e.png" "$ansi-$e.png" "$ansi/$e.png"
      done
      printf '%s\n' 写真 "$ansi" é-rule.png
    )
    want=$(LC_ALL=C sort <<<"$want")
    got=$(cd "$out/exports" && find . -mindepth 1 -printf '%P\n' | LC_ALL=C sort)
    if [ "$got" = "$want" ]; then
      echo "ok: $arch, $lang: the exports' files are there under their true names, and nothing else"
    else
      echo "FAILED: $arch, $lang: the exports' files are not exactly the true names (- wanted, + found):"
      diff <(echo "$want") <(echo "$got") | sed -n 's/^[<>]/  &/p' | tr '<>' '-+'
      status=1
    fi

    # The program's arguments arrive whole; its messages leave in UTF-8.
    result=0
    names_wine "$lang" "$build/vantorel-screenshot.exe" region 0 0 16 16 \
      "$(names_winpath "$out/cli")\\José-日本.png" >"$out/cli.out" 2>&1 || result=$?
    got=$(cd "$out/cli" && find . -mindepth 1 -printf '%P\n')
    if [ "$result" -eq 0 ] && [ "$got" = José-日本.png ] && names_is_16x16_png "$out/cli/$got"; then
      echo "ok: $arch, $lang: 'region 0 0 16 16 ...\\José-日本.png' writes José-日本.png"
    else
      echo "FAILED: $arch, $lang: the program wrote '$got' (exit $result):"
      sed 's/^/  /' "$out/cli.out"
      status=1
    fi
    local missing
    missing="$(names_winpath "$out/cli")\\無い\\José.png"
    result=0
    names_wine "$lang" "$build/vantorel-screenshot.exe" region 0 0 16 16 "$missing" \
      >/dev/null 2>"$out/cli.err" || result=$?
    want="vantorel-screenshot: PNG write failed for 16x16 frame to '$missing' (No such file or directory)"
    if [ "$result" -eq 1 ] && tr -d '\r' <"$out/cli.err" | grep -qxF -- "$want"; then
      echo "ok: $arch, $lang: a failure's message names the path in UTF-8"
    else
      echo "FAILED: $arch, $lang: exit $result, expected 1 and: $want"
      sed 's/^/  /' "$out/cli.err"
      status=1
    fi
    # On a console the same message goes through WriteConsoleW, which Wine
    # shows on the terminal in UTF-8.
    result=0
    names_on_console "$out/console" names_wine "$lang" "$build/vantorel-screenshot.exe" region \
      0 0 16 16 "$missing" || result=$?
    if [ "$result" -eq 1 ] && tr -d '\r' <"$out/console" | grep -qF -- "$want"; then
      echo "ok: $arch, $lang: on a console too"
    else
      echo "FAILED: $arch, $lang: on a console, exit $result, expected 1 and: $want"
      od -c "$out/console" | head -n 20 | sed 's/^/  /'
      status=1
    fi
  done
  return $status
}
