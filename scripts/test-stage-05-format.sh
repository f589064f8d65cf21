#!/usr/bin/env bash
# Every C and C++ source of the repository is clang-format clean
# (.clang-format at the root): a change that is not fails the run here.
set -euo pipefail
# shellcheck source=scripts/stage-lib.sh
source "$(dirname "$0")/stage-lib.sh"
cd "$root"

format_clean() {
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror
  else
    find include src tests cli bench fuzz python -name '*.c' -o -name '*.cpp' -o -name '*.h' |
      xargs clang-format --dry-run -Werror
  fi
}
stage_check "clang-format: every C and C++ file clean" format_clean
stage_end
