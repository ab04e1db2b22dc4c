#!/usr/bin/env python3
"""Checks the program's icon: exactly ten images, in this order,
  16x16 at 4, 8 and 32 bits per pixel; 32x32 at 4, 8 and 32; 48x48 at 8 and 32; 256x256 at 8 and 32,
with a correct directory, DIBs (header, palette, XOR bitmap and AND mask, sizes adding up) below 256 and PNGs at 256
(signature, chunk CRCs, IHDR, palette and tRNS for the 8-bit one, image data inflating to the right size). An image
that shows nothing at all (all masked, or all transparent) fails too.

Usage: check-icon.py ICO_FILE
       check-icon.py --exe FILE.exe OBJDUMP   checks the first RT_GROUP_ICON of a PE and the RT_ICONs it names
       check-icon.py --self-test ICO_FILE     damages copies of a good .ico and fails unless each damage is caught
"""
import struct
import subprocess
import sys
import zlib

EXPECTED = [(16, 4), (16, 8), (16, 32), (32, 4), (32, 8), (32, 32), (48, 8), (48, 32), (256, 8), (256, 32)]
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
RT_ICON, RT_GROUP_ICON = 3, 14


def check_ico(data):
    """Failures found in the bytes of an .ico file; none if it is as expected."""
    failures = []
    if len(data) < 6:
        return [f"{len(data)} bytes: too short for an icon directory"]
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if reserved != 0 or kind != 1:
        failures.append(f"icon directory reserved {reserved}, type {kind}; expected 0 and 1")
    if count != len(EXPECTED):
        failures.append(f"{count} images, expected {len(EXPECTED)}")
    if 6 + 16 * count > len(data):
        return failures + [f"the directory of {count} entries runs past the end of the file ({len(data)} bytes)"]
    regions = []
    for index in range(count):
        width, height, colours, entry_reserved, planes, bits, size, offset = \
            struct.unpack_from("<BBBBHHII", data, 6 + 16 * index)
        where = f"image {index + 1}"
        if index >= len(EXPECTED):
            continue
        want_size, want_bits = EXPECTED[index]
        want_byte = 0 if want_size == 256 else want_size
        if (width, height) != (want_byte, want_byte):
            failures.append(f"{where}: directory says {width}x{height}, expected {want_byte}x{want_byte} "
                            f"({want_size} px)")
        if bits != want_bits:
            failures.append(f"{where}: directory says {bits} bpp, expected {want_bits}")
        if colours != (16 if want_bits == 4 else 0):
            failures.append(f"{where}: bColorCount {colours}, expected {16 if want_bits == 4 else 0}")
        if entry_reserved != 0 or planes != 1:
            failures.append(f"{where}: bReserved {entry_reserved}, wPlanes {planes}; expected 0 and 1")
        if size == 0 or offset < 6 + 16 * count or offset + size > len(data):
            failures.append(f"{where}: {size} bytes at offset {offset} are not inside the file after the "
                            f"directory ({len(data)} bytes)")
            continue
        regions.append((offset, offset + size, where))
        image = data[offset:offset + size]
        if want_size == 256:
            failures += [f"{where}: {problem}" for problem in check_png(image, want_bits)]
        else:
            failures += [f"{where}: {problem}" for problem in check_dib(image, want_size, want_bits)]
    regions.sort()
    for (_, end, first), (start, _, second) in zip(regions, regions[1:]):
        if start < end:
            failures.append(f"{first} and {second} overlap in the file")
    return failures


