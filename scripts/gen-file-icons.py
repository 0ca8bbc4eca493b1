#!/usr/bin/env python3
"""Writes the file-type icon sources src/resources/file-icons/*.svg.

The icons share one page shape, one fold and one stroke alphabet, so they are generated from the tables below
rather than kept in sync by hand. Edit this script and run it again; the build renders the SVG files to PNG.
Design grid: 64 x 64. Pages are 48 x 56 with the fold at the top right; glyphs are white unless noted.
"""
import pathlib

OUT = pathlib.Path(__file__).resolve().parent.parent / "src" / "resources" / "file-icons"

NAVY = "#1A2A4A"
GOLD = "#C9A84C"

PAGE = "M12 4H42L56 18V56Q56 60 52 60H12Q8 60 8 56V8Q8 4 12 4Z"
FOLD = "M42 4V14Q42 18 46 18H56Z"

# Stroke letters on a grid 6 units high; (width, path).
LETTERS = {
    "A": (4.0, "M0 6L2 0L4 6M0.8 3.8H3.2"),
    "B": (4.0, "M0 3H2.4Q3.7 3 3.7 1.5Q3.7 0 2.4 0H0V6H2.5Q4 6 4 4.5Q4 3 2.5 3"),
    "C": (4.0, "M4 1Q3.4 0 2.1 0Q0 0 0 3Q0 6 2.1 6Q3.4 6 4 5"),
    "D": (4.0, "M0 0V6H1.6Q4 6 4 3Q4 0 1.6 0Z"),
    "E": (3.6, "M3.6 0H0V6H3.6M0 3H3"),
    "F": (3.6, "M3.6 0H0V6M0 3H3"),
    "H": (4.0, "M0 0V6M4 0V6M0 3H4"),
    "K": (4.0, "M0 0V6M4 0L0.3 3.7M1.5 2.5L4 6"),
    "L": (3.6, "M0 0V6H3.6"),
    "M": (5.0, "M0 6V0L2.5 4L5 0V6"),
    "N": (4.0, "M0 6V0L4 6V0"),
    "O": (4.0, "M2 0A2 3 0 0 1 2 6A2 3 0 0 1 2 0Z"),
    "P": (4.0, "M0 6V0H2.3Q4 0 4 1.7Q4 3.4 2.3 3.4H0"),
    "S": (4.0, "M3.8 0.9Q3.2 0 2 0Q0.2 0 0.2 1.5Q0.2 2.8 2 3Q3.9 3.2 3.9 4.5Q3.9 6 2 6Q0.6 6 0 5"),
    "T": (4.0, "M0 0H4M2 0V6"),
    "U": (4.0, "M0 0V4Q0 6 2 6Q4 6 4 4V0"),
    "W": (5.4, "M0 0L1.3 6L2.7 1.6L4.1 6L5.4 0"),
    "X": (4.0, "M0 0L4 6M4 0L0 6"),
}
LETTER_GAP = 1.5      # grid units between letter boxes
LABEL_WIDTH = 36.0    # design units available for a label inside the page
LABEL_CENTRE_Y = 39.0
MAX_SCALE = 3.0
STROKE = 1.2          # letter stroke, in grid units


def shade(hex_colour, factor):
    """Darkens (factor < 1) or lightens (factor > 1, towards white) a colour."""
    r, g, b = (int(hex_colour[i:i + 2], 16) for i in (1, 3, 5))
    if factor <= 1:
        r, g, b = (round(c * factor) for c in (r, g, b))
    else:
        t = factor - 1
        r, g, b = (round(c + (255 - c) * t) for c in (r, g, b))
    return "#%02X%02X%02X" % (r, g, b)


def label(text, colour="#FFFFFF"):
    widths = [LETTERS[ch][0] for ch in text]
    total = sum(widths) + LETTER_GAP * (len(text) - 1) + STROKE
    scale = min(MAX_SCALE, LABEL_WIDTH / total)
    x = 32 - total * scale / 2 + STROKE * scale / 2
    y = LABEL_CENTRE_Y - 3 * scale
    parts = []
    offset = 0.0
    for ch, w in zip(text, widths):
        parts.append(f'    <path transform="translate({offset:g} 0)" d="{LETTERS[ch][1]}"/>')
        offset += w + LETTER_GAP
    return (f'  <!-- label "{text}" -->\n'
            f'  <g transform="translate({x:.2f} {y:.2f}) scale({scale:.3f})" fill="none" stroke="{colour}"'
            f' stroke-width="{STROKE}" stroke-linecap="round" stroke-linejoin="round">\n'
            + "\n".join(parts) + "\n  </g>\n")


