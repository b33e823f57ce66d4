#!/usr/bin/env python3
"""Renders the window art and embeds it in the program as C++.

    render_art.py OUT_DIR OUT_CPP [--rsvg PATH] [--preview PNG]

Every SVG beside this script is drawn by rsvg-convert at its exact size; the
results are finished (see Finish below), written to OUT_DIR as <id>.png, and
OUT_CPP gets their bytes as the table behind FindArt (ui/art/ArtResources.h).
--preview also writes a contact sheet: the two windows as the program shows
them (buttons in place, sample texts in the program's colours) and every
bitmap on its own.

One SVG may hold several pictures: elements of class "state" carry the state
names they belong to (normal, hover, pressed, disabled, collapsed, expanded)
and elements of class "kind" the kind names (start, pause, ...). A render
shows only the elements of its state and kind, through a user stylesheet;
opened on its own, the file's own <style> shows its first state and kind.

Only the standard library is used: the PNGs are read and written here.
"""
import argparse
import base64
import os
import struct
import subprocess
import sys
import tempfile
import zlib

sys.dont_write_bytecode = True  # the preview module sits in the source tree

HERE = os.path.dirname(os.path.abspath(__file__))

# The colour the program cuts from a window's or a button's shape.
KEY = (232, 5, 246)

# How a rendering becomes the bitmap the program gets:
KEYED = "keyed"      # opaque; what lies outside the drawn shape becomes KEY
OPAQUE = "opaque"    # opaque, drawn over black (the art covers every pixel)
ALPHA = "alpha"      # kept with its transparency (the program icon)
# ("over", id, x, y): opaque, drawn over bitmap `id` at (x, y), so that a
# button shows the window's own background around its glyph wherever the
# program puts it, with or without blending.


class Art:
    def __init__(self, ids, svg, width, height, finish, kind=None, state=None, crop_height=None):
        self.ids = ids if isinstance(ids, tuple) else (ids,)
        self.svg, self.width, self.height = svg, width, height
        self.finish, self.kind, self.state = finish, kind, state
        # The SVG is drawn at width x height, then cut to this many rows.
        self.crop_height = crop_height

    @property
    def out_height(self):
        return self.crop_height or self.height


COLLAPSED, EXPANDED = 186, 140
ACTION_BUTTONS = {"start": (198, 200, 199, 201), "pause": (202, 204, 203, 205),
                  "resume": (210, 212, 211, 213), "install": (231, 233, 232, 234)}
CAPTION_BUTTONS = {"settings": ((228, 230, 229), 318), "minimise": ((218, 220, 219), 346),
                   "close": ((222, 224, 223), 374)}
STATES = ("normal", "pressed", "hover", "disabled")
ACTION_SIZE = (84, 52)
FOLDER_BUTTON = ((214, 216, 215, 235), 372, 203, 30, 22)
CAPTION_SIZE = 24
CAPTION_TOP = 10


def art_list():
    arts = [
        Art(COLLAPSED, "window.svg", 411, 400, KEYED, state="collapsed", crop_height=307),
        Art(EXPANDED, "window.svg", 411, 400, OPAQUE, state="expanded"),
        Art(170, "progress_trough.svg", 1, 12, OPAQUE),
        Art(171, "progress_fill.svg", 297, 12, OPAQUE, kind="download"),
        Art(172, "progress_fill.svg", 297, 12, OPAQUE, kind="verify"),
        Art(163, "scroll_track.svg", 3, 1, OPAQUE),
        Art(156, "scroll_thumb.svg", 3, 49, OPAQUE),
        Art(128, "icon.svg", 256, 256, ALPHA),
    ]
    for kind, ids in ACTION_BUTTONS.items():
        for art_id, state in zip(ids, STATES):
            arts.append(Art(art_id, "action_button.svg", *ACTION_SIZE, KEYED, kind=kind, state=state))
    ids, x, y, w, h = FOLDER_BUTTON
    for art_id, state in zip(ids, STATES):
        arts.append(Art(art_id, "folder_button.svg", w, h, ("over", COLLAPSED, x, y), state=state))
    for kind, (ids, x) in CAPTION_BUTTONS.items():
        # These have no look of their own when disabled: the program uses the normal one.
        for art_id, state in zip(ids, STATES):
            arts.append(Art(art_id, "caption_button.svg", CAPTION_SIZE, CAPTION_SIZE,
                            ("over", COLLAPSED, x, CAPTION_TOP), kind=kind, state=state))
    return arts


