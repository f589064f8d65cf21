"""The encoder benchmark's two desktops, made here so that every run shows the
same pictures: "busy" (a photo-like wallpaper, smooth shapes at several
scales over a sensor's fine grain, under four windows of text) and "flat"
(one colour under the same kind of windows).

    /usr/bin/python3 bench/desktops.py busy|flat WIDTH HEIGHT OUT.png

Needs numpy and Pillow (Debian's python3-numpy, python3-pil).
"""

import sys

import numpy as np
from PIL import Image, ImageDraw, ImageFont

SEED = 20261211
WORDS = "the quick brown fox jumps over lazy dog screen capture file pixels 0123456789".split()


def photo(width: int, height: int, rng: np.random.Generator) -> np.ndarray:
    shade = np.zeros((height, width, 3), np.float32)
    for cell, amplitude in ((240, 90), (60, 40), (12, 18), (3, 8)):
        rows, columns = height // cell + 2, width // cell + 2
        grid = (rng.random((rows, columns, 3)) * 255).astype(np.uint8)
        smooth = Image.fromarray(grid).resize((columns * cell, rows * cell), Image.BICUBIC)
        shade += (np.asarray(smooth, np.float32)[:height, :width] / 255 - 0.5) * amplitude
    shade += rng.normal(0, 1.2, (height, width, 3)).astype(np.float32)
    return np.clip(shade + np.array([90, 120, 150], np.float32), 0, 255).astype(np.uint8)


def windows(image: Image.Image, rng: np.random.Generator, body) -> Image.Image:
    draw = ImageDraw.Draw(image)
    font = ImageFont.load_default()
    width, height = image.size
    for i in range(4):
        x0, y0 = int(rng.integers(0, width - 500)), int(rng.integers(0, height - 350))
        x1, y1 = x0 + int(rng.integers(300, 700)), y0 + int(rng.integers(200, 500))
        draw.rectangle((x0, y0, x1, y1), fill=body, outline=(60, 60, 60))
        draw.rectangle((x0, y0, x1, y0 + 22), fill=(50, 80, 140))
        draw.text((x0 + 6, y0 + 5), "window %d" % i, fill=(255, 255, 255), font=font)
        y = y0 + 30
        while y < y1 - 14:
            line = " ".join(rng.choice(WORDS, int(rng.integers(3, 12))))
            draw.text((x0 + 8, y), line, fill=(20, 20, 20), font=font)
            y += 14
    return image


def main() -> None:
    kind, width, height, out = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
    rng = np.random.default_rng(SEED)
    if kind == "busy":
        image = windows(Image.fromarray(photo(width, height, rng)), rng, (236, 236, 236))
    elif kind == "flat":
        image = windows(Image.new("RGB", (width, height), (47, 52, 63)), rng, (250, 250, 250))
    else:
        sys.exit(f"desktops.py: busy or flat, not {kind!r}")
    image.convert("RGBA").save(out)


main()