def coloured_page(colour, glyph):
    return (f'  <defs>\n'
            f'    <linearGradient id="page" x1="0" y1="0" x2="0" y2="1">\n'
            f'      <stop offset="0" stop-color="{shade(colour, 1.12)}"/>\n'
            f'      <stop offset="1" stop-color="{shade(colour, 0.88)}"/>\n'
            f'    </linearGradient>\n'
            f'  </defs>\n'
            f'  <path d="{PAGE}" fill="url(#page)"/>\n'
            f'  <path d="{FOLD}" fill="#FFFFFF" fill-opacity="0.45"/>\n'
            + glyph)


def white_page(border, fold, glyph):
    return (f'  <path d="{PAGE}" fill="#FFFFFF" stroke="{border}" stroke-width="2.5" stroke-linejoin="round"/>\n'
            f'  <path d="{FOLD}" fill="{fold}" stroke="{border}" stroke-width="2.5" stroke-linejoin="round"/>\n'
            + glyph)


def lines(ys, x0, x1, last_x1, colour, width=3.6):
    d = "".join(f"M{x0} {y}H{x1 if i < len(ys) - 1 else last_x1}" for i, y in enumerate(ys))
    return (f'  <path d="{d}" fill="none" stroke="{colour}" stroke-width="{width}"'
            f' stroke-linecap="round"/>\n')


GLYPHS = {
    "doc": ("document: blue page with paragraph lines", lambda: coloured_page(
        "#1C7ED6", lines([27, 34, 41, 48], 18, 46, 36, "#FFFFFF"))),
    "xls": ("spreadsheet: green page with a table", lambda: coloured_page("#2B8A3E", (
        '  <rect x="17" y="24" width="30" height="8.7" fill="#FFFFFF" fill-opacity="0.45"/>\n'
        '  <g fill="none" stroke="#FFFFFF" stroke-width="2.6" stroke-linejoin="round">\n'
        '    <rect x="17" y="24" width="30" height="26" rx="2"/>\n'
        '    <path d="M27 24V50M37 24V50M17 32.7H47M17 41.3H47"/>\n'
        '  </g>\n'))),
    "ppt": ("presentation: orange page with a pie chart", lambda: coloured_page("#E8590C", (
        '  <path d="M30 40V27A13 13 0 1 0 43 40Z" fill="#FFFFFF"/>\n'
        '  <path d="M33.5 36.5H46.5A13 13 0 0 0 33.5 23.5Z" fill="#FFFFFF" fill-opacity="0.7"/>\n'))),
    "pdf": ("PDF: red page", lambda: coloured_page("#E03131", label("PDF"))),
    "txt": ("plain text: white page with grey lines", lambda: white_page(
        "#8A94A6", "#E6EAF0", lines([29, 36, 43, 50], 17, 47, 37, "#8A94A6", 3.2))),
    "file": ("anything else: white page with a gold fold", lambda: white_page(
        "#8A94A6", GOLD, "")),
    "md": ("markdown: graphite page with M and a down arrow", lambda: coloured_page("#343A40", (
        '  <path d="M16 47V30L22 38L28 30V47M40 30V46M34.5 40.5L40 46.5L45.5 40.5" fill="none"'
        ' stroke="#FFFFFF" stroke-width="3.4" stroke-linecap="round" stroke-linejoin="round"/>\n'))),
    "code": ("source code: indigo page with angle brackets", lambda: coloured_page("#4C3FD0", (
        '  <path d="M24 30L16 38.5L24 47M40 30L48 38.5L40 47M35.5 27L28.5 50" fill="none" stroke="#FFFFFF"'
        ' stroke-width="3.6" stroke-linecap="round" stroke-linejoin="round"/>\n'))),
    "jpg": ("image: cyan page with sun and mountains", lambda: coloured_page("#1098AD", (
        '  <circle cx="40" cy="28.5" r="4.5" fill="#FFE08A"/>\n'
        '  <path d="M15 51L27 34L35 45L39.5 39.5L49 51Z" fill="#FFFFFF" stroke="#FFFFFF" stroke-width="2"'
        ' stroke-linejoin="round"/>\n'))),
    "mp4": ("video: purple page with a play triangle", lambda: coloured_page("#AE3EC9", (
        '  <path d="M26 28.5L43 39L26 49.5Z" fill="#FFFFFF" stroke="#FFFFFF" stroke-width="3"'
        ' stroke-linejoin="round"/>\n'))),
    "mp3": ("audio: pink page with a note", lambda: coloured_page("#D6336C", (
        '  <path d="M27.5 47V29.5L44 26V43.5" fill="none" stroke="#FFFFFF" stroke-width="3.2"'
        ' stroke-linecap="round" stroke-linejoin="round"/>\n'
        '  <ellipse cx="23.5" cy="47.5" rx="5" ry="4.2" fill="#FFFFFF"/>\n'
        '  <ellipse cx="40" cy="44" rx="5" ry="4.2" fill="#FFFFFF"/>\n'))),
    "zip": ("archive: amber page with a navy zipper", lambda: coloured_page("#F59F00", (
        f'  <g fill="{NAVY}">\n'
        '    <rect x="27" y="4" width="5" height="3.5"/>\n'
        '    <rect x="32" y="8" width="5" height="3.5"/>\n'
        '    <rect x="27" y="12" width="5" height="3.5"/>\n'
        '    <rect x="32" y="16" width="5" height="3.5"/>\n'
        '    <rect x="27" y="20" width="5" height="3.5"/>\n'
        '    <rect x="32" y="24" width="5" height="3.5"/>\n'
        '  </g>\n'
        f'  <rect x="25.5" y="29.5" width="13" height="19" rx="3" fill="{NAVY}"/>\n'
        '  <rect x="29" y="38" width="6" height="6.5" rx="1.5" fill="#F59F00"/>\n'))),
    "exe": ("program: navy page with a gold window", lambda: coloured_page(NAVY, (
        f'  <rect x="16.5" y="26" width="31" height="23" rx="3" fill="none" stroke="{GOLD}" stroke-width="3"/>\n'
        f'  <rect x="16.5" y="26" width="31" height="7" rx="2" fill="{GOLD}"/>\n'
        f'  <path d="M22 40.5H34M22 44.5H29" stroke="{GOLD}" stroke-width="2.4" stroke-linecap="round"/>\n'))),
    "apk": ("Android package: green page", lambda: coloured_page("#5C940D", label("APK"))),
}

