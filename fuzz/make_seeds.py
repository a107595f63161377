#!/usr/bin/env python3
"""Writes the hand-made seeds of every fuzz target into fuzz/corpus/<target>/.

Each seed is built in the order its target reads its input (see the comment at the top of each
target). Run it again after changing an input layout; files it does not write are left alone, so
crashers kept in the corpus stay.
"""

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# telnet_fuzz --------------------------------------------------------------------------------------

IAC, SB, SE, WILL, WONT, DO, DONT = 255, 250, 240, 251, 252, 253, 254


def telnet(cuts, data):
    return bytes([len(cuts)] + cuts) + data


write("telnet_fuzz", "negotiation", telnet([3], bytes([IAC, DO, 0, IAC, WILL, 0, IAC, DO, 44,
                                                       IAC, WONT, 44, IAC, WILL, 24])))
write("telnet_fuzz", "answers-split", telnet([1, 5], bytes([IAC, SB, 44, 101, 0, 0, 0xE1, 0,
                                                            IAC, SE, IAC, SB, 44, 105, 1, IAC,
                                                            SE]) + b"data\xff\xff"))
write("telnet_fuzz", "long-subnegotiation", telnet([], bytes([IAC, SB, 44]) + b"z" * 100 +
                                                   bytes([IAC, SE]) + b"after"))
write("telnet_fuzz", "name", telnet([], b"rfc2217://[::1]:2217"))

# drain_fuzz ---------------------------------------------------------------------------------------

def ring(data, tail=0, notify=False):
    return bytes([0, 1 if notify else 0]) + struct.pack("<HH", tail, len(data)) + data


def size_u16(width, height):
    # Size fields as "u16 % 4096" (selector 1).
    return bytes([1, 1]) + struct.pack("<H", width) + bytes([1]) + struct.pack("<H", height)


def size_i32(width, height):
    # Size fields as raw i32 (selector 2).
    return bytes([1, 2]) + struct.pack("<i", width) + bytes([2]) + struct.pack("<i", height)


def cell(cx, cy):
    return bytes([2]) + struct.pack("<hh", cx, cy)


def clear():
    return bytes([3])


def text(data, update=True):
    return bytes([4, 1 if update else 0, len(data)]) + data


def paint(left, top, right, bottom):
    out = bytes([5])
    for v in (left, top, right, bottom):
        out += bytes([0]) + struct.pack("<h", v)
    return out


def focus():
    return bytes([6])


def kill_focus():
    return bytes([7])


READY = b"Ready to receive update file....\r\n"
XONXOFF = b"file using plain text transmission and XOn/Xoff handshaking....\r\n"

write("drain_fuzz", "prompt-ready",
      ring(b"Boot loader v2.1\r\n" + READY) + paint(0, 0, 642, 377))
write("drain_fuzz", "prompt-xonxoff-notify",
      ring(b"Send the update " + XONXOFF, tail=400, notify=True))
write("drain_fuzz", "prompt-split-across-drains",
      ring(READY[:20], tail=990) + ring(READY[20:], tail=10) + focus() + paint(0, 0, 642, 377))
write("drain_fuzz", "ring-wraps",
      ring(b"Block 1 programmed, checksum OK\r\n" * 30, tail=700))
# A 6 x 4 grid of 8 x 15 cells: wrap, scroll, backspace, carriage return, paint with the caret.
write("drain_fuzz", "small-grid-wrap-scroll",
      cell(8, 15) + size_u16(6 * 8 + 2, 4 * 15 + 2) + focus() +
      text(b"abcdefghij\r\nxy\x08z\rQ\n1\n2\n3\n4") + paint(0, 0, 50, 62) +
      paint(9, 16, 30, 40) + kill_focus() + clear() + paint(-100, -100, 1000, 1000))
write("drain_fuzz", "degenerate-sizes",
      size_u16(0, 0) + text(b"lost?\r\n") + size_u16(1, 400) + text(b"\n\n\n\n") +
      size_i32(-5, -7) + text(b"x\n") + cell(0, -3) + size_u16(3, 3) + text(b"AB\nCD\n") +
      focus() + paint(0, 0, 3, 3))
write("drain_fuzz", "cell-size-change-keeps-grid",
      size_u16(200, 200) + text(b"hello\r\nworld") + cell(40, 1) + paint(0, 0, 200, 200) +
      focus() + cell(1, 1) + paint(0, 0, 200, 200))
# Faults in the screen model (docs/RELIABILITY-fuzz.md): a client area narrower than INT_MIN + 2
# overflows the column count; scrolling a grid without columns asks for an empty repaint.
write("drain_fuzz", "fault-int-min-width",
      cell(1 << 14, 15) + size_i32(-2**31, 100))
write("drain_fuzz", "fault-empty-repaint-rect",
      cell(8, 15) + size_u16(2, 2 + 2 * 15) + text(b"\n\n"))


