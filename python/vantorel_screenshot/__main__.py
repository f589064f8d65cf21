"""The command-line program the wheel carries, as `vantorel-screenshot` on
PATH (the package's console entry point) and as `python -m
vantorel_screenshot`: the C program in the package's bin/, which loads the
package's library, run with the same arguments, input and output."""

from __future__ import annotations

import os
import subprocess
import sys
from typing import List, Optional

_NAMES = ("vantorel-screenshot", "vantorel-screenshot.exe")


def program() -> Optional[str]:
    """The program's path inside the installed package, or None."""
    here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bin")
    for name in _NAMES:
        path = os.path.join(here, name)
        if os.path.isfile(path):
            return path
    return None


def main(argv: Optional[List[str]] = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    path = program()
    if path is None:
        sys.stderr.write("vantorel-screenshot: this installation of the package has no program "
                         "(a build without it, or a platform it was not built for)\n")
        return 1
    if os.name == "posix":
        # The program takes this process over: its exit status, its signals
        # and its standard streams are the command's own.
        sys.stdout.flush()
        sys.stderr.flush()
        os.execv(path, ["vantorel-screenshot"] + args)
    return subprocess.call([path] + args)


if __name__ == "__main__":
    sys.exit(main())
