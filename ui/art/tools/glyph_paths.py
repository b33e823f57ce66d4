#!/usr/bin/env python3
"""Prints the outlines of a few characters as SVG path data, for lettering in the art.

    glyph_paths.py FONT_FILE FAMILY TEXT

The art carries its lettering as outlines so that rendering it needs no font
at build time. This is how they were taken: run it by hand (it needs Debian's
python3-fonttools and the font, e.g. fonts-noto-cjk) and paste the paths.

Each character comes out as one <path> in font units (y pointing up, the em
is the font's units per em), preceded by its advance, so the SVG places a run
with transform="translate(X Y) scale(S -S)" and offsets each glyph by the
advances before it.
"""
import sys

from fontTools.pens.svgPathPen import SVGPathPen
from fontTools.ttLib import TTCollection, TTFont


def open_family(path, family):
    fonts = TTCollection(path).fonts if path.endswith(".ttc") else [TTFont(path)]
    for font in fonts:
        names = {n.toUnicode() for n in font["name"].names if n.nameID in (1, 16)}
        if family in names:
            return font
    sys.exit("glyph_paths: no family %r in %s" % (family, path))


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    font = open_family(sys.argv[1], sys.argv[2])
    glyphs = font.getGlyphSet()
    cmap = font.getBestCmap()
    print("<!-- units per em %d -->" % font["head"].unitsPerEm)
    x = 0
    for ch in sys.argv[3]:
        name = cmap[ord(ch)]
        pen = SVGPathPen(glyphs)
        glyphs[name].draw(pen)
        advance = glyphs[name].width
        print('<!-- %s at x %d, advance %d -->' % (ch, x, advance))
        print('<path transform="translate(%d 0)" d="%s"/>' % (x, pen.getCommands()))
        x += advance


if __name__ == "__main__":
    main()