# ---------------------------------------------------------------------------
# PNG in and out (8 bits a channel, no interlace: what rsvg-convert writes).

class Image:
    """RGBA pixels, straight (not premultiplied) alpha."""

    def __init__(self, width, height, rgba=None):
        self.width, self.height = width, height
        self.rgba = rgba if rgba is not None else bytearray(width * height * 4)

    def pixel(self, x, y):
        i = (y * self.width + x) * 4
        return tuple(self.rgba[i:i + 4])

    def crop(self, x, y, width, height):
        out = Image(width, height)
        for row in range(height):
            start = ((y + row) * self.width + x) * 4
            out.rgba[row * width * 4:(row + 1) * width * 4] = self.rgba[start:start + width * 4]
        return out


def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def read_png(data):
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG")
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    width, height, depth, colour, _, _, interlace = header
    channels = {0: 1, 2: 3, 4: 2, 6: 4}.get(colour)
    if depth != 8 or channels is None or interlace:
        raise ValueError("unexpected PNG format (depth %d, colour type %d)" % (depth, colour))
    raw = zlib.decompress(idat)
    stride = width * channels
    prev = bytearray(stride)
    image = Image(width, height)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b = prev[i]
            c = prev[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + ((a + b) >> 1)) & 255
            elif kind == 4:
                line[i] = (line[i] + _paeth(a, b, c)) & 255
        for x in range(width):
            p = line[x * channels:(x + 1) * channels]
            if channels == 1:
                p = p * 3 + b"\xff"
            elif channels == 2:
                p = p[:1] * 3 + p[1:]
            elif channels == 3:
                p = p + b"\xff"
            image.rgba[(y * width + x) * 4:(y * width + x + 1) * 4] = p
        prev = line
    return image


def _filtered(line, prev, channels):
    """The row under each of the five filters; the one with the smallest sum of
    absolute differences compresses best, as a rule."""
    n = len(line)
    left = bytes(channels) + line[:n - channels]
    upleft = bytes(channels) + prev[:n - channels]
    sub = bytes((x - a) & 255 for x, a in zip(line, left))
    up = bytes((x - b) & 255 for x, b in zip(line, prev))
    avg = bytes((x - ((a + b) >> 1)) & 255 for x, a, b in zip(line, left, prev))
    paeth = bytes((x - _paeth(a, b, c)) & 255 for x, a, b, c in zip(line, left, prev, upleft))
    candidates = [(0, bytes(line)), (1, sub), (2, up), (3, avg), (4, paeth)]

    def cost(row):
        return sum(v if v < 128 else 256 - v for v in row)

    kind, row = min(candidates, key=lambda c: cost(c[1]))
    return bytes([kind]) + row


def write_png(image, alpha):
    channels = 4 if alpha else 3
    width, height = image.width, image.height
    rows = []
    prev = bytes(width * channels)
    for y in range(height):
        px = image.rgba[y * width * 4:(y + 1) * width * 4]
        if not alpha:
            px = bytes(b for i, b in enumerate(px) if i % 4 != 3)
        line = bytes(px)
        rows.append(_filtered(line, prev, channels))
        prev = line

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", width, height, 8, 6 if alpha else 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))


# ---------------------------------------------------------------------------
# Rendering and finishing.

def stylesheet(art):
    rules = []
    for cls, name in (("state", art.state), ("kind", art.kind)):
        if name:
            rules.append(".%s { display: none !important }" % cls)
            rules.append(".%s.%s { display: inline !important }" % (cls, name))
    return "\n".join(rules) + "\n"


def render(rsvg, art, scratch):
    css = os.path.join(scratch, "art.css")
    with open(css, "w") as f:
        f.write(stylesheet(art))
    out = os.path.join(scratch, "art.png")
    subprocess.run([rsvg, "-w", str(art.width), "-h", str(art.height), "-s", css,
                    "-o", out, os.path.join(HERE, art.svg)], check=True)
    with open(out, "rb") as f:
        image = read_png(f.read())
    if (image.width, image.height) != (art.width, art.height):
        sys.exit("render_art: %s came out %dx%d, not %dx%d"
                 % (art.svg, image.width, image.height, art.width, art.height))
    if art.crop_height:
        image = image.crop(0, 0, art.width, art.crop_height)
    return image


