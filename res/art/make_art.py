#!/usr/bin/env python3
"""Generate the updater window artwork.

Writes, next to this folder (i.e. into res/):
  background.bmp  368x91  window skin with the two progress troughs
  bar.bmp         12x10   progress fill, stretched horizontally by the program
  button.bmp      212x20  Cancel button, 4 frames: normal, hover, pressed, disabled
  icon.ico        64x64   32-bit icon (BMP entry with AND mask, no PNG)

Only PIL and the WenQuanYi Micro Hei font are needed. Output is deterministic:
BMP and ICO files are written by hand, so no timestamps or metadata creep in.
Run:  python3 res/art/make_art.py
"""
import os
import struct

from PIL import Image, ImageDraw, ImageFont

RES = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FONT = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc"

# Geometry the program relies on (see the window painting code).
W, H = 368, 91
TROUGHS = [(10, 36), (10, 51)]          # top-left corners, each 345 x 12
TROUGH_W, TROUGH_H = 345, 12
STRIP_TOP = 65                          # light strip for speed text and button
BTN_W, BTN_H, BTN_FRAMES = 53, 20, 4

PANEL_TOP, PANEL_BOTTOM = (40, 104, 178), (18, 58, 118)
STRIP = (236, 241, 247)                 # light strip colour, also button backdrop
SS = 4                                  # supersampling factor for smooth shapes


def font(size):
    return ImageFont.truetype(FONT, size, index=0)


def lerp(a, b, t):
    return tuple(round(x + (y - x) * t) for x, y in zip(a, b))


def vgradient(img, box, top, bottom):
    """Fill box (x0, y0, x1, y1, inclusive) with a vertical gradient."""
    x0, y0, x1, y1 = box
    d = ImageDraw.Draw(img)
    for y in range(y0, y1 + 1):
        t = (y - y0) / max(1, y1 - y0)
        d.line([(x0, y), (x1, y)], fill=lerp(top, bottom, t))


def write_bmp(path, img):
    """24-bit uncompressed bottom-up BMP (BITMAPINFOHEADER, BI_RGB)."""
    img = img.convert("RGB")
    w, h = img.size
    stride = (w * 3 + 3) & ~3
    raw = img.tobytes("raw", "BGR")
    rows = [raw[y * w * 3:(y + 1) * w * 3].ljust(stride, b"\0")
            for y in range(h - 1, -1, -1)]
    data = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(data),
                       2835, 2835, 0, 0)
    head = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(data), 0, 0,
                       14 + len(info))
    with open(path, "wb") as f:
        f.write(head + info + data)


def write_ico(path, img):
    """Single-image ICO: 32-bit BGRA DIB (double height) plus 1-bit AND mask."""
    img = img.convert("RGBA")
    w, h = img.size
    px = img.load()
    xor = bytearray()
    mask = bytearray()
    mask_stride = ((w + 31) // 32) * 4
    for y in range(h - 1, -1, -1):
        row = bytearray(mask_stride)
        for x in range(w):
            r, g, b, a = px[x, y]
            xor += bytes((b, g, r, a))
            if a == 0:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += row
    info = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0,
                       len(xor) + len(mask), 0, 0, 0, 0)
    entry = info + bytes(xor) + bytes(mask)
    head = struct.pack("<HHH", 0, 1, 1)
    dirent = struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 32,
                         len(entry), 6 + 16)
    with open(path, "wb") as f:
        f.write(head + dirent + entry)


def bold_text(d, xy, text, fnt, fill, spacing=0):
    """Draw text twice, 1px apart, for a heavier face; optional letter spacing."""
    x, y = xy
    for ch in text:
        d.text((x, y), ch, font=fnt, fill=fill)
        d.text((x + 1, y), ch, font=fnt, fill=fill)
        x += round(d.textlength(ch, font=fnt)) + 1 + spacing
    return x


def make_background():
    img = Image.new("RGB", (W, H))
    d = ImageDraw.Draw(img)
    # Deep blue panel with a soft vertical gradient, light strip underneath.
    vgradient(img, (0, 0, W - 1, STRIP_TOP - 2), PANEL_TOP, PANEL_BOTTOM)
    d.line([(0, STRIP_TOP - 1), (W - 1, STRIP_TOP - 1)], fill=(112, 150, 198))
    d.rectangle([0, STRIP_TOP, W - 1, H - 1], fill=STRIP)
    # Window frame: dark outline with a faint inner highlight on the panel.
    d.rectangle([0, 0, W - 1, H - 1], outline=(12, 38, 80))
    d.line([(1, 1), (W - 2, 1)], fill=(92, 148, 210))

    # Title: "UPDATE" in spaced bold caps, then the Chinese status text.
    x = bold_text(d, (14, 7), "UPDATE", font(17), (255, 255, 255), spacing=2)
    d.line([(x + 6, 11), (x + 6, 24)], fill=(96, 140, 196))
    d.text((x + 14, 9), "更新中..", font=font(14), fill=(196, 220, 248))

    # Progress troughs: light, plain inside, with a sunken edge.
    for tx, ty in TROUGHS:
        x1, y1 = tx + TROUGH_W - 1, ty + TROUGH_H - 1
        # Soft dark rim, a shade below the panel colour around it.
        for y in range(ty - 1, y1 + 2):
            rim = lerp(img.getpixel((tx - 2, y)), (0, 16, 48), 0.45)
            if y in (ty - 1, y1 + 1):
                d.line([(tx - 1, y), (x1 + 1, y)], fill=rim)
            else:
                d.point([(tx - 1, y), (x1 + 1, y)], fill=rim)
        d.rectangle([tx, ty, x1, y1], fill=(226, 232, 241))
        d.line([(tx, ty), (x1, ty)], fill=(128, 146, 172))       # top shadow
        d.line([(tx, ty), (tx, y1)], fill=(128, 146, 172))       # left shadow
        d.line([(tx + 1, y1), (x1, y1)], fill=(250, 252, 255))   # bottom light
        d.line([(x1, ty + 1), (x1, y1)], fill=(250, 252, 255))   # right light
    return img


