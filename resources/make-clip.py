#!/usr/bin/env python3
"""Writes the panel's activity clip: two meshing gears turning, as an AVI file.

128 x 128 pixels, 15 frames per second, 541 frames; Microsoft RLE (8-bit, "mrle"), whose
decoder ships with Windows and with Wine. Every frame is a key frame, so any frame decodes
on its own. The picture repeats every PERIOD frames (the big gear turns half a turn, the small
one three quarters, and both look the same again), so the file holds PERIOD pictures and its
index names one of them for each of the 541 frames; the last frame shows the first picture again.

    python3 make-clip.py OUT.avi
"""
import math
import struct
import sys

WIDTH = HEIGHT = 128
FRAMES = 541
RATE = 15
PERIOD = 60  # 541 = 9 x 60 + 1

# Palette: index -> (r, g, b)
PALETTE = [
    (255, 255, 255),  # 0 background (window colour)
    (55, 71, 79),     # 1 outline / hub
    (84, 110, 122),   # 2 big gear
    (239, 108, 0),    # 3 small gear
    (200, 215, 222),  # 4 window in the big gear
    (255, 204, 128),  # 5 window in the small gear
    (46, 125, 50),    # 6 axle
]


class Gear:
    def __init__(self, cx, cy, teeth, pitch, body, window, turns, offset=0.0):
        self.cx, self.cy, self.teeth = cx, cy, teeth
        self.root = pitch - 4.5      # tooth root
        self.outer = pitch + 4.5     # tooth tip
        self.hub = pitch * 0.28
        self.axle = pitch * 0.12
        self.ring = (pitch * 0.42, pitch * 0.75)  # radii of the windows
        self.body, self.window = body, window
        self.turns = turns           # signed turns per period
        self.offset = offset
        # pixels of the gear's disc: (x, y, r, theta in turns)
        self.pixels = []
        for y in range(HEIGHT):
            for x in range(WIDTH):
                dx, dy = x + 0.5 - cx, y + 0.5 - cy
                r = math.hypot(dx, dy)
                if r <= self.outer:
                    self.pixels.append((x, y, r, math.atan2(dy, dx) / (2 * math.pi)))

    def draw(self, frame, k):
        phase = self.turns * k / PERIOD + self.offset
        tooth = 1.0 / self.teeth
        lo, hi = self.ring
        for x, y, r, t in self.pixels:
            a = (t - phase) % 1.0
            if r <= self.axle:
                c = 6
            elif r <= self.hub:
                c = 1
            elif r <= self.root - 1.5:
                c = self.body
                if lo <= r <= hi and (a % 0.25) < 0.16:
                    c = self.window  # four windows that show the turning
            elif r <= self.root:
                c = 1 if (a % tooth) >= tooth * 0.5 else self.body
            else:
                if (a % tooth) < tooth * 0.5:
                    c = 1 if r > self.outer - 1.2 else self.body
                else:
                    continue
            frame[y * WIDTH + x] = c


def gears():
    # Pitch radii 36 and 24 (12 and 8 teeth): the small gear turns 1.5 times as fast, the other way.
    # In a period the big gear turns half a turn, the small one three quarters the other way:
    # both are multiples of their windows' quarter turn and of a tooth, so the picture repeats.
    big = Gear(50, 50, 12, 36, 2, 4, 0.5)
    d = 60 / math.sqrt(2)
    small = Gear(50 + d, 50 + d, 8, 24, 3, 5, -0.75, offset=0.125 + 1 / 16)
    return big, small


def rle8(frame):
    """One frame in BI_RLE8, bottom row first, runs of equal pixels in encoded mode."""
    out = bytearray()
    for y in range(HEIGHT - 1, -1, -1):
        row = frame[y * WIDTH:(y + 1) * WIDTH]
        x = 0
        while x < WIDTH:
            c = row[x]
            n = 1
            while x + n < WIDTH and row[x + n] == c and n < 255:
                n += 1
            out += bytes((n, c))
            x += n
        out += b"\x00\x00" if y else b"\x00\x01"
    return bytes(out)


def chunk(fourcc, data):
    pad = b"\x00" if len(data) % 2 else b""
    return fourcc + struct.pack("<I", len(data)) + data + pad


def avi(pictures):
    biggest = max(len(f) for f in pictures)
    # AVIF_HASINDEX | AVIF_MUSTUSEINDEX: the index, not the order in the file, gives the frames.
    avih = struct.pack("<14I", 1000000 // RATE, biggest * RATE, 0, 0x10 | 0x20, FRAMES, 0, 1, biggest,
                       WIDTH, HEIGHT, 0, 0, 0, 0)
    strh = (b"vids" + b"mrle" + struct.pack("<IHHIIIIIIiI", 0, 0, 0, 0, 1, RATE, 0, FRAMES, biggest,
                                           -1, 0) + struct.pack("<4h", 0, 0, WIDTH, HEIGHT))
    palette = b"".join(struct.pack("<4B", b, g, r, 0) for r, g, b in PALETTE)
    palette += b"\x00" * (4 * 256 - len(palette))
    strf = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 8, 1, biggest, 0, 0, 256, 0) + palette
    strl = b"LIST" + struct.pack("<I", 4 + len(chunk(b"strh", strh)) + len(chunk(b"strf", strf))) + b"strl" + \
        chunk(b"strh", strh) + chunk(b"strf", strf)
    hdrl_body = b"hdrl" + chunk(b"avih", avih) + strl
    hdrl = b"LIST" + struct.pack("<I", len(hdrl_body)) + hdrl_body
    movi_body = bytearray(b"movi")
    offsets = []
    for f in pictures:
        offsets.append(len(movi_body))  # from the "movi" fourcc
        movi_body += chunk(b"00dc", f)
    index = bytearray()
    for k in range(FRAMES):  # every frame a key frame (AVIIF_KEYFRAME)
        index += b"00dc" + struct.pack("<III", 0x10, offsets[k % PERIOD], len(pictures[k % PERIOD]))
    movi = b"LIST" + struct.pack("<I", len(movi_body)) + bytes(movi_body)
    body = b"AVI " + hdrl + movi + chunk(b"idx1", bytes(index))
    return b"RIFF" + struct.pack("<I", len(body)) + body


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    big, small = gears()
    pictures = []
    for k in range(PERIOD):
        frame = bytearray(WIDTH * HEIGHT)
        big.draw(frame, k)
        small.draw(frame, k)
        pictures.append(rle8(frame))
    with open(sys.argv[1], "wb") as f:
        f.write(avi(pictures))


if __name__ == "__main__":
    main()
