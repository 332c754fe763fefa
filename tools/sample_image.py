#!/usr/bin/env python3
"""Synthetic Nolix Talvik Editor images for trying out and testing the patchers.

An image is deterministic pseudo-random filler with, at the published file
offsets, the bytes of each program's patch sites in a chosen state and the
version signature. Both programs' sites fit in one image without overlapping.

Site states:
  normal    the stock bytes
  modified  the bytes the program writes for key "2"
  mixed     half converted: fpenabler keeps its normal code bytes but has the
            eight-decimal strings; gridenlarger has its first three values
            modified and the other four normal
  none      filler that matches neither state (for fpenabler not even the
            loop jump the fallback looks for)

Usable as a module (build_image, set_sites) or from the command line:
  python3 tools/sample_image.py talvik.exe --version 3.5 --fp normal --grid normal
"""
import argparse
import random
import sys

SIGNATURE = b"220\0mapversion\0\0"  # the 15-byte form is its first 15 bytes
SIGNATURE_OFFSET = {"3.5": 0xD4480, "3.4": 0xD3470}
DEFAULT_SIZE = 1 << 20
DEFAULT_SEED = 0x7A1F

_POINTS = "( {0} {0} {0} ) ( {0} {0} {0} ) ( {0} {0} {0} ) %s [ %g %g %g %g ] [ %g %g %g %g ] %g %g %g"
F0 = (_POINTS.format("%.0f") + " ").encode() + b"\0"
F0U = (_POINTS.format("%.0f") + " %u %u %u").encode() + b"\0"
F8 = (_POINTS.format("%.8f") + " ").encode() + b"\0"
F8U = (_POINTS.format("%.8f") + " %u %u %u").encode() + b"\0"
assert (len(F0), len(F0U), len(F8), len(F8U)) == (102, 110, 102, 110)


def _fp_sites(code, strings):
    return [
        (code, b"\x8b\x57", b"\x75\x31"),         # MOV EDX,[EDI+d8] / JNZ +0x31
        (code + 0x31, b"\x75\xcd", b"\x75\xcd"),  # the loop's closing jump, never changed
        (strings, F0, F8),
        (strings + 0x68, F0U, F8U),
    ]


_GRID_VALUES = [  # normal, modified (little-endian)
    ("00008045", "00008046"),                  # 4096.0f   -> 16384.0f
    ("000080c5", "000080c6"),                  # -4096.0f  -> -16384.0f
    ("10270000", "204e0000"),                  # 10000     -> 20000
    ("0000003d", "0000803c"),                  # 0.03125f  -> 0.015625f
    ("00008043", "00000043"),                  # 256.0f    -> 128.0f
    ("0000000000007040", "0000000000006040"),  # 256.0     -> 128.0
    ("000000000000a03f", "000000000000903f"),  # 0.03125   -> 0.015625
]
_GRID_OFFSETS = {
    "3.5": [0x215F9, 0x21603, 0x51CD9, 0x3C4F1, 0x3C514, 0xB96E8, 0xB96F0],
    "3.4": [0x212C9, 0x212D3, 0x51959, 0x3C231, 0x3C254, 0xB86E0, 0xB86E8],
}

# program -> version -> [(offset, normal bytes, modified bytes)]
SITES = {
    "fpenabler": {"3.5": _fp_sites(0x277A2, 0xD42A0), "3.4": _fp_sites(0x27442, 0xD3290)},
    "gridenlarger": {
        v: [(o, bytes.fromhex(n), bytes.fromhex(m)) for o, (n, m) in zip(offs, _GRID_VALUES)]
        for v, offs in _GRID_OFFSETS.items()
    },
}
STATES = ("normal", "modified", "mixed", "none")


def _put(image, offset, data):
    """Writes data at offset, clipped to the image (a short image may end inside a site)."""
    end = min(len(image), offset + len(data))
    if offset < end:
        image[offset:end] = data[: end - offset]


def site_bytes(program, version, state):
    """The (offset, bytes) runs a program's sites hold in a state other than 'none'."""
    runs = []
    for i, (offset, normal, modified) in enumerate(SITES[program][version]):
        if state == "mixed":
            take_modified = i >= 2 if program == "fpenabler" else i < 3
        else:
            take_modified = state == "modified"
        runs.append((offset, modified if take_modified else normal))
    return runs


def set_sites(image, program, version, state):
    """Puts one program's sites of `version` into `state`, in place."""
    if state == "none":
        for offset, normal, modified in SITES[program][version]:
            current = bytes(image[offset : offset + len(normal)])
            if current and current in (normal[: len(current)], modified[: len(current)]):
                image[offset] ^= 0xFF
        return
    for offset, data in site_bytes(program, version, state):
        _put(image, offset, data)


def build_image(version="3.5", fp="normal", grid="normal", size=DEFAULT_SIZE,
                signature=True, seed=DEFAULT_SEED):
    """A deterministic image: the same arguments always give the same bytes."""
    image = bytearray(random.Random(seed).randbytes(size))
    if signature:
        _put(image, SIGNATURE_OFFSET[version], SIGNATURE)
    set_sites(image, "fpenabler", version, fp)
    set_sites(image, "gridenlarger", version, grid)
    return image


def main(argv=None):
    parser = argparse.ArgumentParser(description="Write a synthetic editor image.")
    parser.add_argument("out", help="file to write")
    parser.add_argument("--version", choices=sorted(SIGNATURE_OFFSET), default="3.5")
    parser.add_argument("--fp", choices=STATES, default="normal", help="fpenabler sites")
    parser.add_argument("--grid", choices=STATES, default="normal", help="gridenlarger sites")
    parser.add_argument("--size", type=lambda s: int(s, 0), default=DEFAULT_SIZE)
    parser.add_argument("--seed", type=lambda s: int(s, 0), default=DEFAULT_SEED)
    parser.add_argument("--no-signature", dest="signature", action="store_false")
    args = parser.parse_args(argv)
    image = build_image(args.version, args.fp, args.grid, args.size, args.signature, args.seed)
    with open(args.out, "wb") as f:
        f.write(image)
    return 0


if __name__ == "__main__":
    sys.exit(main())
