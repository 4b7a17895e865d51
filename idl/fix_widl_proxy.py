#!/usr/bin/env python3
"""Corrects the proc format strings of a widl-generated stubless proxy file (*_p.c).

1. [out] string pointers.

widl points the type offset of an [out] string-pointer parameter (`[out] LPWSTR *`, with or without `string`,
and `[out, string, size_is(,n)] LPWSTR **`) past the top-level reference pointer: at the inner
`FC_OP [simple_pointer]` entry (or, for the array form, at the array itself) instead of at the
`FC_RP [allocated_on_stack] [pointer_deref]` entry that leads there. The NDR engine then treats the parameter
as a plain pointer: the caller receives NULL together with S_OK. Every top-level [out] parameter must start at
a reference pointer, so the correct offset is that of the FC_RP entry whose pointer chain reaches the wrong
target.

2. [in] arrays the stub must free. widl describes `[in, size_is(n)] T *p` as a "simple ref" parameter whose
type offset names the array itself. When the stub has to build the array in its own memory (arrays of
structures with pointers such as OPCITEMDEF, arrays of VARIANT), the NDR engine of Wine frees only what the
elements point to and never the array: every call leaves the array behind in the server (48 bytes per
OPCITEMDEF and 24 per VARIANT on 64-bit). Such a parameter is given a top-level `FC_RP` entry leading to the
array, appended to the type format string, and loses its "simple ref" flag: the engine then frees the array
through the reference pointer (and never frees memory that lies in the RPC buffer). A top-level reference
pointer has no representation on the wire, so the messages stay the same. Any other [in] simple-ref
parameter must point at a type that the stub reads in place from the buffer (strings, GUIDs, arrays of
plain values); anything else stops the build.

Usage: fix_widl_proxy.py INPUT OUTPUT [--expect Interface::Method:param ...]

Every --expect parameter must end up pointing at an FC_RP [allocated_on_stack] [pointer_deref] entry (whether
this script had to correct it or not). After the corrections no top-level [out]-only parameter may point at
anything but a reference pointer. Anything unexpected stops the build with a message.
"""

import re
import sys

FC_RP, FC_UP, FC_OP, FC_FP = 0x11, 0x12, 0x13, 0x14
FC_ALLOCED_ON_STACK, FC_SIMPLE_POINTER, FC_POINTER_DEREF = 0x04, 0x08, 0x10
FLAG_IN, FLAG_OUT, FLAG_BASETYPE, FLAG_SIMPLE_REF = 0x0008, 0x0010, 0x0040, 0x0100
# [in] types the stub builds in memory of its own (the engine's unmarshaller allocates them) ...
SERVER_ALLOCATED = {0x1a: "FC_BOGUS_STRUCT", 0x21: "FC_BOGUS_ARRAY", 0xb4: "FC_USER_MARSHAL"}
# ... and those it reads in place from the RPC buffer.
READ_IN_PLACE = {0x15: "FC_STRUCT", 0x17: "FC_CSTRUCT", 0x1b: "FC_CARRAY", 0x1d: "FC_SMFARRAY",
                 0x1e: "FC_LGFARRAY", 0x22: "FC_C_CSTRING", 0x25: "FC_C_WSTRING"}


def fail(msg):
    sys.stderr.write("fix_widl_proxy: ERROR: %s\n" % msg)
    sys.exit(1)


TOKEN = re.compile(r"NdrFcShort\(\s*(0x[0-9a-fA-F]+|\d+)\s*\)|NdrFcLong\(\s*(0x[0-9a-fA-F]+|\d+)\s*\)|"
                   r"(0x[0-9a-fA-F]+|\d+)\s*,")


def strip_comment(line):
    return re.sub(r"/\*.*?\*/", "", line)


def parse_format_bytes(lines, start, end):
    """Returns (bytes, offsets of the lines) of the format string between lines start and end."""
    data = bytearray()
    line_offset = {}
    for n in range(start, end):
        line_offset[n] = len(data)
        # A comment "/* N ..." at the start of a line names the offset; check our count against it.
        m = re.match(r"\s*/\*\s*(\d+)\b", lines[n])
        if m and int(m.group(1)) != len(data):
            fail("format string offset mismatch at line %d: widl says %s, counted %d"
                 % (n + 1, m.group(1), len(data)))
        for t in TOKEN.finditer(strip_comment(lines[n])):
            if t.group(1) is not None:
                v = int(t.group(1), 0)
                data += bytes((v & 0xff, (v >> 8) & 0xff))
            elif t.group(2) is not None:
                v = int(t.group(2), 0)
                data += v.to_bytes(4, "little")
            else:
                data.append(int(t.group(3), 0) & 0xff)
    return data, line_offset


