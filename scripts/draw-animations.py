#!/usr/bin/env python3
"""Draws the scan page's animations (xml/images/*.gif): the backup and the device being
scanned, and the loading spinner. Pure Python: shapes are sampled 4x4 per pixel on a white
ground and written as GIF89a with LZW.
  scripts/draw-animations.py [OUTPUT_FOLDER]     default: xml/images
"""
import math
import os
import struct
import sys

WHITE = (255, 255, 255)
ACCENT = (0x0E, 0x7C, 0x86)
GREY = (0xCB, 0xD2, 0xD9)
DARK = (0x1F, 0x29, 0x33)
LEVELS = 16
PALETTE = [tuple(round(w + (c - w) * i / (LEVELS - 1)) for w, c in zip(WHITE, colour))
           for colour in (ACCENT, GREY, DARK) for i in range(LEVELS)]
PALETTE += [WHITE] * (64 - len(PALETTE))


def nearest(rgb):
    return min(range(len(PALETTE)),
               key=lambda i: sum((a - b) ** 2 for a, b in zip(PALETTE[i], rgb)))


def render(size, shapes):
    """shapes: list of (inside(x, y) -> bool, colour), painted in order."""
    pixels = []
    cache = {}
    for py in range(size):
        for px in range(size):
            rgb = [0.0, 0.0, 0.0]
            for sy in range(4):
                for sx in range(4):
                    x, y = px + (sx + 0.5) / 4, py + (sy + 0.5) / 4
                    colour = WHITE
                    for inside, c in shapes:
                        if inside(x, y):
                            colour = c
                    for k in range(3):
                        rgb[k] += colour[k] / 16
            key = tuple(round(v) for v in rgb)
            if key not in cache:
                cache[key] = nearest(key)
            pixels.append(cache[key])
    return pixels


def lzw(pixels, min_size=6):
    clear, end = 1 << min_size, (1 << min_size) + 1
    table = {bytes([i]): i for i in range(clear)}
    size, next_code = min_size + 1, end + 1
    out, bits, nbits = bytearray(), 0, 0

    def emit(code):
        nonlocal bits, nbits
        bits |= code << nbits
        nbits += size
        while nbits >= 8:
            out.append(bits & 0xFF)
            bits >>= 8
            nbits -= 8

    emit(clear)
    word = b""
    for p in pixels:
        candidate = word + bytes([p])
        if candidate in table:
            word = candidate
            continue
        emit(table[word])
        if next_code < 4096:
            table[candidate] = next_code
            next_code += 1
            if next_code > (1 << size) and size < 12:
                size += 1
        else:
            emit(clear)
            table = {bytes([i]): i for i in range(clear)}
            size, next_code = min_size + 1, end + 1
        word = bytes([p])
    if word:
        emit(table[word])
    emit(end)
    if nbits:
        out.append(bits & 0xFF)
    return bytes(out)


def write_gif(path, size, frames, delay_cs):
    data = bytearray(b"GIF89a")
    data += struct.pack("<HHBBB", size, size, 0xF0 | 5, 0, 0)  # 64-colour global table
    for colour in PALETTE:
        data += bytes(colour)
    data += b"\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00"  # loop for ever
    for pixels in frames:
        data += b"\x21\xF9\x04\x00" + struct.pack("<H", delay_cs) + b"\x00\x00"
        data += b"\x2C" + struct.pack("<HHHHB", 0, 0, size, size, 0)
        data += b"\x06"
        body = lzw(pixels)
        for i in range(0, len(body), 255):
            chunk = body[i:i + 255]
            data += bytes([len(chunk)]) + chunk
        data += b"\x00"
    data += b"\x3B"
    with open(path, "wb") as f:
        f.write(data)


def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def ring_arc(cx, cy, r0, r1, start, length):
    def inside(x, y):
        d = math.hypot(x - cx, y - cy)
        if not r0 <= d <= r1:
            return False
        a = (math.atan2(y - cy, x - cx) - start) % (2 * math.pi)
        return a <= length
    return inside


def scanning(kind, size=56, count=16):
    frames = []
    for f in range(count):
        t = f / count
        if kind == "device":
            body = [(rounded_rect(16, 4, 40, 52, 5), DARK), (rounded_rect(18.5, 8, 37.5, 48, 2), WHITE)]
            top, bottom, left, right = 9, 47, 19, 37
        else:
            body = [(rounded_rect(8, 12, 48, 48, 5), GREY), (rounded_rect(8, 8, 26, 18, 3), GREY),
                    (rounded_rect(11, 17, 45, 45, 3), WHITE)]
            top, bottom, left, right = 18, 44, 12, 44
        y = top + (bottom - top) * (0.5 - 0.5 * math.cos(2 * math.pi * t))
        line = (lambda x, yy, y=y: left <= x <= right and abs(yy - y) <= 1.2, ACCENT)
        glow = (lambda x, yy, y=y: left <= x <= right and 0 < yy - y <= 5
                if math.sin(2 * math.pi * t) > 0 else left <= x <= right and 0 < y - yy <= 5,
                (0xD5, 0xEE, 0xF0))
        frames.append(render(size, body + [glow, line]))
    return frames


def spinner(size=96, count=12):
    c = size / 2
    frames = []
    for f in range(count):
        start = 2 * math.pi * f / count
        frames.append(render(size, [(ring_arc(c, c, 30, 38, 0, 2 * math.pi), (0xE3, 0xE7, 0xEB)),
                                    (ring_arc(c, c, 30, 38, start, math.pi * 0.6), ACCENT)]))
    return frames


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "xml", "images")
    write_gif(os.path.join(folder, "iTunesScanning.gif"), 56, scanning("backup"), 8)
    write_gif(os.path.join(folder, "DeviceScanning.gif"), 56, scanning("device"), 8)
    write_gif(os.path.join(folder, "loading.gif"), 96, spinner(), 8)


if __name__ == "__main__":
    main()