# Formats known only by their extension: a page in a colour of its own with the extension spelled out.
LABELLED = {
    "cut": "#0CA678", "dat": "#5C677D", "dxf": "#0B7285", "mdl": "#5F3DC4", "mot": "#1864AB",
    "mtl": "#A61E4D", "pat": "#6F4E37", "plt": "#2F9E44", "slw": "#3B5BDB", "boke": "#862E9C",
    "hlw": "#087F5B", "klw": "#E67700", "nsp": "#9C6644", "ntp": "#C2255C", "sdt": NAVY,
}

FOLDER = (
    '  <defs>\n'
    '    <linearGradient id="front" x1="0" y1="0" x2="0" y2="1">\n'
    '      <stop offset="0" stop-color="#E2C877"/>\n'
    '      <stop offset="1" stop-color="#C9A84C"/>\n'
    '    </linearGradient>\n'
    '  </defs>\n'
    '  <!-- back with its tab -->\n'
    '  <path d="M5 14Q5 9 10 9H24Q26 9 27.5 10.5L31 14H54Q59 14 59 19V49Q59 54 54 54H10Q5 54 5 49Z"'
    ' fill="#A9862E"/>\n'
    '  <!-- front -->\n'
    '  <path d="M5 24Q5 20 9 20H55Q59 20 59 24V49Q59 54 54 54H10Q5 54 5 49Z" fill="url(#front)"/>\n'
    '  <path d="M9 23.5H55" stroke="#FFFFFF" stroke-opacity="0.5" stroke-width="1.5" stroke-linecap="round"/>\n'
)


def write(name, title, body):
    text = ('<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64" viewBox="0 0 64 64">\n'
            f'  <!-- {title}. Generated by scripts/gen-file-icons.py. -->\n' + body + '</svg>\n')
    (OUT / f"{name}.svg").write_text(text)


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    for name, (title, build) in GLYPHS.items():
        write(name, title, build())
    for name, colour in LABELLED.items():
        glyph_colour = GOLD if colour == NAVY else "#FFFFFF"
        write(name, f"{name} files: labelled page", coloured_page(colour, label(name.upper(), glyph_colour)))
    write("folder", "folder: gold", FOLDER)
    print(len(list(OUT.glob("*.svg"))), "icons in", OUT)


if __name__ == "__main__":
    main()