def find_block(lines, name):
    for n, line in enumerate(lines):
        if re.search(r"\b%s\s*=" % name, line):
            # The bytes start after the "0," (pad) and "{" lines.
            k = n + 1
            while "{" not in lines[k]:
                k += 1
            k += 1
            while "{" not in lines[k]:
                k += 1
            first = k + 1
            k = first
            while not re.match(r"\s*}\s*$", lines[k]):
                k += 1
            return first, k
    fail("no %s in the input" % name)


def pointee(fmt, at):
    """Offset a pointer entry at `at` leads to (None if it is not a pointer)."""
    if fmt[at] not in (FC_RP, FC_UP, FC_OP, FC_FP):
        return None
    if fmt[at + 1] & FC_SIMPLE_POINTER:
        return at + 2
    rel = int.from_bytes(fmt[at + 2:at + 4], "little", signed=True)
    return at + 2 + rel


def is_out_ref_head(fmt, at):
    return (fmt[at] == FC_RP and (fmt[at + 1] & (FC_ALLOCED_ON_STACK | FC_POINTER_DEREF))
            == (FC_ALLOCED_ON_STACK | FC_POINTER_DEREF))


def find_head(fmt, entry_offsets, target):
    """The nearest FC_RP [allocated_on_stack] [pointer_deref] entry before target whose chain reaches it."""
    best = None
    for at in entry_offsets:
        if at >= target or at + 4 > len(fmt) or not is_out_ref_head(fmt, at):
            continue
        hop = pointee(fmt, at)
        if hop != target and hop is not None and fmt[hop] in (FC_OP, FC_UP) and hop + 4 <= len(fmt):
            hop = pointee(fmt, hop)
        if hop == target and (best is None or at > best):
            best = at
    return best


def free_in_arrays(lines, fmt, t_line_offset, t_end, params):
    """Gives every [in] simple-ref parameter of a server-allocated type a top-level FC_RP (see above)."""
    # The new entries go before the type format string's closing pad byte.
    at_line = t_end - 1 if re.match(r"\s*0x0\s*$", lines[t_end - 1]) else t_end
    entry = t_line_offset.get(at_line, len(fmt)) if at_line < t_end else len(fmt)
    heads = {}  # target -> offset of its new FC_RP entry
    added = []
    freed = []
    for i, (name, flags, line_no, target) in enumerate(params):
        if flags & (FLAG_OUT | FLAG_BASETYPE) or not flags & FLAG_IN or not flags & FLAG_SIMPLE_REF:
            continue
        if target >= len(fmt):
            fail("%s: type offset %d beyond the type format string" % (name, target))
        kind = fmt[target]
        if kind in READ_IN_PLACE:
            continue
        if kind not in SERVER_ALLOCATED:
            fail("%s: [in] reference to format char 0x%02x at %d, which this build does not know to be freed "
                 "by the stub" % (name, kind, target))
        if target not in heads:
            rel = target - (entry + 2)
            if rel < -0x8000:
                fail("%s: the type format string is too long for a reference pointer back to %d" % (name, target))
            heads[target] = entry
            added += ["/* %d (top-level reference to the %s at %d, freed by the stub) */" % (entry, SERVER_ALLOCATED[kind], target),
                      "        0x11, 0x0,\t/* FC_RP */",
                      "        NdrFcShort(0x%x),\t/* Offset= %d (%d) */" % (rel & 0xffff, rel, target)]
            entry += 4
        flags_line = line_no - 2
        if not re.search(r"NdrFcShort\(0x%x\)" % flags, lines[flags_line]):
            fail("%s: cannot find the flags line" % name)
        kept = [text for bit, text in ((0x1, "must size"), (0x2, "must free"), (FLAG_IN, "in")) if flags & bit]
        lines[flags_line] = ("        NdrFcShort(0x%x),\t/* flags: %s (simple ref dropped) */"
                             % (flags & ~FLAG_SIMPLE_REF, ", ".join(kept)))
        head = heads[target]
        lines[line_no] = re.sub(r"NdrFcShort\(0x[0-9a-fA-F]+\),\s*/\* type offset = \d+ \*/",
                                "NdrFcShort(0x%x),\t/* type offset = %d (was %d) */" % (head, head, target),
                                lines[line_no])
        params[i] = (name, flags & ~FLAG_SIMPLE_REF, line_no, head)
        freed.append(name)
    if added:
        growth = 4 * len(heads)
        for n, line in enumerate(lines):
            m = re.match(r"#define TYPE_FORMAT_STRING_SIZE (\d+)\s*$", line)
            if m:
                lines[n] = "#define TYPE_FORMAT_STRING_SIZE %d" % (int(m.group(1)) + growth)
                break
        else:
            fail("no TYPE_FORMAT_STRING_SIZE in the input")
        lines[at_line:at_line] = added
    return freed


