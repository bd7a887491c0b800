#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Builds a TrueType face that carries an embedded bitmap strike.

usage: make_strike_font.py OUTLINE.ttf OUT.ttf BIT_DEPTH [PPEM]

The outline face is copied and given EBLC/EBDT tables with one strike of
BIT_DEPTH (1, 2, 4 or 8) bits per pixel at PPEM pixels per em (default 21, the
size the updater asks for). Every glyph from index 0 to the last one the
Latin-1 characters map to gets a bitmap whose box is the outline's box at that
size, so a strike text lands and spreads like the outline text. The ink is a
full-coverage frame around a ramp of every other level, so that full ink and
the in-between levels both show. Glyphs with an empty outline (the space) get
no bitmap and come from the outline.
"""
import math
import sys

from fontTools.ttLib import TTFont


def pixel_level(x, y, w, h, top):
    if x in (0, w - 1) or y in (0, h - 1):
        return top
    return (x * 3 + y) % (top + 1)


def image_bytes(w, h, depth):
    top = (1 << depth) - 1
    data = bytearray()
    for y in range(h):
        row = bytearray((w * depth + 7) // 8)
        for x in range(w):
            bit = x * depth
            row[bit // 8] |= pixel_level(x, y, w, h, top) << (8 - depth - bit % 8)
        data += row
    return bytes(data)


def glyph_xml(name, glyph, advance, scale, depth):
    # Edges rounded to the nearest pixel, as hinted outlines mostly land; the
    # left one down, so that a glyph reaching left of its origin ('j') keeps
    # its negative bearing.
    left = math.floor(glyph.xMin * scale)
    top = math.floor(glyph.yMax * scale + 0.5)
    w = max(1, math.floor(glyph.xMax * scale + 0.5) - left)
    h = max(1, top - math.floor(glyph.yMin * scale + 0.5))
    return (f'<ebdt_bitmap_format_1 name="{name}"><SmallGlyphMetrics>'
            f'<height value="{h}"/><width value="{w}"/><BearingX value="{left}"/>'
            f'<BearingY value="{top}"/><Advance value="{round(advance * scale)}"/>'
            f'</SmallGlyphMetrics><rawimagedata>{image_bytes(w, h, depth).hex()}'
            '</rawimagedata></ebdt_bitmap_format_1>\n')


def line_metrics(direction, ppem):
    ascender, descender = round(ppem * 0.93), -round(ppem * 0.24)
    fields = dict(ascender=ascender, descender=descender, widthMax=ppem * 2,
                  caretSlopeNumerator=1 if direction == 'hori' else 0,
                  caretSlopeDenominator=0 if direction == 'hori' else 1, caretOffset=0,
                  minOriginSB=0, minAdvanceSB=0, maxBeforeBL=ascender, minAfterBL=descender,
                  pad1=0, pad2=0)
    body = ''.join(f'<{k} value="{v}"/>' for k, v in fields.items())
    return f'<sbitLineMetrics direction="{direction}">{body}</sbitLineMetrics>'


def main():
    outline, out, depth = sys.argv[1], sys.argv[2], int(sys.argv[3])
    ppem = int(sys.argv[4]) if len(sys.argv) > 4 else 21
    if depth not in (1, 2, 4, 8):
        sys.exit('bit depth must be 1, 2, 4 or 8')
    font = TTFont(outline)
    scale = ppem / font['head'].unitsPerEm
    cmap = font.getBestCmap()
    order = font.getGlyphOrder()
    last = max(font.getGlyphID(cmap[c]) for c in range(32, 256) if c in cmap)
    names, bitmaps = [], []
    for name in order[:last + 1]:
        glyph = font['glyf'][name]
        if glyph.numberOfContours == 0:
            continue
        glyph.recalcBounds(font['glyf'])
        names.append(name)
        bitmaps.append(glyph_xml(name, glyph, font['hmtx'][name][0], scale, depth))

    # One index subtable per run of consecutive glyph indices: format 1 needs
    # every index between its first and last.
    runs, run = [], [names[0]]
    for prev, name in zip(names, names[1:]):
        if font.getGlyphID(name) == font.getGlyphID(prev) + 1:
            run.append(name)
        else:
            runs.append(run)
            run = [name]
    runs.append(run)
    subtables = ''.join(
        '<eblc_index_sub_table_1 imageFormat="1" firstGlyphIndex="0" lastGlyphIndex="0">' +
        ''.join(f'<glyphLoc name="{n}"/>' for n in r) + '</eblc_index_sub_table_1>\n'
        for r in runs)
    size_table = (f'<bitmapSizeTable>{line_metrics("hori", ppem)}{line_metrics("vert", ppem)}'
                  f'<colorRef value="0"/><startGlyphIndex value="0"/><endGlyphIndex value="0"/>'
                  f'<ppemX value="{ppem}"/><ppemY value="{ppem}"/><bitDepth value="{depth}"/>'
                  '<flags value="1"/></bitmapSizeTable>')
    xml = ('<?xml version="1.0" encoding="UTF-8"?>\n<ttFont>\n'
           f'<EBDT><header version="2.0"/><strikedata index="0">\n{"".join(bitmaps)}'
           '</strikedata></EBDT>\n'
           f'<EBLC><header version="2.0"/><strike index="0">{size_table}\n{subtables}'
           '</strike></EBLC>\n</ttFont>\n')
    xml_path = out + '.ttx'
    with open(xml_path, 'w') as f:
        f.write(xml)
    font.importXML(xml_path)
    font.save(out)


if __name__ == '__main__':
    main()
