#!/usr/bin/env python3
"""Draws CorvantileUpdater's icon and writes res/CorvantileUpdater.ico.

The picture is the vector description SCENE below, drawn at every size by supersampling the pixels that a shape's
edge crosses. The .ico holds ten images, in this order:
  16x16 at 4, 8 and 32 bits per pixel; 32x32 at 4, 8 and 32; 48x48 at 8 and 32; 256x256 at 8 and 32.
Below 256 they are DIBs with an AND mask taken from the alpha channel; both 256x256 images are PNG (RGBA, and
palettized with tRNS).

The output is the same bytes on every machine: only IEEE arithmetic and square roots go into the pixels, and the PNG
data are deflated by the small encoder below rather than by zlib, whose output differs between zlib builds.

Usage: make-icon.py [--check] [--out FILE.ico] [--preview FILE.png]
  --check    regenerate in memory; exit 1 if the .ico differs from what this script makes
  --preview  also write a sheet of all ten images as stored, enlarged, over a checkerboard
"""
import math
import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_ICO = os.path.normpath(os.path.join(HERE, "..", "CorvantileUpdater.ico"))

# (size, bits per pixel), in the order of the icon directory.
IMAGES = [(16, 4), (16, 8), (16, 32), (32, 4), (32, 8), (32, 32), (48, 8), (48, 32), (256, 8), (256, 32)]

SUPERSAMPLE = 8  # 8x8 samples in every pixel that an edge crosses

# ---------------------------------------------------------------------------------------------------------------
# Shapes: functions of a point (x, y) in the unit square (y down) that return a signed distance, negative inside.
# Outside a shape it may be less than the true distance, never more: a pixel whose centre is further from the edge
# than half its diagonal is then surely all in or all out and needs no samples.


def circle(cx, cy, r):
    return lambda x, y: math.sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy)) - r


def rounded_box(x0, y0, x1, y1, r):
    cx, cy, hx, hy = (x0 + x1) / 2, (y0 + y1) / 2, (x1 - x0) / 2 - r, (y1 - y0) / 2 - r

    def distance(x, y):
        qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
        ox, oy = max(qx, 0.0), max(qy, 0.0)
        return math.sqrt(ox * ox + oy * oy) + min(max(qx, qy), 0.0) - r
    return distance


def stroke(points, half_width):
    """A polyline drawn with round caps and joins."""
    segments = list(zip(points, points[1:]))

    def distance(x, y):
        best = None
        for (ax, ay), (bx, by) in segments:
            dx, dy = bx - ax, by - ay
            t = ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)
            t = min(max(t, 0.0), 1.0)
            px, py = x - ax - t * dx, y - ay - t * dy
            d = math.sqrt(px * px + py * py)
            best = d if best is None or d < best else best
        return best - half_width
    return distance


def unit(x, y):
    length = math.sqrt(x * x + y * y)
    return x / length, y / length


def half_plane(px, py, dx, dy):
    """Signed distance to the line through (px, py) along (dx, dy); negative on its left as seen on screen."""
    dx, dy = unit(dx, dy)
    return lambda x, y: dx * (y - py) - dy * (x - px)


def convex(*shapes):
    return lambda x, y: max(shape(x, y) for shape in shapes)


def union(*shapes):
    return lambda x, y: min(shape(x, y) for shape in shapes)


def circular_arrow(cx, cy, radius, half_width, head, tail, head_length, head_half_width):
    """A ring running clockwise from the direction `tail` round to the direction `head`, where an arrowhead
    points on clockwise. The gap between head and tail (clockwise from head) must be less than half a turn."""
    hx, hy = unit(*head)
    tx, ty = unit(*tail)

    def gap(x, y):
        # Clockwise of the head's radius and anticlockwise of the tail's.
        return max(-(hx * (y - cy) - hy * (x - cx)), tx * (y - cy) - ty * (x - cx))

    def ring(x, y):
        return abs(math.sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy)) - radius) - half_width

    # Clockwise tangent at the head (y down): the head direction turned a quarter clockwise.
    px, py = -hy, hx
    mx, my = cx + radius * hx, cy + radius * hy
    inner = (mx - head_half_width * hx, my - head_half_width * hy)
    outer = (mx + head_half_width * hx, my + head_half_width * hy)
    tip = (mx + head_length * px, my + head_length * py)
    arrowhead = triangle(inner, outer, tip)
    return union(lambda x, y: max(ring(x, y), -gap(x, y)), arrowhead)


