#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets: small ZIP payloads, setup files
(unsigned, signed-shaped, damaged) and texts to quote. Run from anywhere; the
output is deterministic, so rerunning it changes nothing."""
import io
import os
import struct
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")
FIXED_TIME = (2024, 1, 2, 3, 4, 6)


def write(folder, name, data):
    os.makedirs(os.path.join(CORPUS, folder), exist_ok=True)
    with open(os.path.join(CORPUS, folder, name), "wb") as f:
        f.write(data)


def make_zip(entries, method=zipfile.ZIP_DEFLATED, streamed=False, zip64=False):
    """entries: (name, bytes or None for a folder, external attributes or None)."""
    raw = io.BytesIO()

    class Unseekable(io.RawIOBase):  # makes zipfile write data descriptors
        def writable(self):
            return True

        def write(self, b):
            return raw.write(b)

    with zipfile.ZipFile(Unseekable() if streamed else raw, "w", method) as z:
        for name, data, attributes in entries:
            info = zipfile.ZipInfo(name + ("/" if data is None else ""), FIXED_TIME)
            info.compress_type = method
            if attributes is not None:
                info.external_attr = attributes
            if data is None:
                info.external_attr = (0o40755 << 16) | 0x10
                data = b""
            with z.open(info, "w", force_zip64=zip64) as f:
                f.write(data)
    return raw.getvalue()


def replace_once(data, old, new):
    assert data.count(old) >= 1, old
    return data.replace(old, new, 1)


def trailer(offset, mode=0):
    return struct.pack("<qi", offset, mode) + b"VRSFX001"


def plain_image():
    return b"MZ" + bytes(126)


def pe_image(table_offset, table_size):
    """MZ stub and PE32+ headers whose security directory names a table."""
    dos = bytearray(64)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, 64)
    pe = bytearray(b"PE\0\0") + bytearray(20)
    struct.pack_into("<H", pe, 4, 0x8664)
    struct.pack_into("<H", pe, 20, 240)  # size of the optional header
    optional = bytearray(240)
    struct.pack_into("<H", optional, 0, 0x20B)
    struct.pack_into("<I", optional, 108, 16)  # data directory count
    struct.pack_into("<II", optional, 144, table_offset, table_size)
    return bytes(dos + pe + optional)


def signed_file(payload, padding):
    image_size = len(pe_image(0, 0))
    table_offset = image_size + len(payload) + 20 + padding
    table = struct.pack("<IHH", 16, 0x200, 2) + b"certific"
    return pe_image(table_offset, len(table)) + payload + trailer(image_size) + bytes(padding) + table


def main():
    text = b"Vorlasta shop data " * 8
    tree = [("app", None, None), ("app/Vorlasta.exe", b"MZ" + bytes(30), None),
            ("app/caf\u00e9.txt", text, None), ("data", None, None), ("data/shop.db", text[:40], None)]
    deflated = make_zip(tree)
    zips = {
        "deflated.zip": deflated,
        "stored.zip": make_zip(tree, zipfile.ZIP_STORED),
        "descriptors.zip": make_zip(tree[:3], streamed=True),
        "zip64.zip": make_zip(tree[:2], zip64=True),
        "bzip2.zip": make_zip(tree[1:3], zipfile.ZIP_BZIP2),
        "lzma.zip": make_zip(tree[1:2], zipfile.ZIP_LZMA),
        "symlink.zip": make_zip([("link", b"target", (0o120777 << 16))]),
        "refused-names.zip": make_zip([("a/../b", b"x", None), ("C:x", b"y", None), ("A.txt", b"", None),
                                       ("a.txt", b"", None), ("\u0424.txt", b"", None), ("\u0444.txt", b"", None)]),
        "control-character.zip": make_zip([("line\nbreak.txt", b"x", None)]),
        "names-differ.zip": replace_once(deflated, b"data/shop.db", b"data/shop.dx"),
        "bad-crc.zip": deflated[:30 + 20] + b"garbage" + deflated[57:],
        "truncated.zip": deflated[: len(deflated) // 2],
        "no-end-record.zip": deflated[:-22],
    }
    for name, data in zips.items():
        write("zip", name, data)

    payload = make_zip(tree[:3])
    image = plain_image()
    setups = {
        "install.exe": image + payload + trailer(len(image)),
        "move.exe": image + payload + trailer(len(image), 2),
        "signed.exe": signed_file(payload, 4),
        "signed-unpadded.exe": signed_file(payload, 0),
        "offset-zero.exe": image + payload + trailer(0),
        "offset-negative.exe": image + payload + trailer(-1),
        "offset-past-end.exe": image + payload + trailer(len(image) + len(payload) + 1),
        "payload-not-zip.exe": image + payload + trailer(len(image) - 2),
        "no-trailer.exe": image + payload,
    }
    for name, data in setups.items():
        write("setup", name, data)

    texts = ["C:\\Users\\O'Neil\\AppData\\Local\\Vorlasta", "\u2018a\u2019 \u201ab\u201b ''",
             'say "hi" \\"x\\" \\\\', "tail\\\\", "\t \"\" ", "'" * 300, "p" * 517 + "'"]
    for i, t in enumerate(texts):
        write("quoting", "text-%d" % i, t.encode("utf-16-le"))


if __name__ == "__main__":
    sys.exit(main())