# format_fuzz --------------------------------------------------------------------------------------

def fmt(fmt_text, inserts=(), escapes=False, lengths=None):
    head = len(inserts) | (0x80 if escapes else 0)
    out = bytes([head])
    if escapes:
        out += bytes(lengths)
    else:
        for s in inserts:
            out += bytes([len(s)]) + s
    return out + fmt_text


write("format_fuzz", "insert-one", fmt(b"Failed to open %1", [b"COM7"]))
write("format_fuzz", "insert-twice", fmt(b"'%1' and '%1'", [b"C:\\a %1 %n b"]))
write("format_fuzz", "escapes", fmt(b"100%% sure%.%n%r%t%!%0 cut"))
write("format_fuzz", "printf-format", fmt(b"x%1!s!y%2!d z%3!!", [b"A", b"B", b"C"]))
write("format_fuzz", "two-digits-and-missing", fmt(b"%12 %2 %99 %3", [b"a", b"b"]))
write("format_fuzz", "trailing-percent", fmt(b"trailing %", [b"x"]))
write("format_fuzz", "insertions-of-escapes",
      fmt(b"%1%2%3 and %1!s!", [None] * 3, escapes=True, lengths=[7, 8 + 3, 1]))


# portlist_fuzz ------------------------------------------------------------------------------------

def values(*vals, open_fails=False):
    out = bytes([(len(vals) << 1) | (1 if open_fails else 0)])
    for v in vals:
        out += v
    return out


def sz(data, name_len=8, error=0):
    return bytes([0, name_len, len(data)]) + data + bytes([error])


def dword(data=b"\x01\x00\x00\x00"):
    return bytes([2, 6, len(data)]) + data + bytes([0])


write("portlist_fuzz", "numeric-order",
      values(sz(b"COM10\0"), sz(b"COM2\0"), sz(b"COM1\0"), sz(b"ttyUSB0\0")))
write("portlist_fuzz", "unterminated-16", values(sz(b"ttyUSB0123456789"), sz(b"COM3\0")))
write("portlist_fuzz", "other-types-skipped", values(sz(b"ttyS1\0"), dword(), sz(b"ttyS0\0")))
write("portlist_fuzz", "more-data-stops",
      values(sz(b"COM3\0"), sz(b"COM4\0", name_len=64), sz(b"COM5\0")))
write("portlist_fuzz", "error-at-index",
      values(sz(b"COM8\0"), sz(b"COM9\0", error=5), sz(b"COM1\0")))
write("portlist_fuzz", "open-fails", values(sz(b"COM1\0"), open_fails=True))
write("portlist_fuzz", "empty-and-embedded-nul", values(sz(b""), sz(b"CO\0M7\0"), sz(b"\0")))


# args_fuzz ----------------------------------------------------------------------------------------

def argv(*args):
    return b"\0".join(args)


write("args_fuzz", "full",
      argv(b"--console", b"--port", b"ttyUSB0", b"--file=update.txt", b"--send-now", b"--repeat"))
write("args_fuzz", "demo", argv(b"--demo", b"--console"))
write("args_fuzz", "demo-with-port", argv(b"--demo", b"--port=COM3"))
write("args_fuzz", "empty-value", argv(b"--port="))
write("args_fuzz", "missing-value", argv(b"--file"))
write("args_fuzz", "value-on-flag", argv(b"--help=yes"))
write("args_fuzz", "unknown-and-stray", argv(b"-x", b"stray"))
write("args_fuzz", "list-ports", argv(b"--list-ports"))
write("args_fuzz", "value-looks-like-option", argv(b"--port", b"--file", b"--list-ports"))


# pattern_fuzz -------------------------------------------------------------------------------------

def pattern(p, text):
    return bytes([len(p)]) + p + text


write("pattern_fuzz", "verdict", pattern(rb"^Update received: (.*) header ok$",
                                         b"Update received: 4.2 header ok"))
write("pattern_fuzz", "nested-repeat", pattern(rb"^(\w+\s?)+ header ok$",
                                               b"word word word word word word word word!"))
write("pattern_fuzz", "classes", pattern(rb"[]a-c\d\s-][^\x00-\x1f]\b\B[\b]",
                                         b"]x a-1 \x08zz"))
write("pattern_fuzz", "counts", pattern(rb"(?:(a)|b){2,5}?c{0}d{3,}|e{1000}", b"abbaddd"))
write("pattern_fuzz", "lazy-and-empty", pattern(rb"(a*)*?|(x??)+$", b"aaab"))
write("pattern_fuzz", "escapes", pattern(rb"\t\n\r\f\v\0\x41\u0042\.\*\/", b"\t\n\r\f\v\0AB.*/"))
write("pattern_fuzz", "refused", pattern(rb"(a)\1(?=b)(?<n>c)", b"aab"))