def triangle(a, b, c):
    # Orient the edges so that the inside is on their left, whatever order the corners come in.
    if (b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0]) > 0:
        b, c = c, b
    edges = [(a, b), (b, c), (c, a)]
    return convex(*(half_plane(p[0], p[1], q[0] - p[0], q[1] - p[1]) for p, q in edges))


# Paints: functions of a point that return (r, g, b) in 0..1.

def rgb(hex_colour):
    value = int(hex_colour.lstrip("#"), 16)
    return ((value >> 16) / 255, ((value >> 8) & 255) / 255, (value & 255) / 255)


def flat(hex_colour):
    colour = rgb(hex_colour)
    return lambda x, y: colour


def vertical_gradient(y0, top, y1, bottom):
    a, b = rgb(top), rgb(bottom)

    def paint(x, y):
        t = min(max((y - y0) / (y1 - y0), 0.0), 1.0)
        return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))
    return paint


# ---------------------------------------------------------------------------------------------------------------
# The picture: a blue rounded tile with a white clockwise arrow that runs round into a green badge with a white
# tick, for "brought up to date". The tile's edges fall on pixel edges at every size (1/16 inset), and the arrow is
# 2 px wide at 16x16 so it survives the smallest size.

TILE = rounded_box(0.0625, 0.0625, 0.9375, 0.9375, 0.17)
TILE_PAINT = vertical_gradient(0.0625, "#4F97E3", 0.9375, "#1F5CA8")

SCENE = [
    (TILE, TILE_PAINT),
    # Clockwise from the bottom round to the right, where the head points down at the badge.
    (circular_arrow(0.4375, 0.4375, 0.25, 0.0625, head=(1.0, -0.84), tail=(0.27, 1.0),
                    head_length=0.19, head_half_width=0.18), flat("#FFFFFF")),
    # A ring of tile round the badge keeps it apart from the arrow.
    (convex(circle(0.75, 0.75, 0.235), TILE), TILE_PAINT),
    (circle(0.75, 0.75, 0.19), vertical_gradient(0.56, "#45C565", 0.94, "#21904A")),
    (stroke([(0.665, 0.755), (0.725, 0.815), (0.835, 0.69)], 0.034), flat("#FFFFFF")),
]


def render(size):
    """Rows of (r, g, b, a) bytes, straight (not premultiplied) alpha."""
    pixel = 1.0 / size
    sure = 0.7072 * pixel  # half a pixel's diagonal, rounded up
    offsets = [(i + 0.5) / SUPERSAMPLE * pixel - pixel / 2 for i in range(SUPERSAMPLE)]
    samples = SUPERSAMPLE * SUPERSAMPLE
    rows = []
    for row in range(size):
        y = (row + 0.5) * pixel
        line = []
        for column in range(size):
            x = (column + 0.5) * pixel
            r = g = b = a = 0.0  # premultiplied
            for shape, paint in SCENE:
                d = shape(x, y)
                if d >= sure:
                    continue
                if d <= -sure:
                    coverage = 1.0
                else:
                    inside = 0
                    for oy in offsets:
                        for ox in offsets:
                            if shape(x + ox, y + oy) < 0:
                                inside += 1
                    if not inside:
                        continue
                    coverage = inside / samples
                cr, cg, cb = paint(x, y)
                keep = 1.0 - coverage
                r, g, b, a = cr * coverage + r * keep, cg * coverage + g * keep, cb * coverage + b * keep, \
                    coverage + a * keep
            if a > 0:
                line.append((byte(r / a), byte(g / a), byte(b / a), byte(a)))
            else:
                line.append((0, 0, 0, 0))
        rows.append(line)
    return rows


