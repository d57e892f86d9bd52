#!/usr/bin/env python3
"""Print a C string literal holding the Shift-JIS (code page 932) bytes of a text.

The module keeps its Japanese texts as byte strings so that they are the same
bytes whatever the compiler's or the system's code page. Every byte at or above
0x80 is written as a hex escape; where an escape would swallow a following hex
digit, the literal is split ("\\x83" "C") so the compiler reads it as meant.

Usage: scripts/sjis-literal.py "テキスト"
"""
import string
import sys


def literal(text: str) -> str:
    out = []
    after_escape = False
    for byte in text.encode("cp932"):
        char = chr(byte)
        if byte >= 0x80 or byte < 0x20 or char in '"\\':
            if byte == 0x0A:
                out.append("\\n")
                after_escape = False
                continue
            out.append("\\x%02X" % byte)
            after_escape = True
            continue
        if after_escape and char in string.hexdigits:
            out.append('" "')
        out.append(char)
        after_escape = False
    return '"' + "".join(out) + '"'


if __name__ == "__main__":
    for arg in sys.argv[1:]:
        shown = arg.replace("\n", "\\n")
        print(f"// {shown} ({len(arg.encode('cp932'))} bytes)")
        print(literal(arg))