def _off_key(r, g, b):
    """A colour that is not the key: the art's own pixels must never be cut."""
    return (r, g, b) if (r, g, b) != KEY else (r, g - 1, b)


def keyed(image):
    out = Image(image.width, image.height)
    for i in range(0, len(image.rgba), 4):
        r, g, b, a = image.rgba[i:i + 4]
        # Half-covered edge pixels take the edge's own colour, at full strength:
        # blending them with the key would leave a pink fringe once the shape is cut.
        out.rgba[i:i + 4] = bytes(KEY + (255,)) if a < 128 else bytes(_off_key(r, g, b) + (255,))
    return out


def over(image, ground, x0, y0):
    out = Image(image.width, image.height)
    for y in range(image.height):
        for x in range(image.width):
            i = (y * image.width + x) * 4
            r, g, b, a = image.rgba[i:i + 4]
            gr, gg, gb = ground.pixel(x0 + x, y0 + y)[:3] if ground else (0, 0, 0)
            mix = [(c * a + d * (255 - a) + 127) // 255 for c, d in zip((r, g, b), (gr, gg, gb))]
            out.rgba[i:i + 4] = bytes(_off_key(*mix) + (255,))
    return out


def finish(art, image, done):
    if art.finish == KEYED:
        return keyed(image)
    if art.finish == OPAQUE:
        return over(image, None, 0, 0)
    if art.finish == ALPHA:
        return image
    _, ground_id, x, y = art.finish
    return over(image, done[ground_id], x, y)


# ---------------------------------------------------------------------------
# Output.

def cpp_source(pngs):
    lines = ["// Generated by ui/art/render_art.py from the SVGs in ui/art; do not edit.",
             '#include "ui/art/ArtTable.h"', "", "namespace pf::ui::art_detail {", "namespace {", ""]
    for art_id, (data, _, _) in sorted(pngs.items()):
        lines.append("const unsigned char kPng%d[] = {" % art_id)
        for start in range(0, len(data), 24):
            lines.append("    " + ",".join("%d" % b for b in data[start:start + 24]) + ",")
        lines.append("};")
        lines.append("")
    lines.append("}  // namespace")
    lines.append("")
    lines.append("const ArtResource kArtTable[] = {")
    for art_id, (_, width, height) in sorted(pngs.items()):
        lines.append("    {%d, kPng%d, sizeof kPng%d, %d, %d}," % (art_id, art_id, art_id, width, height))
    lines.append("};")
    lines.append("const std::size_t kArtTableSize = sizeof kArtTable / sizeof kArtTable[0];")
    lines.append("")
    lines.append("}  // namespace pf::ui::art_detail")
    return "\n".join(lines) + "\n"


def write_if_changed(path, data):
    mode = "wb" if isinstance(data, bytes) else "w"
    try:
        with open(path, "rb" if mode == "wb" else "r") as f:
            if f.read() == data:
                return
    except OSError:
        pass
    with open(path, mode) as f:
        f.write(data)


def main():
    parser = argparse.ArgumentParser(description="Renders the window art into PNGs and C++.")
    parser.add_argument("out_dir")
    parser.add_argument("out_cpp")
    parser.add_argument("--rsvg", default="rsvg-convert")
    parser.add_argument("--preview")
    args = parser.parse_args()

    os.makedirs(args.out_dir, exist_ok=True)
    done, pngs = {}, {}
    with tempfile.TemporaryDirectory() as scratch:
        # Backgrounds first: the small buttons are drawn over them.
        for art in sorted(art_list(), key=lambda a: isinstance(a.finish, tuple)):
            image = finish(art, render(args.rsvg, art, scratch), done)
            png = write_png(image, art.finish == ALPHA)
            for art_id in art.ids:
                done.setdefault(art_id, image)
                pngs.setdefault(art_id, (png, image.width, image.height))
                write_if_changed(os.path.join(args.out_dir, "%d.png" % art_id), png)
        if args.preview:
            from preview import contact_sheet
            write_if_changed(args.preview, contact_sheet(args.rsvg, pngs, done, scratch))
    os.makedirs(os.path.dirname(os.path.abspath(args.out_cpp)), exist_ok=True)
    # Written every time, so that the build sees it newer than what it came from.
    with open(args.out_cpp, "w") as f:
        f.write(cpp_source(pngs))


if __name__ == "__main__":
    main()
