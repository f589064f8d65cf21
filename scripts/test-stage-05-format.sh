#!/usr/bin/env bash
# Every C and C++ source of the repository is clang-format clean
# (.clang-format at the root): a change that is not fails the run here.
set -euo pipefail
cd "$(dirname "$0")/.."
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror
else
  find include src tests cli bench fuzz python -name '*.c' -o -name '*.cpp' -o -name '*.h' |
    xargs clang-format --dry-run -Werror
fi
echo "clang-format: clean"
