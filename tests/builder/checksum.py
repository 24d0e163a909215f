"""XOR checksums of the file header and of small pages."""

from __future__ import annotations


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


def page_checksum(page: bytes | bytearray | memoryview, pgno: int) -> int:
    """Checksum of a small page: XOR of the u32 words in [8, page size) XORed with the page number."""
    return xor_words(page, 8, len(page)) ^ (pgno & 0xFFFFFFFF)