def byte(value):
    return min(max(int(value * 255 + 0.5), 0), 255)


# ---------------------------------------------------------------------------------------------------------------
# Palettes: median cut that splits the box with the largest squared error where the split lowers it most, so a few
# pixels of a distinct colour (the green badge) get an entry of their own; then a few rounds of k-means.

def fit_palette(histogram, count, rounds):
    """histogram: {colour tuple: pixels}. Returns up to `count` colour tuples of floats."""
    def stats(colours):
        n = sum(histogram[c] for c in colours)
        mean = tuple(sum(c[i] * histogram[c] for c in colours) / n for i in range(dims))
        error = sum(histogram[c] * sum((c[i] - mean[i]) ** 2 for i in range(dims)) for c in colours)
        return error, mean

    colours = sorted(histogram)
    if not colours:
        return []
    dims = len(colours[0])
    if len(colours) <= count:
        return [tuple(float(v) for v in c) for c in colours]
    boxes = [(stats(colours)[0], colours)]
    while len(boxes) < count:
        index = max(range(len(boxes)), key=lambda i: (boxes[i][0], -i))
        error, box = boxes[index]
        if error <= 0 or len(box) < 2:
            break
        best = None
        for channel in range(dims):
            ordered = sorted(box, key=lambda c: (c[channel], c))
            # Sums of weight, value and squared value along this channel, for the error of each split.
            total_w = sum(histogram[c] for c in ordered)
            total_s = sum(histogram[c] * c[channel] for c in ordered)
            total_q = sum(histogram[c] * c[channel] * c[channel] for c in ordered)
            w = s = q = 0
            for split in range(1, len(ordered)):
                c = ordered[split - 1]
                w, s, q = w + histogram[c], s + histogram[c] * c[channel], q + histogram[c] * c[channel] * c[channel]
                if ordered[split][channel] == c[channel]:
                    continue
                left = q - s * s / w
                right = (total_q - q) - (total_s - s) ** 2 / (total_w - w)
                if best is None or left + right < best[0]:
                    best = (left + right, ordered[:split], ordered[split:])
        if best is None:  # every colour alike in all channels cannot happen for distinct colours
            break
        del boxes[index]
        boxes.append((stats(best[1])[0], best[1]))
        boxes.append((stats(best[2])[0], best[2]))
    palette = [stats(box)[1] for _, box in boxes]
    for _ in range(rounds):
        sums = [[0.0] * (dims + 1) for _ in palette]
        for c in colours:
            i = nearest(palette, c)
            n = histogram[c]
            for k in range(dims):
                sums[i][k] += c[k] * n
            sums[i][dims] += n
        palette = [tuple(s[k] / s[dims] for k in range(dims)) if s[dims] else p for s, p in zip(sums, palette)]
    return palette


def nearest(palette, colour):
    best, best_index = None, 0
    for index, entry in enumerate(palette):
        d = 0.0
        for k in range(len(colour)):
            d += (entry[k] - colour[k]) * (entry[k] - colour[k])
        if best is None or d < best:
            best, best_index = d, index
    return best_index


def palettize_opaque(pixels, bits):
    """For a DIB: index rows and a palette of (r, g, b); pixels under half alpha are masked and take index 0,
    black, so the XOR pass leaves the screen as it is."""
    histogram = {}
    for line in pixels:
        for r, g, b, a in line:
            if a >= 128:
                histogram[(r, g, b)] = histogram.get((r, g, b), 0) + 1
    fitted = fit_palette(histogram, (1 << bits) - 1, 8 if bits == 4 else 2)
    palette = [(0, 0, 0)] + [tuple(byte(v / 255) for v in entry) for entry in fitted]
    palette += [(0, 0, 0)] * ((1 << bits) - len(palette))
    lookup = {colour: 1 + nearest(palette[1:len(fitted) + 1], colour) for colour in histogram}
    indices = [[lookup[(r, g, b)] if a >= 128 else 0 for r, g, b, a in line] for line in pixels]
    return indices, palette


