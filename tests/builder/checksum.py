"""Checksums of the file header and of pages, in both page forms, and single-bit flips.

XOR form (page flag 0x2000 clear): u32 at 0 = 0x89ABCDEF ^ the XOR of the page's u32 words from
offset 4, u32 at 4 = the page number. XOR-ECC form (flag set): per block (the page up to 8 KiB; 4 KiB
blocks of a 16 KiB page, 8 KiB blocks of a 32 KiB page) a u64: the ECC in the high 32 bits, the XOR of
the block's u32 words ^ the page number in the low 32. Block 0's checksum is at offset 0 (its first 8
bytes count as zeros), blocks 1-3's at 40, 48, 56 (inside block 0). The ECC is a Hsiao code over the
block as rows of 32 bits: the parity of the set bits whose row index has bit k set (p, bits 5..), of
those whose column index has bit k set (r, bits 0-4), and the complements of both (q from bit 21, s from
bit 16).
"""

from __future__ import annotations

import struct
from functools import cache

XOR_SEED = 0x89ABCDEF
NEW_FORMAT_FLAG = 0x2000
BLOCK_CHECKSUMS = 40


def xor_words(data: bytes | bytearray | memoryview, start: int, end: int) -> int:
    """XOR of the little-endian u32 words of data[start:end] (end - start must be a multiple of 4)."""
    if (end - start) % 4:
        raise ValueError("checksummed range must be a whole number of u32 words")
    value = int.from_bytes(data[start:end], "little")
    # Fold the range in halves: XOR of both halves keeps the 32-bit word columns aligned.
    width = 1 << max(5, ((end - start) * 8 - 1).bit_length())
    while width > 32:
        width //= 2
        value = (value ^ (value >> width)) & ((1 << width) - 1)
    return value


def header_checksum(block: bytes | bytearray | memoryview) -> int:
    """Checksum of a header block: XOR of the u32 words in [8, 4096), starting from 0."""
    return xor_words(block, 8, 4096)


@cache
def _row_masks(size: int) -> list[int]:
    """For each bit k of the row index: all bits of the rows whose index has bit k set."""
    rows = size // 4
    return [
        sum(0xFFFFFFFF << (32 * row) for row in range(rows) if row >> k & 1)
        for k in range(rows.bit_length() - 1)
    ]


def _parity(value: int) -> int:
    return value.bit_count() & 1


def xor_ecc_checksum(block: bytes | bytearray | memoryview, pgno: int, holds_checksum: bool) -> int:
    """The u64 checksum of a block (1 to 8 KiB); one holding the checksum reads its first 8 bytes as 0."""
    size = len(block)
    bits = int.from_bytes(block, "little")
    if holds_checksum:
        bits &= ~0xFFFFFFFFFFFFFFFF
    columns = xor_words(bits.to_bytes(size, "little"), 0, size)
    row_mask = size // 4 - 1
    p = sum(_parity(bits & mask) << k for k, mask in enumerate(_row_masks(size)))
    r = sum(
        _parity(columns & mask) << k
        for k, mask in enumerate((0xAAAAAAAA, 0xCCCCCCCC, 0xF0F0F0F0, 0xFF00FF00, 0xFFFF0000))
    )
    odd = _parity(columns)
    q, s = p ^ (row_mask if odd else 0), r ^ (31 if odd else 0)
    ecc = q << 21 | s << 16 | p << 5 | r
    return ecc << 32 | (columns ^ pgno) & 0xFFFFFFFF


def block_size(page_size: int) -> int:
    return page_size if page_size <= 8192 else page_size // 4


def stamp_page(page: bytearray | memoryview, pgno: int) -> None:
    """Write the checksum(s) of a page in place, in the form its flags choose."""
    (flags,) = struct.unpack_from("<I", page, 36)
    if not flags & NEW_FORMAT_FLAG:
        struct.pack_into("<I", page, 4, pgno & 0xFFFFFFFF)
        struct.pack_into("<I", page, 0, XOR_SEED ^ xor_words(page, 4, len(page)))
        return
    size = block_size(len(page))
    for b in range(1, len(page) // size):
        struct.pack_into(
            "<Q",
            page,
            BLOCK_CHECKSUMS + 8 * (b - 1),
            xor_ecc_checksum(page[b * size : (b + 1) * size], pgno, False),
        )
    struct.pack_into("<Q", page, 0, xor_ecc_checksum(page[:size], pgno, True))


def flip_bit(data: bytearray, offset: int, bit: int) -> None:
    """Flip bit `bit` (0 = lowest) of byte `offset`."""
    data[offset] ^= 1 << bit


def to_xor_form(image: bytes, page_size: int) -> bytes:
    """The image with every written page in the XOR form (flag 0x2000 cleared, checksummed anew)."""
    out = bytearray(image)
    for start in range(2 * page_size, len(out) - page_size + 1, page_size):
        page = memoryview(out)[start : start + page_size]
        if any(page):
            struct.pack_into("<I", page, 36, struct.unpack_from("<I", page, 36)[0] & ~NEW_FORMAT_FLAG)
            stamp_page(page, start // page_size - 1)
        page.release()
    return bytes(out)
