"""The library on KDE Plasma with both outputs at scale 2 (the rig of
`rig/kde-start.sh --scale 2`): KDE's picture has 5120x1600 pixels while the
outputs' logical layout is 2560x800. Monitor and region captures follow the
rule for a picture larger than the layout: it is cut to the logical layout,
and each logical pixel takes the picture pixel under its centre, at
floor((x + 0.5) * picture_width / layout_width) (the same for y).

The painted picture differs from one device pixel to the next in both
directions, so a capture that took the top-left pixel of each 2x2 block, or
blended them, or stayed at device size, is told apart from the rule.
"""

from __future__ import annotations

import os
import tempfile
import unittest

from kde_support import (
    PICTURES,
    SCALE,
    Painter,
    decode_library_png,
    differences,
    pictures_left,
    portal_picture,
    read_library_file,
    library,
    sample_by_centre,
)

vs = library()

LAYOUT = (2560, 800)


def setUpModule() -> None:  # noqa: N802
    if SCALE != 2 or not PICTURES:
        raise unittest.SkipTest("needs the KDE rig at scale 2 (eval \"$(rig/kde-start.sh --scale 2)\")")


class ScaledCaptures(unittest.TestCase):
    @classmethod
    def setUpClass(cls) -> None:
        cls.painter = Painter("pattern")
        cls.picture = portal_picture()
        # What every capture is cut from: the portal's own picture brought to
        # the logical layout by the rule.
        cls.desktop = sample_by_centre(cls.picture, *LAYOUT)
        cls.scratch = tempfile.TemporaryDirectory()

    @classmethod
    def tearDownClass(cls) -> None:
        cls.painter.close()
        cls.scratch.cleanup()

    def tearDown(self) -> None:
        self.assertEqual(pictures_left(), [], "the capture left the portal's picture behind")

    def path(self, name: str) -> str:
        return os.path.join(self.scratch.name, name)

    def assertSamePicture(self, got, want, what: str) -> None:  # noqa: N802
        count, shown = differences(got, want)
        self.assertEqual(count, 0, f"{what}: {count} pixels differ: {shown}")

    def test_the_portal_picture_is_at_device_scale(self) -> None:
        self.assertEqual((self.picture.width, self.picture.height), (5120, 1600))
        self.assertEqual({o.scale for o in self.painter.outputs}, {2})

    def test_monitors_are_logical(self) -> None:
        listed = {(m["name"], m["x"], m["y"], m["width"], m["height"]) for m in vs.monitors()}
        self.assertEqual(listed, {("Virtual-0", 0, 0, 1280, 800), ("Virtual-1", 1280, 0, 1280, 800)})

    def test_whole_screen_takes_the_centre_pixels(self) -> None:
        vs.save_all(self.path("all.png"))
        got = read_library_file(self.path("all.png"))
        self.assertSamePicture(got, self.desktop, "whole screen")
        # The same from the painted picture alone, away from the pointer:
        # logical (x, y) of output k shows device pixel (2x + 1, 2y + 1).
        for x, y in [(0, 0), (10, 21), (127, 128), (1279, 799), (1280, 0), (1281, 400), (2559, 799)]:
            with self.subTest(pixel=(x, y)):
                k, ox = (0, x) if x < 1280 else (1, x - 1280)
                want = self.painter.expected.pixel(k * 2560 + 2 * ox + 1, 2 * y + 1)
                self.assertEqual(got.pixel(x, y), want)

    def test_each_monitor(self) -> None:
        for index, monitor in enumerate(vs.monitors()):
            with self.subTest(monitor=monitor["name"]):
                vs.save_monitor(index, self.path(f"monitor{index}.png"))
                want = self.desktop.crop(monitor["x"], monitor["y"], monitor["width"], monitor["height"])
                self.assertSamePicture(read_library_file(self.path(f"monitor{index}.png")), want, monitor["name"])

    def test_regions_to_file_and_memory(self) -> None:
        # (requested rectangle, the rectangle it is cut to); odd positions and
        # sizes, so no region starts on a device pixel pair by luck.
        cases = [
            ((101, 57, 333, 211), (101, 57, 333, 211)),
            ((1201, 333, 157, 91), (1201, 333, 157, 91)),  # across the seam
            ((625, 391, 31, 29), (625, 391, 31, 29)),  # around the pointer
            ((-41, -33, 101, 79), (0, 0, 60, 46)),  # cut at the top left
            ((2501, 781, 99, 99), (2501, 781, 59, 19)),  # cut at the bottom right
        ]
        for (x, y, width, height), cut in cases:
            want = self.desktop.crop(*cut)
            with self.subTest(region=(x, y, width, height), export="file"):
                vs.save_region(x, y, width, height, self.path("region.png"))
                self.assertSamePicture(read_library_file(self.path("region.png")), want, "file")
            with self.subTest(region=(x, y, width, height), export="memory"):
                self.assertSamePicture(decode_library_png(vs.grab_png(x, y, width, height)), want, "memory")


if __name__ == "__main__":
    unittest.main()