def palettize_alpha(pixels):
    """For the 8-bit PNG: entries carry alpha (tRNS). Colours are fitted premultiplied, so faint edge pixels count
    for little; entry 0 is fully transparent."""
    histogram = {}
    for line in pixels:
        for r, g, b, a in line:
            if a:
                key = (r * a / 255, g * a / 255, b * a / 255, float(a))
                histogram[key] = histogram.get(key, 0) + 1
    fitted = fit_palette(histogram, 255, 2)
    palette = [(0, 0, 0, 0)]
    for pr, pg, pb, pa in fitted:
        alpha = byte(pa / 255)
        if alpha == 0:
            alpha = 1
        palette.append((byte(pr / pa), byte(pg / pa), byte(pb / pa), alpha))
    lookup = {key: 1 + nearest(fitted, key) for key in histogram}
    indices = [[lookup[(r * a / 255, g * a / 255, b * a / 255, float(a))] if a else 0 for r, g, b, a in line]
               for line in pixels]
    return indices, palette


# ---------------------------------------------------------------------------------------------------------------
# Encoders.

def and_mask(pixels):
    """1-bpp mask, bottom-up, rows padded to 4 bytes; a set bit is transparent."""
    size = len(pixels)
    stride = (size + 31) // 32 * 4
    out = bytearray()
    for line in reversed(pixels):
        row = bytearray(stride)
        for column, (_, _, _, a) in enumerate(line):
            if a < 128:
                row[column >> 3] |= 0x80 >> (column & 7)
        out += row
    return bytes(out)


def dib(pixels, bits):
    size = len(pixels)
    stride = (size * bits + 31) // 32 * 4
    xor = bytearray()
    palette_bytes = b""
    if bits == 32:
        for line in reversed(pixels):
            row = bytearray(stride)
            for column, (r, g, b, a) in enumerate(line):
                row[column * 4:column * 4 + 4] = bytes((b, g, r, a))
            xor += row
    else:
        indices, palette = palettize_opaque(pixels, bits)
        palette_bytes = b"".join(struct.pack("<4B", b, g, r, 0) for r, g, b in palette)
        for line in reversed(indices):
            row = bytearray(stride)
            for column, index in enumerate(line):
                if bits == 8:
                    row[column] = index
                else:
                    row[column >> 1] |= index << (4 if column % 2 == 0 else 0)
            xor += row
    mask = and_mask(pixels)
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, bits, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return header + palette_bytes + bytes(xor) + mask


def png(pixels, bits):
    size = len(pixels)
    if bits == 32:
        raw = filter_rows([bytes(v for p in line for v in p) for line in pixels], 4)
        header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
        chunks = [(b"IHDR", header)]
    else:
        indices, palette = palettize_alpha(pixels)
        # Palette images compress best unfiltered.
        raw = b"".join(b"\0" + bytes(line) for line in indices)
        header = struct.pack(">IIBBBBB", size, size, 8, 3, 0, 0, 0)
        chunks = [(b"IHDR", header), (b"PLTE", bytes(v for entry in palette for v in entry[:3])),
                  (b"tRNS", bytes(entry[3] for entry in palette))]
    chunks += [(b"IDAT", zlib_stream(raw)), (b"IEND", b"")]
    out = bytearray(b"\x89PNG\r\n\x1a\n")
    for kind, data in chunks:
        out += struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return bytes(out)


