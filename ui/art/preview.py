"""The contact sheet render_art.py --preview writes: for people, not the build.

The two windows are put together the way the program shows them (its
buttons in place, sample texts at the program's text positions and in its
colours), then every bitmap follows on its own, labelled with its id.
"""
import base64
import os
import subprocess

from render_art import (ACTION_BUTTONS, CAPTION_BUTTONS, CAPTION_TOP, COLLAPSED, EXPANDED,
                        FOLDER_BUTTON, KEY, STATES, Image, write_png)

BROWN, GREEN, BLUE, WHITE = "#6c2a11", "#1a5c00", "#0041ad", "#ffffff"
FONT = "Noto Sans CJK SC, WenQuanYi Zen Hei, sans-serif"

# The program's texts: (left, top, right, bottom), colour, sample.
TEXTS = [
    ((9, 205, 130, 230), BROWN, "版本 1.0.3.0"),
    ((190, 205, 250, 230), BROWN, "安装目录"),
    ((255, 205, 367, 230), WHITE, "D:\\Games\\Pelican"),
    ((9, 260, 124, 280), BROWN, "大小 3.52 GB"),
    ((129, 260, 204, 280), GREEN, "正在下载"),
    ((209, 260, 259, 280), BROWN, "进度"),
    ((262, 260, 312, 280), BLUE, "42%"),
]
PROGRESS = (11, 244, 297, 256)
ACTION_AT = (318, 244)
LIST_ROWS = ["data1.pak    1.20 GB    已完成", "data2.pak    1.05 GB    42%",
             "data3.pak    0.96 GB    等待", "setup.exe    0.31 GB    等待"]


def _href(png):
    return "data:image/png;base64," + base64.b64encode(png).decode()


def _cut(image):
    """The bitmap as the program shows it, its key-coloured pixels cut away."""
    out = Image(image.width, image.height, bytearray(image.rgba))
    for i in range(0, len(out.rgba), 4):
        if tuple(out.rgba[i:i + 3]) == KEY:
            out.rgba[i:i + 4] = bytes(4)
    return write_png(out, True)


def _image(pngs, art_id, x, y, scale=1):
    _, w, h = pngs[art_id]
    return ('<image x="%g" y="%g" width="%d" height="%d" image-rendering="optimizeSpeed" '
            'preserveAspectRatio="none" xlink:href="%s"/>' % (x, y, w * scale, h * scale, _href(pngs[art_id][0])))


def _label(x, y, text, size=11, colour="#3a2a1a", anchor="start"):
    return ('<text x="%g" y="%g" font-family="%s" font-size="%g" fill="%s" text-anchor="%s">%s</text>'
            % (x, y, FONT, size, colour, anchor, text))


def _window(pngs, cut, x0, y0, expanded, action, fraction, fill_id):
    out = [_image(cut, EXPANDED if expanded else COLLAPSED, x0, y0)]
    for ids, x in CAPTION_BUTTONS.values():
        out.append(_image(pngs, ids[0], x0 + x, y0 + CAPTION_TOP))
    ids, fx, fy, _, _ = FOLDER_BUTTON
    out.append(_image(pngs, ids[0], x0 + fx, y0 + fy))
    out.append(_image(cut, action, x0 + ACTION_AT[0], y0 + ACTION_AT[1]))
    left, top, right, bottom = PROGRESS
    for x in range(left, right):
        out.append(_image(pngs, 170, x0 + x, y0 + top))
    width = int((right - left) * fraction)
    out.append('<svg x="%d" y="%d" width="%d" height="%d">%s</svg>'
               % (x0 + left, y0 + top, width, bottom - top, _image(pngs, fill_id, 0, 0)))
    for (left, top, right, bottom), colour, text in TEXTS:
        out.append(_label(x0 + left, y0 + (top + bottom) / 2 + 4.5, text, 12, colour))
    if expanded:
        for i, row in enumerate(LIST_ROWS):
            out.append(_label(x0 + 10, y0 + 340 + i * 17, row, 12, BROWN))
        for y in range(322, 400):
            out.append(_image(pngs, 236, x0 + 408, y0 + y))
        out.append(_image(pngs, 237, x0 + 408, y0 + 324))
    return out


def contact_sheet(rsvg, pngs, images, scratch):
    """`pngs` maps each id to (PNG bytes, width, height), `images` to its pixels."""
    cut = {art_id: (_cut(images[art_id]),) + pngs[art_id][1:]
           for art_id in (COLLAPSED, EXPANDED) + tuple(ids[i] for ids in ACTION_BUTTONS.values() for i in range(4))}
    width, parts, y = 880, [], 16
    parts.append(_label(16, y + 12, "Window, list hidden (186) and shown (140), as the program puts them together",
                        13, "#222"))
    y += 24
    parts += _window(pngs, cut, 16, y, False, ACTION_BUTTONS["start"][0], 0.42, 171)
    parts += _window(pngs, cut, 453, y, True, ACTION_BUTTONS["pause"][2], 0.78, 172)
    y += 420

    parts.append(_label(16, y + 12, "Action buttons: normal, pressed, hover, disabled", 13, "#222"))
    y += 24
    for row, (kind, ids) in enumerate(ACTION_BUTTONS.items()):
        for col, art_id in enumerate(ids):
            x = 16 + col * 100 + (row % 2) * 430
            yy = y + (row // 2) * 76
            parts.append(_image(pngs, art_id, x, yy))
            parts.append(_label(x, yy + 66, "%d %s %s" % (art_id, kind, STATES[col]), 9))
    y += 160

    parts.append(_label(16, y + 12, "Small buttons (normal, pressed, hover[, disabled]), shown twice their size",
                        13, "#222"))
    y += 24
    x = 16
    ids = FOLDER_BUTTON[0]
    for art_id in ids:
        parts.append(_image(pngs, art_id, x, y, 2))
        parts.append(_label(x, y + 58, str(art_id), 9))
        x += 72
    for kind, (ids, _) in CAPTION_BUTTONS.items():
        x += 12
        for art_id in ids:
            parts.append(_image(pngs, art_id, x, y, 2))
            parts.append(_label(x, y + 58, str(art_id), 9))
            x += 58
    y += 76

    parts.append(_label(16, y + 12, "Progress trough 170 (1x12), fill 171 and 172 (297x12); scroll track 236, "
                        "thumb 237 (four times their size); icon 128", 13, "#222"))
    y += 24
    parts.append(_image(pngs, 170, 16, y, 4))
    parts.append(_image(pngs, 171, 40, y))
    parts.append(_image(pngs, 172, 40, y + 20))
    parts.append(_image(pngs, 236, 360, y, 4))
    parts.append(_image(pngs, 237, 380, y, 4))
    parts.append(_image(pngs, 128, 420, y))
    y += 272

    svg = ('<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" '
           'width="%d" height="%d"><rect width="100%%" height="100%%" fill="#d8d4cc"/>%s</svg>'
           % (width, y, "\n".join(parts)))
    path = os.path.join(scratch, "preview.svg")
    with open(path, "w", encoding="utf-8") as f:
        f.write(svg)
    return subprocess.run([rsvg, path], check=True, capture_output=True).stdout
