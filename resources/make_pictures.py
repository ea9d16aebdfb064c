#!/usr/bin/python3
"""Draws the client's pictures. Run it again after changing a drawing:

    /usr/bin/python3 resources/make_pictures.py   (Debian package python3-pil)

Every picture is drawn here from shapes and the Liberation fonts; none is
taken from anywhere else.
"""
import math
import os

from PIL import Image, ImageDraw, ImageFilter, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
FONTS = "/usr/share/fonts/truetype/liberation"


def font(name, size):
    return ImageFont.truetype(os.path.join(FONTS, name), size)


def text_on_arc(img, text, centre, radius, start_deg, end_deg, fnt, fill, bottom=False):
    """Capital letters along an arc, each upright to the circle."""
    span = end_deg - start_deg
    step = span / max(1, len(text) - 1)
    for i, ch in enumerate(text):
        angle = math.radians(start_deg + i * step)
        w, h = fnt.getbbox(ch)[2:]
        tile = Image.new("RGBA", (w + 4, h + 4), (0, 0, 0, 0))
        ImageDraw.Draw(tile).text((2, 0), ch, font=fnt, fill=fill)
        turn = -math.degrees(angle) + 90 if bottom else -math.degrees(angle) - 90
        rotated = tile.rotate(turn, resample=Image.BICUBIC, expand=True)
        x = centre[0] + radius * math.cos(angle) - rotated.width / 2
        y = centre[1] + radius * math.sin(angle) - rotated.height / 2
        img.alpha_composite(rotated, (int(round(x)), int(round(y))))


def emblem():
    """Welcome emblem: a dark-blue disc with lettering along its rim."""
    w, h = 212, 171
    img = Image.new("RGBA", (w, h), (255, 255, 255, 255))
    d = ImageDraw.Draw(img)
    cx, cy, r = w // 2, h // 2, 80
    d.ellipse((cx - r, cy - r, cx + r, cy + r), fill=(16, 32, 112))
    d.ellipse((cx - r + 4, cy - r + 4, cx + r - 4, cy + r - 4), outline=(255, 255, 255), width=2)
    d.ellipse((cx - 44, cy - 44, cx + 44, cy + 44), outline=(255, 255, 255), width=2)
    fnt = font("LiberationSans-Bold.ttf", 15)
    text_on_arc(img, "VELMARIO", (cx, cy), 60, 200, 340, fnt, (255, 255, 255))
    text_on_arc(img, "TELEFONICO", (cx, cy), 60, 150, 30, fnt, (255, 255, 255), bottom=True)
    # The drawing in the centre: a telephone handset over a small globe.
    d.ellipse((cx - 26, cy - 26, cx + 26, cy + 26), fill=(40, 90, 180), outline=(255, 255, 255))
    for dy in (-13, 0, 13):
        half = int(math.sqrt(max(0, 26 ** 2 - dy ** 2)))
        d.line((cx - half, cy + dy, cx + half, cy + dy), fill=(200, 220, 255))
    d.ellipse((cx - 12, cy - 26, cx + 12, cy + 26), outline=(200, 220, 255))
    d.rounded_rectangle((cx - 22, cy - 8, cx + 22, cy + 2), radius=5, fill=(255, 255, 255))
    d.rectangle((cx - 24, cy - 10, cx - 14, cy + 8), fill=(255, 255, 255))
    d.rectangle((cx + 14, cy - 10, cx + 24, cy + 8), fill=(255, 255, 255))
    img.convert("RGB").save(os.path.join(HERE, "emblem.jpg"), "JPEG", quality=80, optimize=True)


def banner():
    """Welcome banner: two lines of white italic capitals with a grey shadow."""
    w, h = 600, 100
    img = Image.new("RGB", (w, h), (0, 0, 0))
    d = ImageDraw.Draw(img)
    lines = [("DIRECTORIO TELEFONICO", 38), ("VELMARIO POR INTERNET", 30)]
    fnts = [font("LiberationSerif-BoldItalic.ttf", size) for _, size in lines]
    y = 8
    for (text, _), fnt in zip(lines, fnts):
        box = d.textbbox((0, 0), text, font=fnt)
        x = (w - (box[2] - box[0])) // 2 - box[0]
        d.text((x + 3, y + 3), text, font=fnt, fill=(110, 110, 110))
        d.text((x, y), text, font=fnt, fill=(255, 255, 255))
        y += (box[3] - box[1]) + 14
    img.save(os.path.join(HERE, "banner.bmp"), "BMP")


# The application icon on a 32-unit grid, a generic application window:
# frame, title bar, its button and a blank client. Each shape is a box of
# whole pixels, x0..x1 and y0..y1 inclusive, with a fill and a one-pixel
# outline (either may be None).
ICON_SHAPES = [
    ((255, 255, 255), (0, 0, 0), 1, 3, 30, 28),
    ((0, 0, 128), None, 2, 4, 29, 9),
    ((192, 192, 192), None, 25, 5, 28, 8),
    (None, (128, 128, 128), 3, 11, 28, 27),
]