def filter_rows(rows, bpp):
    """Per row, the PNG filter with the smallest sum of absolute differences (the usual heuristic)."""
    out = bytearray()
    previous = bytes(len(rows[0]))
    for row in rows:
        candidates = []
        for kind in range(5):
            filtered = bytearray(len(row))
            for i, value in enumerate(row):
                left = row[i - bpp] if i >= bpp else 0
                up = previous[i]
                upper_left = previous[i - bpp] if i >= bpp else 0
                if kind == 0:
                    predictor = 0
                elif kind == 1:
                    predictor = left
                elif kind == 2:
                    predictor = up
                elif kind == 3:
                    predictor = (left + up) >> 1
                else:
                    p = left + up - upper_left
                    pa, pb, pc = abs(p - left), abs(p - up), abs(p - upper_left)
                    predictor = left if pa <= pb and pa <= pc else up if pb <= pc else upper_left
                filtered[i] = (value - predictor) & 255
            cost = sum(v if v < 128 else 256 - v for v in filtered)
            candidates.append((cost, kind, filtered))
        cost, kind, filtered = min(candidates, key=lambda c: (c[0], c[1]))
        out.append(kind)
        out += filtered
        previous = row
    return bytes(out)


# Deflate with the fixed Huffman codes and greedy LZ77 matching.
LENGTH_BASE = [3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163,
               195, 227, 258]
LENGTH_EXTRA = [0] * 8 + [1] * 4 + [2] * 4 + [3] * 4 + [4] * 4 + [5] * 4 + [0]
DISTANCE_BASE = [1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193, 257, 385, 513, 769, 1025, 1537, 2049,
                 3073, 4097, 6145, 8193, 12289, 16385, 24577]
DISTANCE_EXTRA = [0, 0, 0, 0] + [n for n in range(1, 14) for _ in (0, 1)]


def reversed_bits(code, length):
    return int(format(code, f"0{length}b")[::-1], 2)


def fixed_literal_codes():
    codes = []
    for symbol in range(288):
        if symbol < 144:
            code, length = 0x30 + symbol, 8
        elif symbol < 256:
            code, length = 0x190 + symbol - 144, 9
        elif symbol < 280:
            code, length = symbol - 256, 7
        else:
            code, length = 0xC0 + symbol - 280, 8
        codes.append((reversed_bits(code, length), length))
    return codes


def deflate(data):
    literal_codes = fixed_literal_codes()
    length_symbols = [None] * 259
    for index, base in enumerate(LENGTH_BASE):
        for length in range(base, min(base + (1 << LENGTH_EXTRA[index]), 259)):
            if length_symbols[length] is None:
                length_symbols[length] = index
    out = bytearray()
    state = [0, 0]  # bit buffer, bits in it

    def put(value, bits):
        state[0] |= value << state[1]
        state[1] += bits
        while state[1] >= 8:
            out.append(state[0] & 255)
            state[0] >>= 8
            state[1] -= 8

    put(1, 1)  # last block
    put(1, 2)  # fixed Huffman codes
    positions = {}
    n = len(data)
    i = 0
    while i < n:
        best_length, best_distance = 0, 0
        if i + 3 <= n:
            key = data[i:i + 3]
            limit = min(258, n - i)
            for j in reversed(positions.get(key, [])[-16:]):
                if i - j > 32768:
                    break
                low, high = 3, limit  # data[j:j+low] matches; find the longest
                while low < high:
                    middle = (low + high + 1) // 2
                    if data[j:j + middle] == data[i:i + middle]:
                        low = middle
                    else:
                        high = middle - 1
                if low > best_length:
                    best_length, best_distance = low, i - j
                    if low == limit:
                        break
        if best_length >= 3:
            index = length_symbols[best_length]
            put(*literal_codes[257 + index])
            put(best_length - LENGTH_BASE[index], LENGTH_EXTRA[index])
            code = max(k for k, base in enumerate(DISTANCE_BASE) if base <= best_distance)
            put(reversed_bits(code, 5), 5)
            put(best_distance - DISTANCE_BASE[code], DISTANCE_EXTRA[code])
            step = best_length
        else:
            put(*literal_codes[data[i]])
            step = 1
        for k in range(i, min(i + step, n - 2)):
            positions.setdefault(data[k:k + 3], []).append(k)
        i += step
    put(*literal_codes[256])
    if state[1]:
        out.append(state[0] & 255)
    return bytes(out)