def check_dib(image, size, bits):
    if image[:8] == PNG_SIGNATURE:
        return ["PNG below 256 px; expected a DIB"]
    if len(image) < 40:
        return [f"{len(image)} bytes: too short for a BITMAPINFOHEADER"]
    header_size, width, height, planes, bit_count, compression, _, _, _, used, _ = \
        struct.unpack_from("<IiiHHIIiiII", image, 0)
    problems = []
    if header_size != 40:
        problems.append(f"biSize {header_size}, expected 40")
    if (width, height) != (size, 2 * size):
        problems.append(f"DIB is {width}x{height}, expected {size}x{2 * size} (height doubled for the AND mask)")
    if planes != 1 or bit_count != bits or compression != 0:
        problems.append(f"biPlanes {planes}, biBitCount {bit_count}, biCompression {compression}; "
                        f"expected 1, {bits}, 0")
    if problems:
        return problems
    colours = 0 if bits == 32 else (used or 1 << bits)
    if colours > (0 if bits == 32 else 1 << bits):
        return [f"biClrUsed {used} is more than {bits} bpp can index"]
    xor_stride = (size * bits + 31) // 32 * 4
    and_stride = (size + 31) // 32 * 4
    mask_start = 40 + 4 * colours + xor_stride * size
    expected = mask_start + and_stride * size
    if len(image) != expected:
        return [f"{len(image)} bytes, but header, {colours} palette entries, XOR bitmap and AND mask make "
                f"{expected}"]
    shown = False
    for row in range(size):
        mask = image[mask_start + row * and_stride:mask_start + (row + 1) * and_stride]
        for column in range(size):
            if not mask[column >> 3] & (0x80 >> (column & 7)):
                if bits != 32 or image[40 + row * xor_stride + 4 * column + 3]:
                    shown = True
    if not shown:
        problems.append("shows nothing: every pixel is masked" + (" or has alpha 0" if bits == 32 else ""))
    return problems


def check_png(image, bits):
    if image[:8] != PNG_SIGNATURE:
        return ["no PNG signature; 256 px images must be PNG"]
    chunks = []
    position = 8
    while position < len(image):
        if position + 12 > len(image):
            return [f"chunk header at {position} runs past the image's {len(image)} bytes"]
        length, = struct.unpack_from(">I", image, position)
        kind = image[position + 4:position + 8]
        body = image[position + 8:position + 8 + length]
        if position + 12 + length > len(image):
            return [f"{kind!r} chunk of {length} bytes runs past the image's {len(image)} bytes"]
        crc, = struct.unpack_from(">I", image, position + 8 + length)
        if crc != zlib.crc32(kind + body):
            return [f"{kind!r} chunk has a bad CRC"]
        chunks.append((kind, body))
        position += 12 + length
        if kind == b"IEND":
            break
    if position != len(image):
        return [f"IEND at {position} is not the end of the image's {len(image)} bytes"]
    kinds = [kind for kind, _ in chunks]
    if not kinds or kinds[0] != b"IHDR" or len(chunks[0][1]) != 13:
        return ["first chunk is no 13-byte IHDR"]
    if kinds[-1] != b"IEND" or b"IDAT" not in kinds:
        return [f"chunks {kinds}: no IDAT, or no IEND at the end"]
    width, height, depth, colour_type, compression, filtering, interlace = struct.unpack(">IIBBBBB", chunks[0][1])
    want_type = 6 if bits == 32 else 3
    problems = []
    if (width, height) != (256, 256):
        problems.append(f"IHDR says {width}x{height}, expected 256x256")
    if (depth, colour_type) != (8, want_type) or (compression, filtering, interlace) != (0, 0, 0):
        problems.append(f"IHDR bit depth {depth}, colour type {colour_type}, methods "
                        f"{compression}/{filtering}/{interlace}; expected 8, {want_type}, 0/0/0")
    if problems:
        return problems
    palette = alphas = None
    if bits == 8:
        palettes = [body for kind, body in chunks if kind == b"PLTE"]
        transparency = [body for kind, body in chunks if kind == b"tRNS"]
        if len(palettes) != 1 or not palettes[0] or len(palettes[0]) % 3 or len(palettes[0]) > 768:
            return ["no single PLTE of 1 to 256 entries"]
        if kinds.index(b"PLTE") > kinds.index(b"IDAT"):
            return ["PLTE after IDAT"]
        palette = len(palettes[0]) // 3
        if len(transparency) != 1 or len(transparency[0]) > palette:
            return [f"no single tRNS of at most {palette} entries, so no transparency"]
        alphas = transparency[0] + b"\xff" * (palette - len(transparency[0]))
    try:
        raw = zlib.decompress(b"".join(body for kind, body in chunks if kind == b"IDAT"))
    except zlib.error as error:
        return [f"image data do not inflate: {error}"]
    channels = 4 if bits == 32 else 1
    stride = 1 + width * channels
    if len(raw) != height * stride:
        return [f"image data inflate to {len(raw)} bytes, expected {height * stride}"]
    previous = bytes(stride - 1)
    shown = False
    for row in range(height):
        kind = raw[row * stride]
        line = unfilter(kind, raw[row * stride + 1:(row + 1) * stride], previous, channels)
        if line is None:
            return [f"row {row} has filter type {kind}"]
        if bits == 8:
            for index in line:
                if index >= palette:
                    return [f"row {row} uses palette entry {index} of {palette}"]
                shown = shown or alphas[index] > 0
        else:
            shown = shown or any(line[3::4])
        previous = line
    if not shown:
        problems.append("shows nothing: every pixel is transparent")
    return problems


