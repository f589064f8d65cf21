#!/usr/bin/env bash
# What users install: builds the wheels, the source distribution and the
# Debian packages into dist/ (scripts/build-packages.sh), then, on the rig,
# installs each as a user would and uses it (tests/packaging): `pip install .`
# offline into a fresh venv, the wheels' contents and tags, the Linux wheel in
# a fresh venv, the Windows wheels' DLLs under Wine and against the Windows
# stage's builds, dpkg -i / -r of the .debs with programs built through
# pkg-config and find_package. Needs root (dpkg). Ends with "N passed, N failed".
set -euo pipefail
# shellcheck source=scripts/stage-lib.sh
source "$(dirname "$0")/stage-lib.sh"
cd "$root"
start=$(date +%s)

export VS_DIST_DIR=$root/dist VS_PACKAGE_BUILD_DIR=$root/build-pkg
mkdir -p "$VS_PACKAGE_BUILD_DIR"
log=$VS_PACKAGE_BUILD_DIR/build-packages.log
scripts/build-packages.sh "$VS_DIST_DIR" >"$log" 2>&1 || {
  tail -n 50 "$log"
  stage_abort "scripts/build-packages.sh"
}
echo "packages built in $(($(date +%s) - start)) s:"
(cd "$VS_DIST_DIR" && ls)

# The win32 wheel's DLL runs under 32-bit Wine: natively or through qemu-user.
if ! i386_way=$(scripts/i386-runner.sh); then
  stage_abort "i686" "$i386_way"
fi
echo "32-bit programs run $i386_way"

counts=$(mktemp)
stage_defer rm -f "$counts"
stage_rig
echo "rig on $DISPLAY"

# Counted per test (a test with failing subtests counts once); a skipped test
# did not check what it should, so it counts as failed, and so does a failed
# class set-up.
/usr/bin/python3 - "$counts" "$root/tests/packaging" <<'PY' || true
import sys
import unittest

suite = unittest.TestLoader().discover(sys.argv[2], pattern="test_*.py", top_level_dir=sys.argv[2])
result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)


def case(test):
    return getattr(test, "test_case", test)


# A failed class set-up is reported once, for tests that then never ran.
failed = {case(t).id(): case(t) for t, _ in result.failures + result.errors + result.skipped}
ran_and_failed = sum(isinstance(t, unittest.TestCase) for t in failed.values())
with open(sys.argv[1], "w") as counts:
    counts.write(f"{result.testsRun - ran_and_failed} {len(failed)}\n")
PY
# A run that ended before it counted is one failure.
read -r suite_passed suite_failed <"$counts" || true
stage_count "${suite_passed:-0}" "${suite_failed:-1}" "the packages as users install them"
echo "stage 65 (packages) took $(($(date +%s) - start)) s"
stage_end