def main(argv):
    args = argv[1:]
    expect = []
    if "--expect" in args:
        i = args.index("--expect")
        expect = args[i + 1:]
        args = args[:i]
    if len(args) != 2:
        fail("usage: fix_widl_proxy.py INPUT OUTPUT [--expect Interface::Method:param ...]")
    src, dst = args
    with open(src, encoding="utf-8") as f:
        lines = f.read().split("\n")

    t_first, t_end = find_block(lines, "__MIDL_TypeFormatString")
    fmt, t_line_offset = parse_format_bytes(lines, t_first, t_end)
    entry_offsets = sorted(set(t_line_offset.values()))

    p_first, p_end = find_block(lines, "__MIDL_ProcFormatString")
    proc = None
    params = []  # (qualified name, flags, line index of the type offset, type offset)
    n = p_first
    while n < p_end:
        m = re.search(r"\(procedure (\S+)\)", lines[n])
        if m:
            proc = m.group(1)
        m = re.search(r"\(parameter (\w+)\)", lines[n])
        if m and proc:
            flags_m = re.search(r"NdrFcShort\((0x[0-9a-fA-F]+)\)", lines[n + 1])
            if not flags_m:
                fail("cannot read the flags of %s:%s" % (proc, m.group(1)))
            flags = int(flags_m.group(1), 16)
            if not flags & FLAG_BASETYPE:
                to = re.search(r"NdrFcShort\((0x[0-9a-fA-F]+)\),\s*/\* type offset = (\d+) \*/", lines[n + 3])
                if not to or int(to.group(1), 16) != int(to.group(2)):
                    fail("cannot read the type offset of %s:%s" % (proc, m.group(1)))
                params.append(("%s:%s" % (proc, m.group(1)), flags, n + 3, int(to.group(2))))
        n += 1
    if not params:
        fail("no procedure parameters found: is this a widl -Oif proxy file?")

    fixed = []
    for name, flags, line_no, target in params:
        if not (flags & FLAG_OUT) or (flags & FLAG_IN):
            continue
        if flags & FLAG_SIMPLE_REF:  # the offset names the pointee of a plain reference pointer
            continue
        if target >= len(fmt):
            fail("%s: type offset %d beyond the type format string" % (name, target))
        if fmt[target] == FC_RP:
            continue
        head = find_head(fmt, entry_offsets, target)
        if head is None:
            fail("%s: [out] parameter points at format char 0x%02x at %d and no reference pointer leads there; "
                 "the widl output has a shape this build does not know" % (name, fmt[target], target))
        lines[line_no] = re.sub(r"NdrFcShort\(0x[0-9a-fA-F]+\),\s*/\* type offset = \d+ \*/",
                                "NdrFcShort(0x%x),\t/* type offset = %d (corrected from %d) */"
                                % (head, head, target), lines[line_no])
        fixed.append(name)
        for i, p in enumerate(params):
            if p[0] == name:
                params[i] = (name, flags, line_no, head)

    freed = free_in_arrays(lines, fmt, t_line_offset, t_end, params)

    by_name = {p[0]: p for p in params}
    for e in expect:
        if e not in by_name:
            fail("expected parameter %s not found in %s" % (e, src))
        target = by_name[e][3]
        if not is_out_ref_head(fmt, target):
            fail("expected parameter %s does not start at FC_RP [allocated_on_stack] [pointer_deref]" % e)

    with open(dst, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))
    sys.stdout.write("fix_widl_proxy: %s: corrected %d [out] string parameter(s)%s; %d [in] array(s) freed "
                     "by the stub%s\n"
                     % (src.split("/")[-1], len(fixed), (": " + ", ".join(fixed)) if fixed else "", len(freed),
                        (": " + ", ".join(freed)) if freed else ""))


if __name__ == "__main__":
    main(sys.argv)