def unfilter(kind, line, previous, bpp):
    """A PNG row without its filter, or None for an unknown filter type."""
    if kind > 4:
        return None
    out = bytearray(len(line))
    for i, value in enumerate(line):
        left = out[i - bpp] if i >= bpp else 0
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
        out[i] = (value + predictor) & 255
    return bytes(out)


def ico_from_exe(path, objdump):
    """An .ico rebuilt from the first RT_GROUP_ICON of a PE image and the RT_ICONs it names."""
    headers = subprocess.run([objdump, "-p", path], check=True, capture_output=True, text=True).stdout
    base = next(int(line.split()[1], 16) for line in headers.splitlines() if line.startswith("ImageBase"))
    dumped = subprocess.run([objdump, "-s", "-j", ".rsrc", path], capture_output=True, text=True)
    if dumped.returncode != 0:
        raise ValueError(f"no resource section: {dumped.stderr.strip()}")
    dump = dumped.stdout
    start, section = None, bytearray()
    for line in dump.splitlines():
        if not line.startswith(" ") or not line.strip():
            continue
        address, rest = line[1:].split(" ", 1)
        if start is None:
            start = int(address, 16)
        section += bytes.fromhex(rest[:35].replace(" ", ""))
    if start is None:
        raise ValueError(f"{path} has no .rsrc section")
    section_rva = start - base

    def directory(offset):
        named, numbered = struct.unpack_from("<HH", section, offset + 12)
        for index in range(named + numbered):
            name, target = struct.unpack_from("<II", section, offset + 16 + 8 * index)
            yield name, target

    def leaf(target):
        """The data of the first language below a name entry."""
        while target & 0x80000000:
            target = next(directory(target & 0x7FFFFFFF))[1]
        rva, size = struct.unpack_from("<II", section, target)
        return bytes(section[rva - section_rva:rva - section_rva + size])

    types = {name: target for name, target in directory(0) if not name & 0x80000000}
    if RT_GROUP_ICON not in types or RT_ICON not in types:
        raise ValueError(f"{path} has no RT_GROUP_ICON or no RT_ICON resource")
    icons = {name: target for name, target in directory(types[RT_GROUP_ICON] & 0x7FFFFFFF)}
    group = leaf(next(iter(icons.values())))
    images = {name: leaf(target) for name, target in directory(types[RT_ICON] & 0x7FFFFFFF)
              if not name & 0x80000000}
    reserved, kind, count = struct.unpack_from("<HHH", group, 0)
    out = bytearray(struct.pack("<HHH", reserved, kind, count))
    blobs = []
    offset = 6 + 16 * count
    for index in range(count):
        fields = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * index)
        number = fields[7]
        if number not in images:
            raise ValueError(f"RT_GROUP_ICON names RT_ICON {number}, which is missing")
        if fields[6] != len(images[number]):
            raise ValueError(f"RT_GROUP_ICON gives RT_ICON {number} {fields[6]} bytes; it has "
                             f"{len(images[number])}")
        out += struct.pack("<BBBBHHII", *fields[:7], offset)
        blobs.append(images[number])
        offset += len(images[number])
    return bytes(out + b"".join(blobs))


