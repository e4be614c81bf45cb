#!/usr/bin/python3
"""Writes the hostile images of the image harness's regressions, byte by byte
(Python's own zlib, no image library), into fuzz/regressions/image_input_fuzzer/:

- progressive_scan_bomb_1280x960.jpg and _8192x8192.jpg: a valid progressive
  gray JPEG of 883 scans (every AC coefficient refined bit by bit), each scan
  a pass over the whole image for the decoder;
- png_header_lies_8192x8192.png: a header of 8192 x 8192 over a few rows;
- png_zip_bomb_idat_1280x960.png: a 1280 x 960 gray PNG whose IDAT inflates
  to 200 MB of zeros beyond the image's own rows.
"""
import os
import struct
import zlib

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "regressions", "image_input_fuzzer")


class Bits:
    """Entropy-coded bits, 0xFF bytes stuffed, the last byte padded with ones."""

    def __init__(self):
        self.out = bytearray()
        self.value = 0
        self.count = 0

    def put(self, value, length):
        for i in reversed(range(length)):
            self.value = (self.value << 1) | ((value >> i) & 1)
            self.count += 1
            if self.count == 8:
                self.out.append(self.value)
                if self.value == 0xFF:
                    self.out.append(0)
                self.value = self.count = 0

    def bytes(self):
        if self.count:
            self.put((1 << (8 - self.count)) - 1, 8 - self.count)
        return bytes(self.out)


def segment(marker, payload):
    return struct.pack(">BBH", 0xFF, marker, len(payload) + 2) + payload


def scan(ss, se, ah, al, table, data):
    return segment(0xDA, struct.pack(">BBBBBB", 1, 1, table, ss, se, (ah << 4) | al)) + data


def scan_bomb(width, height):
    blocks = ((width + 7) // 8) * ((height + 7) // 8)
    jpeg = b"\xFF\xD8"
    jpeg += segment(0xDB, b"\x00" + b"\x01" * 64)  # quantisation table 0, all ones
    jpeg += segment(0xC2, struct.pack(">BHHBBBB", 8, height, width, 1, 1, 0x11, 0))
    # DC table 0: one code "0" for difference category 0. AC table 0: one code
    # "0" for EOB14 (a run of 16384 to 32767 empty blocks, 14 more bits).
    jpeg += segment(0xC4, b"\x00" + bytes([1] + [0] * 15) + b"\x00")
    jpeg += segment(0xC4, b"\x10" + bytes([1] + [0] * 15) + b"\xE0")
    dc = Bits()
    for _ in range(blocks):
        dc.put(0, 1)
    jpeg += scan(0, 0, 0, 0, 0x00, dc.bytes())
    # Every block empty: the blocks split evenly into runs of 16384 to 32767.
    count = -(-blocks // 32767)
    runs = Bits()
    for i in range(count):
        run = blocks // count + (1 if i < blocks % count else 0)
        assert 16384 <= run <= 32767
        runs.put(0, 1)
        runs.put(run - 16384, 14)
    empty = runs.bytes()
    for k in range(1, 64):
        jpeg += scan(k, k, 0, 13, 0x00, empty)
        for al in range(12, -1, -1):
            jpeg += scan(k, k, al + 1, al, 0x00, empty)
    return jpeg + b"\xFF\xD9"


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png(width, height, idat):
    header = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)  # 8-bit gray
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", idat) +
            chunk(b"IEND", b""))


def main():
    os.makedirs(OUT, exist_ok=True)
    files = {
        "progressive_scan_bomb_1280x960.jpg": scan_bomb(1280, 960),
        "progressive_scan_bomb_8192x8192.jpg": scan_bomb(8192, 8192),
        "png_header_lies_8192x8192.png":
            png(8192, 8192, zlib.compress(b"\x00" * (8193 * 4), 9)),
    }
    rows = b"\x00" * ((1280 + 1) * 960)
    bomb = zlib.compressobj(9)
    idat = bomb.compress(rows)
    zeros = b"\x00" * (1 << 20)
    for _ in range(200):
        idat += bomb.compress(zeros)
    files["png_zip_bomb_idat_1280x960.png"] = png(1280, 960, idat + bomb.flush())
    for name, data in files.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