def icon(size):
    """The icon at one size in pixels."""
    img = Image.new("RGBA", (size, size), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    s = size / 32.0
    for fill, outline, x0, y0, x1, y1 in ICON_SHAPES:
        d.rectangle((x0 * s, y0 * s, x1 * s, y1 * s), fill=fill, outline=outline)
    img.save(os.path.join(HERE, f"icon{size}.png"), "PNG")


def icon_svg():
    """The same icon as a scalable picture, for menus and software centres."""
    def colour(rgb):
        return "#%02x%02x%02x" % rgb

    shapes = []
    for fill, outline, x0, y0, x1, y1 in ICON_SHAPES:
        w, h = x1 - x0 + 1, y1 - y0 + 1
        if fill:
            shapes.append(f'  <rect x="{x0}" y="{y0}" width="{w}" height="{h}" fill="{colour(fill)}"/>')
        if outline:
            shapes.append(f'  <rect x="{x0 + 0.5}" y="{y0 + 0.5}" width="{w - 1}" height="{h - 1}" '
                          f'fill="none" stroke="{colour(outline)}" stroke-width="1"/>')
    svg = ('<svg xmlns="http://www.w3.org/2000/svg" width="32" height="32" viewBox="0 0 32 32">\n'
           + "\n".join(shapes) + "\n</svg>\n")
    with open(os.path.join(HERE, "icon.svg"), "w", encoding="utf-8") as f:
        f.write(svg)


def cog_emblem():
    """Usage emblem: a blue cog wheel with numerals and lettering on a
    transparent ground, as a one-frame interlaced GIF whose last palette entry
    is transparent."""
    w, h = 80, 71
    img = Image.new("RGB", (w, h), (255, 0, 255))
    d = ImageDraw.Draw(img)
    cx, cy = 40, 35
    teeth = 12
    outer, inner = 34, 28
    points = []
    for i in range(teeth * 4):
        angle = 2 * math.pi * i / (teeth * 4)
        radius = outer if (i % 4) in (1, 2) else inner
        points.append((cx + radius * math.cos(angle), cy + radius * math.sin(angle)))
    d.polygon(points, fill=(30, 70, 190))
    d.ellipse((cx - 21, cy - 21, cx + 21, cy + 21), fill=(255, 255, 255))
    d.ellipse((cx - 18, cy - 18, cx + 18, cy + 18), fill=(60, 110, 220))
    d.text((cx, cy - 3), "25", font=font("LiberationSans-Bold.ttf", 17), fill=(255, 255, 255), anchor="mm")
    d.text((cx, cy + 11), "AÑOS", font=font("LiberationSans-Bold.ttf", 7), fill=(255, 230, 120), anchor="mm")
    # 255 colours of the picture plus the transparent one as entry 255.
    quantised = img.convert("P", palette=Image.ADAPTIVE, colors=255)
    palette = quantised.getpalette()[: 255 * 3]
    palette += [0] * (255 * 3 - len(palette))
    mask = [px == (255, 0, 255) or (px[0] > 200 and px[1] < 60 and px[2] > 200) for px in img.getdata()]
    pixels = list(quantised.getdata())
    out = Image.new("P", (w, h))
    out.putpalette(palette + [255, 0, 255])
    out.putdata([255 if m else p for m, p in zip(mask, pixels)])
    out.save(os.path.join(HERE, "cog.gif"), "GIF", transparency=255, interlace=True, optimize=False)


def group_picture():
    """Members picture: an illustration of six people standing side by side
    in a computer room, monitors in the foreground."""
    w, h = 640, 480
    img = Image.new("RGB", (w, h), (214, 210, 196))
    d = ImageDraw.Draw(img)
    d.rectangle((0, 300, w, h), fill=(150, 140, 120))            # floor
    d.rectangle((0, 0, w, 40), fill=(235, 235, 228))             # ceiling
    for x in range(40, w, 150):                                  # ceiling lights
        d.rectangle((x, 12, x + 90, 24), fill=(255, 255, 240))
    d.rectangle((30, 80, 200, 200), fill=(180, 200, 220), outline=(90, 90, 90), width=4)  # window
    d.rectangle((470, 70, 600, 190), fill=(40, 80, 40), outline=(100, 70, 40), width=5)   # board
    shirts = [(180, 40, 40), (40, 90, 170), (230, 200, 60), (60, 140, 80), (120, 60, 140), (230, 120, 40)]
    skins = [(240, 200, 170), (200, 150, 110), (170, 120, 80), (225, 180, 140), (190, 140, 100), (235, 195, 160)]
    hair = [(40, 30, 20), (20, 20, 20), (90, 60, 30), (30, 25, 20), (60, 40, 20), (15, 15, 15)]
    for i in range(6):
        x = 55 + i * 100
        top = 150 + (i % 3) * 8
        d.rectangle((x - 8, top + 215, x + 8, top + 270), fill=(50, 50, 70))    # legs
        d.rectangle((x + 14, top + 215, x + 30, top + 270), fill=(50, 50, 70))
        d.rounded_rectangle((x - 20, top + 62, x + 50, top + 220), radius=18, fill=shirts[i])
        d.ellipse((x - 10, top, x + 40, top + 60), fill=skins[i])
        d.pieslice((x - 12, top - 4, x + 42, top + 40), 180, 360, fill=hair[i])
        d.ellipse((x + 2, top + 24, x + 8, top + 30), fill=(30, 30, 30))
        d.ellipse((x + 22, top + 24, x + 28, top + 30), fill=(30, 30, 30))
        d.arc((x + 6, top + 32, x + 24, top + 48), 20, 160, fill=(120, 40, 40), width=2)
    d.rectangle((0, 380, w, h), fill=(120, 100, 80))              # desks
    for x in range(20, w, 160):                                   # monitors
        d.rectangle((x, 330, x + 120, 420), fill=(225, 222, 205), outline=(90, 90, 80), width=3)
        d.rectangle((x + 10, 340, x + 110, 405), fill=(30, 60, 120))
        d.rectangle((x + 45, 420, x + 75, 445), fill=(200, 196, 180))
        d.rectangle((x + 20, 445, x + 100, 455), fill=(200, 196, 180))
    img = img.filter(ImageFilter.SMOOTH)
    img.save(os.path.join(HERE, "group.jpg"), "JPEG", quality=85)


if __name__ == "__main__":
    emblem()
    banner()
    icon(16)
    icon(32)
    icon_svg()
    cog_emblem()
    group_picture()