def zlib_stream(data):
    stream = b"\x78\x01" + deflate(data) + struct.pack(">I", zlib.adler32(data))
    if zlib.decompress(stream) != data:
        raise AssertionError("the deflate encoder does not round-trip")
    return stream


def build_icon():
    """The .ico bytes, and each image's pixels as stored (for the preview)."""
    rendered = {}
    images = []
    for size, bits in IMAGES:
        if size not in rendered:
            rendered[size] = render(size)
        pixels = rendered[size]
        images.append(png(pixels, bits) if size == 256 else dib(pixels, bits))
    out = bytearray(struct.pack("<HHH", 0, 1, len(IMAGES)))
    offset = 6 + 16 * len(IMAGES)
    for (size, bits), data in zip(IMAGES, images):
        dimension = 0 if size == 256 else size
        out += struct.pack("<BBBBHHII", dimension, dimension, 16 if bits == 4 else 0, 0, 1, bits, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    return bytes(out), rendered


# ---------------------------------------------------------------------------------------------------------------
# Preview: every image as stored (palettized ones after quantizing and masking), enlarged to 256 px.

def stored_pixels(size, bits, pixels):
    if bits == 32:
        return pixels
    if size == 256:
        indices, palette = palettize_alpha(pixels)
        return [[palette[i] for i in line] for line in indices]
    indices, palette = palettize_opaque(pixels, bits)
    return [[palette[i] + (255,) if p[3] >= 128 else (0, 0, 0, 0) for i, p in zip(line, src)]
            for line, src in zip(indices, pixels)]


def preview(rendered, path):
    cell, gap = 256, 8
    columns = 5
    width = columns * cell + (columns + 1) * gap
    height = 2 * cell + 3 * gap
    sheet = [[(224, 224, 224, 255)] * width for _ in range(height)]
    for number, (size, bits) in enumerate(IMAGES):
        pixels = stored_pixels(size, bits, rendered[size])
        left = gap + (number % columns) * (cell + gap)
        top = gap + (number // columns) * (cell + gap)
        zoom = cell // size
        for y in range(cell):
            for x in range(cell):
                check = 255 if ((x // 16) + (y // 16)) % 2 else 200
                r, g, b, a = pixels[y // zoom][x // zoom] if y < size * zoom and x < size * zoom else (0, 0, 0, 0)
                sheet[top + y][left + x] = tuple((v * a + check * (255 - a)) // 255 for v in (r, g, b)) + (255,)
    raw = b"".join(b"\0" + bytes(v for p in line for v in p) for line in sheet)
    chunks = [(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)), (b"IDAT", zlib.compress(raw, 6)),
              (b"IEND", b"")]
    with open(path, "wb") as file:
        file.write(b"\x89PNG\r\n\x1a\n")
        for kind, data in chunks:
            file.write(struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data)))


def main(arguments):
    check, out, preview_path = False, DEFAULT_ICO, None
    while arguments:
        argument = arguments.pop(0)
        if argument == "--check":
            check = True
        elif argument == "--out" and arguments:
            out = arguments.pop(0)
        elif argument == "--preview" and arguments:
            preview_path = arguments.pop(0)
        else:
            print(__doc__, file=sys.stderr)
            return 2
    icon, rendered = build_icon()
    if preview_path:
        preview(rendered, preview_path)
    if check:
        try:
            with open(out, "rb") as file:
                committed = file.read()
        except OSError as error:
            print(f"{out}: cannot read it: {error}", file=sys.stderr)
            return 1
        if committed != icon:
            print(f"{out} is not what make-icon.py draws ({len(committed)} bytes, the script makes {len(icon)}); "
                  "run res/icon/make-icon.py", file=sys.stderr)
            return 1
        print(f"{out}: matches make-icon.py ({len(icon)} bytes)")
        return 0
    with open(out, "wb") as file:
        file.write(icon)
    print(f"wrote {out} ({len(icon)} bytes, {len(IMAGES)} images)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
