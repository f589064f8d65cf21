#!/usr/bin/python3
"""Known pictures for the sway rig (rig/sway-start.sh), with Pillow.

  sway_pictures.py generate OUT.png WIDTH HEIGHT INDEX [SCALE]
      The picture of output number INDEX (1, 2 or 3) whose logical size is
      WIDTH x HEIGHT, drawn at SCALE (an integer, default 1): every logical
      pixel becomes a SCALE x SCALE block, so the picture is exactly the
      buffer swaybg fills and a logical pixel reads the same whichever way a
      capture reduces the block.
  sway_pictures.py same A.png B.png
      Exit 0 when both have the same size and RGB pixels, with every alpha
      (where there is one) opaque; otherwise say where they differ, exit 1.
  sway_pictures.py grim OURS.png GRIM.png
      The same for a capture of ours against grim's of the same rectangle:
      grim leaves what no output covers transparent, where ours must be
      opaque black.
  sway_pictures.py outputs OURS.png X Y WIDTH HEIGHT OUTPUTS DIR
      The same for a capture of ours of the logical rectangle X, Y, WIDTH,
      HEIGHT against the screen made of grim's captures of each output at
      its own scale (DIR/NAME.png, `grim -o NAME`; OUTPUTS is the rig's
      outputs file): each logical pixel is the buffer pixel under its centre,
      what no output covers is black. A scaled output is compared without
      grim's own scaling, which blends pixels at its edges.
  sway_pictures.py monitors JSON OUTPUTS
      Exit 0 when JSON (the library's monitor listing) lists the rig's
      outputs (the rig's outputs file), in whatever order with indices
      0, 1, ..., the one at (0,0) primary; otherwise say how they differ,
      exit 1.

The pattern gives every pixel of an output its own colour: red is x mod 256,
green y mod 256, blue holds the output's number in its two top bits and the
256-pixel block of x and y in the other six. An offset, a flip, a transposed
or scaled copy, or a pixel taken from the wrong output shows at once; and no
pixel is black, so a black capture never passes for one.
"""
import sys

from PIL import Image, ImageChops


def pattern_rgb(index, x, y):
    return (x & 255, y & 255, ((index & 3) << 6) | (((y >> 8) & 7) << 3) | ((x >> 8) & 7))


def logical_picture(width, height, index):
    reds = bytes(x & 255 for x in range(width))
    rows = []
    blues_by_band = {}
    for y in range(height):
        band = (y >> 8) & 7
        blues = blues_by_band.get(band)
        if blues is None:
            blues = bytes(((index & 3) << 6) | (band << 3) | ((x >> 8) & 7) for x in range(width))
            blues_by_band[band] = blues
        row = bytearray(3 * width)
        row[0::3] = reds
        row[1::3] = bytes([y & 255]) * width
        row[2::3] = blues
        rows.append(bytes(row))
    return Image.frombytes("RGB", (width, height), b"".join(rows))


def generate(out, width, height, index, scale=1):
    if not 1 <= index <= 3:
        raise SystemExit("sway_pictures.py: output number %d is not 1, 2 or 3" % index)
    picture = logical_picture(width, height, index)
    if scale != 1:
        picture = picture.resize((width * scale, height * scale), Image.NEAREST)
    picture.save(out, compress_level=1)


def opaque_rgb(image):
    if image.mode in ("RGBA", "LA") or "transparency" in image.info:
        alpha = image.convert("RGBA").getchannel("A")
        low, _ = alpha.getextrema()
        if low != 255:
            box = ImageChops.invert(alpha).getbbox()
            return None, "not opaque: alpha below 255 within %s" % (box,)
    return image.convert("RGB"), None


def same(a_path, b_path):
    a, why = opaque_rgb(Image.open(a_path))
    if a is None:
        return "%s %s" % (a_path, why)
    b, why = opaque_rgb(Image.open(b_path))
    if b is None:
        return "%s %s" % (b_path, why)
    if a.size != b.size:
        return "sizes differ: %s is %dx%d, %s is %dx%d" % (a_path, *a.size, b_path, *b.size)
    box = ImageChops.difference(a, b).getbbox()
    if box is None:
        return None
    x, y = box[0], box[1]
    for yy in range(box[1], box[3]):
        if a.getpixel((box[0], yy)) != b.getpixel((box[0], yy)):
            x, y = box[0], yy
            break
    return "pixels differ within %s, first at (%d,%d): %s vs %s" % (
        box, x, y, a.getpixel((x, y)), b.getpixel((x, y)))