def make_bar():
    img = Image.new("RGB", (12, 10))
    vgradient(img, (0, 0, 11, 9), (150, 212, 255), (52, 140, 226))
    d = ImageDraw.Draw(img)
    d.line([(0, 0), (11, 0)], fill=(196, 234, 255))   # glossy top edge
    return img


def button_frame(face_top, face_bottom, border, text, offset=0):
    """One 53x20 rounded button drawn over the strip colour."""
    big = Image.new("RGB", (BTN_W * SS, BTN_H * SS), STRIP)
    d = ImageDraw.Draw(big)
    box = [0, 0, BTN_W * SS - 1, BTN_H * SS - 1]
    d.rounded_rectangle(box, radius=4 * SS, fill=border)
    face = Image.new("RGB", big.size)
    vgradient(face, (0, 0, big.width - 1, big.height - 1), face_top, face_bottom)
    m = Image.new("L", big.size, 0)
    ImageDraw.Draw(m).rounded_rectangle(
        [SS, SS, big.width - 1 - SS, big.height - 1 - SS], radius=3 * SS, fill=255)
    big.paste(face, (0, 0), m)
    img = big.resize((BTN_W, BTN_H), Image.BOX)
    d = ImageDraw.Draw(img)
    fnt = font(12)
    tw = d.textlength("取消", font=fnt)
    l, t, r, b = d.textbbox((0, 0), "取消", font=fnt)
    x = round((BTN_W - tw) / 2) + offset
    y = round((BTN_H - (b - t)) / 2 - t) + offset
    d.text((x, y), "取消", font=fnt, fill=text)
    return img


def make_button():
    frames = [
        button_frame((255, 255, 255), (214, 224, 238), (98, 124, 160), (24, 40, 66)),
        button_frame((255, 255, 255), (226, 240, 255), (48, 122, 206), (14, 60, 130)),
        button_frame((190, 204, 224), (220, 230, 242), (48, 92, 150), (14, 40, 80), 1),
        button_frame((234, 236, 239), (222, 225, 229), (178, 184, 192), (150, 156, 164)),
    ]
    img = Image.new("RGB", (BTN_W * BTN_FRAMES, BTN_H))
    for i, f in enumerate(frames):
        img.paste(f, (i * BTN_W, 0))
    return img


def make_icon():
    n = 64 * SS
    # Transparent pixels carry the panel blue so edges do not darken on resize.
    img = Image.new("RGBA", (n, n), (30, 90, 170, 0))
    grad = Image.new("RGB", (n, n))
    vgradient(grad, (0, 0, n - 1, n - 1), (66, 150, 238), (20, 70, 160))
    m = Image.new("L", (n, n), 0)
    ImageDraw.Draw(m).rounded_rectangle([2 * SS, 2 * SS, n - 1 - 2 * SS, n - 1 - 2 * SS],
                                        radius=14 * SS, fill=255)
    img.paste(grad.convert("RGBA"), (0, 0), m)
    d = ImageDraw.Draw(img)
    white = (255, 255, 255, 255)
    c, r, wdt = 32 * SS, 20 * SS, 5 * SS
    # Circular "refresh" ring, open at the top right, with an arrow head.
    d.arc([c - r, c - r, c + r, c + r], start=-40, end=270, fill=white, width=wdt)
    hx, hy = c, c - r + wdt // 2           # ring end point (top, angle 270)
    d.polygon([(hx + 9 * SS, hy), (hx - 1 * SS, hy - 7 * SS), (hx - 1 * SS, hy + 7 * SS)],
              fill=white)
    # Down arrow in the middle.
    d.rectangle([c - 2 * SS, c - 9 * SS, c + 2 * SS, c + 2 * SS], fill=white)
    d.polygon([(c - 7 * SS, c + 1 * SS), (c + 7 * SS, c + 1 * SS), (c, c + 9 * SS)],
              fill=white)
    return img.resize((64, 64), Image.LANCZOS)


def main():
    write_bmp(os.path.join(RES, "background.bmp"), make_background())
    write_bmp(os.path.join(RES, "bar.bmp"), make_bar())
    write_bmp(os.path.join(RES, "button.bmp"), make_button())
    write_ico(os.path.join(RES, "icon.ico"), make_icon())


if __name__ == "__main__":
    main()