def damaged_copies(data):
    """(what, damaged bytes) for the self-test; each breaks one thing a bad generator or a bad copy could."""
    def entry(index):
        return 6 + 16 * index

    def image_offset(index):
        return struct.unpack_from("<I", data, entry(index) + 12)[0]

    def patched(pairs):
        copy = bytearray(data)
        for position, value in pairs:
            copy[position:position + len(value)] = value
        return bytes(copy)

    ihdr = image_offset(9) + 8  # the length field of the 32-bit PNG's IHDR
    ihdr_body = bytearray(data[ihdr + 8:ihdr + 21])
    ihdr_body[9] = 2  # RGB, no alpha
    first, second = data[entry(0):entry(1)], data[entry(1):entry(2)]
    # The last image replaced by a well-formed but fully transparent 256x256 RGBA PNG.
    blank = PNG_SIGNATURE
    for kind, body in [(b"IHDR", struct.pack(">IIBBBBB", 256, 256, 8, 6, 0, 0, 0)),
                       (b"IDAT", zlib.compress(bytes(256 * (1 + 256 * 4)))), (b"IEND", b"")]:
        blank += struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    blank_icon = bytearray(data[:image_offset(9)] + blank)
    blank_icon[entry(9) + 8:entry(9) + 12] = struct.pack("<I", len(blank))
    return [
        ("wrong count (9)", patched([(4, struct.pack("<H", 9))])),
        ("wrong count (11)", patched([(4, struct.pack("<H", 11))])),
        ("wrong bpp in the directory (16x16 8 bpp says 4)", patched([(entry(1) + 6, struct.pack("<H", 4))])),
        ("wrong bpp in the DIB (16x16 32 bpp says 24)", patched([(image_offset(2) + 14, struct.pack("<H", 24))])),
        ("4 bpp entry with bColorCount 0", patched([(entry(0) + 2, b"\0")])),
        ("DIB height not doubled", patched([(image_offset(3) + 8, struct.pack("<i", 32))])),
        ("two entries swapped", patched([(entry(0), second), (entry(1), first)])),
        ("truncated image", data[:-100]),
        ("image offset past the end", patched([(entry(4) + 12, struct.pack("<I", len(data)))])),
        ("256 px image not PNG", patched([(image_offset(8), struct.pack("<I", 40))])),
        ("PNG IHDR colour type 2", patched([(ihdr + 8, bytes(ihdr_body)),
                                             (ihdr + 21, struct.pack(">I", zlib.crc32(b"IHDR" + ihdr_body)))])),
        ("corrupt PNG image data", patched([(image_offset(9) + 100, bytes([data[image_offset(9) + 100] ^ 0xFF]))])),
        ("48 px image fully masked", patched([(image_offset(6) + 40 + 4 * 256 + 48 * 48,
                                               b"\xff" * (8 * 48))])),
        ("256 px PNG fully transparent", bytes(blank_icon)),
    ]


def self_test(path):
    with open(path, "rb") as file:
        data = file.read()
    failures = check_ico(data)
    if failures:
        print(f"FAILED: {path} must pass before it is damaged: {failures[0]}", file=sys.stderr)
        return 1
    missed = 0
    for what, damaged in damaged_copies(data):
        found = check_ico(damaged)
        if found:
            print(f"caught {what}: {found[0]}")
        else:
            print(f"MISSED {what}", file=sys.stderr)
            missed += 1
    if missed:
        print(f"FAILED: {missed} damaged copies passed", file=sys.stderr)
        return 1
    print(f"self-test passed: the good icon passes and all {len(damaged_copies(data))} damaged copies fail")
    return 0


def main(arguments):
    if len(arguments) == 2 and arguments[0] == "--self-test":
        return self_test(arguments[1])
    if len(arguments) == 3 and arguments[0] == "--exe":
        path = arguments[1]
        try:
            data = ico_from_exe(path, arguments[2])
        except (OSError, ValueError, struct.error, subprocess.CalledProcessError, StopIteration) as error:
            print(f"FAILED: {path}: {error or type(error).__name__}", file=sys.stderr)
            return 1
    elif len(arguments) == 1 and not arguments[0].startswith("--"):
        path = arguments[0]
        with open(path, "rb") as file:
            data = file.read()
    else:
        print(__doc__, file=sys.stderr)
        return 2
    failures = check_ico(data)
    for failure in failures:
        print(f"FAILED: {path}: {failure}", file=sys.stderr)
    if failures:
        return 1
    print(f"{path}: 10 icon images as expected (16 px at 4/8/32 bpp, 32 px at 4/8/32, 48 px at 8/32, "
          f"256 px PNG at 8/32), {len(data)} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