def against_grim(ours_path, grim_path):
    ours, why = opaque_rgb(Image.open(ours_path))
    if ours is None:
        return "%s %s" % (ours_path, why)
    grim = Image.open(grim_path).convert("RGBA")
    if ours.size != grim.size:
        return "sizes differ: ours %dx%d, grim's %dx%d" % (*ours.size, *grim.size)
    alpha = grim.getchannel("A")
    low, _ = alpha.getextrema()
    if low not in (0, 255) or set(alpha.getdata()) - {0, 255}:
        return "grim's picture has alpha other than 0 and 255"
    # Where grim is transparent the expected pixel is black.
    expected = Image.new("RGB", grim.size, (0, 0, 0))
    expected.paste(grim.convert("RGB"), (0, 0), alpha)
    box = ImageChops.difference(ours, expected).getbbox()
    if box is None:
        return None
    for y in range(box[1], box[3]):
        for x in range(box[0], box[2]):
            if ours.getpixel((x, y)) != expected.getpixel((x, y)):
                return "pixels differ within %s, first at (%d,%d): ours %s, grim %s alpha %d" % (
                    box, x, y, ours.getpixel((x, y)), grim.getpixel((x, y))[:3], alpha.getpixel((x, y)))
    return "pixels differ within %s" % (box,)


def rig_outputs(outputs_path):
    outputs = []
    for line in open(outputs_path):
        name, x, y, w, h = line.split()[:5]
        outputs.append({"name": name, "x": int(x), "y": int(y), "width": int(w), "height": int(h)})
    return outputs


def against_outputs(ours_path, x, y, width, height, outputs_path, grim_dir):
    import os
    ours, why = opaque_rgb(Image.open(ours_path))
    if ours is None:
        return "%s %s" % (ours_path, why)
    if ours.size != (width, height):
        return "ours is %dx%d, expected %dx%d" % (*ours.size, width, height)
    expected = Image.new("RGB", (width, height), (0, 0, 0))
    for o in rig_outputs(outputs_path):
        left, top = max(x, o["x"]), max(y, o["y"])
        right = min(x + width, o["x"] + o["width"])
        bottom = min(y + height, o["y"] + o["height"])
        if left >= right or top >= bottom:
            continue
        grim, why = opaque_rgb(Image.open(os.path.join(grim_dir, o["name"] + ".png")))
        if grim is None:
            return "grim's %s %s" % (o["name"], why)
        # The buffer pixel under each logical pixel's centre: Pillow's
        # nearest neighbour takes the same one.
        if grim.size != (o["width"], o["height"]):
            grim = grim.resize((o["width"], o["height"]), Image.NEAREST)
        picked = grim.crop((left - o["x"], top - o["y"], right - o["x"], bottom - o["y"]))
        expected.paste(picked, (left - x, top - y))
    box = ImageChops.difference(ours, expected).getbbox()
    if box is None:
        return None
    for v in range(box[1], box[3]):
        for u in range(box[0], box[2]):
            if ours.getpixel((u, v)) != expected.getpixel((u, v)):
                return "pixels differ within %s, first at (%d,%d): ours %s, grim %s" % (
                    box, x + u, y + v, ours.getpixel((u, v)), expected.getpixel((u, v)))
    return "pixels differ within %s" % (box,)


def monitors(json_path, outputs_path):
    import json
    listed = json.load(open(json_path))
    expected = {o["name"]: o for o in rig_outputs(outputs_path)}
    at_origin = [o["name"] for o in expected.values() if o["x"] == 0 and o["y"] == 0]
    primary = at_origin[0] if at_origin else None
    seen = []
    for i, m in enumerate(listed):
        o = expected.get(m.get("name"))
        want = dict(o, index=i, is_primary=(m.get("name") == primary)) if o else None
        if m != want:
            return "listed %s, the rig has %s" % (json.dumps(listed), json.dumps(list(expected.values())))
        seen.append(m["name"])
    if sorted(seen) != sorted(expected):
        return "listed %s, the rig has %s" % (json.dumps(listed), json.dumps(list(expected.values())))
    return None


def main(argv):
    if len(argv) >= 6 and argv[1] == "generate":
        scale = int(argv[6]) if len(argv) > 6 else 1
        generate(argv[2], int(argv[3]), int(argv[4]), int(argv[5]), scale)
        return 0
    checks = {"same": same, "grim": against_grim, "monitors": monitors}
    if len(argv) == 4 and argv[1] in checks:
        why = checks[argv[1]](argv[2], argv[3])
    elif len(argv) == 9 and argv[1] == "outputs":
        why = against_outputs(argv[2], *map(int, argv[3:7]), argv[7], argv[8])
    else:
        sys.stderr.write(__doc__)
        return 2
    if why:
        print(why)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
