"""The two steps of writing PCX scanlines that the sample and seed-corpus
scripts share: packing pixel values into a plane line, and run-length coding.
Both are plain on purpose: they make files the plug-in is tested against."""


def run_length(raw):
    """Codes for raw bytes: runs of 2 to 63 equal bytes, lone bytes below 0xC0
    as themselves, lone bytes of 0xC0 or above as 0xC1 and the byte."""
    out = bytearray()
    i = 0
    while i < len(raw):
        n = 1
        while i + n < len(raw) and raw[i + n] == raw[i] and n < 63:
            n += 1
        if n == 1 and raw[i] < 0xC0:
            out.append(raw[i])
        else:
            out += bytes((0xC0 | n, raw[i]))
        i += n
    return bytes(out)


def pack_line(values, bits, bytes_per_line):
    """Pixel values packed most significant bits first into one plane line."""
    line = bytearray(bytes_per_line)
    for x, value in enumerate(values):
        bit = x * bits
        line[bit // 8] |= value << (8 - bits - bit % 8)
    return bytes(line)
