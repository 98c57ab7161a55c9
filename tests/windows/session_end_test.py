#!/usr/bin/env python3
"""posternd.exe at the end of the session and when the installer asks it to
close (session_end_test.exe sends its window the messages), under wine on an
X screen of its own: wine makes top-level windows only on a display, and only
with a wine server that did not start without one, so it runs in a private
copy of the build's prefix, as the desktop test does.

Usage: session_end_test.py WINE WINEPREFIX SESSION_END_TEST_EXE POSTERND_EXE ARTEFACT_DIR
"""
import sys

from desktop_test import WineDesktop
from tray_desktop_test import Failure


def main():
    wine, prefix, test_program, posternd, artefacts = sys.argv[1:6]
    desktop = WineDesktop(artefacts, wine, prefix)
    try:
        desktop.start_xvfb()
        result = desktop.wine(test_program, posternd)
        print(result.stdout, end="")
        return result.returncode
    except Failure as failure:
        return desktop.failed(failure)
    finally:
        desktop.stop_all()
        desktop.end_wine()


if __name__ == "__main__":
    sys.exit(main())
