#!/usr/bin/env python3
"""Repairs widl 8's stubless (-Oif) proxy code for [out] string pointers, in place.

widl 8 describes an `[out, string] LPWSTR *` parameter (and `LPOLESTR *`, and the
`[out, string, size_is(,n)] LPWSTR **` arrays) by the offset of the *inner* type: the
unique string pointer, or for arrays the array itself, instead of the enclosing
`FC_RP [allocated_on_stack] [pointer_deref]` entry that it also emits. Proxy and stub then
treat the caller's out slot as the string itself, so the caller receives NULL or garbage.

The repair points each such out parameter at the enclosing FC_RP entry, which describes the
wire format the interfaces define (a unique pointer followed by a conformant wide string).

Usage: widl_fixup_lpwstr.py FILE_p.c
Exit status 0 when at least one parameter was repaired, 1 when nothing matched (a fixed widl,
or a changed output format: either way the build must look again), 2 on bad usage.
"""
import re
import sys

LABEL = re.compile(r"^/\* (\d+) \(([^)]*)\) \*/$")
POINTER = re.compile(r"^0x(11|12|13), 0x([0-9a-f]+),")
TARGET = re.compile(r"Offset= -?\d+ \((\d+)\)")
PARAM = re.compile(r"^/\* \d+ \(parameter (\w+)\) \*/$")
FLAGS = re.compile(r"NdrFcShort\((0x[0-9a-f]+)\),\s*/\* flags:")
TYPE_OFFSET = re.compile(r"NdrFcShort\(0x[0-9a-f]+\),(\s*)/\* type offset = (\d+) \*/")

PARAM_OUT = 0x0010
PARAM_BASE_TYPE = 0x0040
PARAM_SIMPLE_REF = 0x0100
STRING_POINTER_TYPES = ("LPWSTR", "LPOLESTR")


def type_entries(lines):
    """Yields (offset, label, kind byte, attribute byte, target offset or None)."""
    for i, line in enumerate(lines[:-2]):
        m = LABEL.match(line.strip())
        if not m:
            continue
        p = POINTER.match(lines[i + 1].strip())
        if not p:
            continue
        t = TARGET.search(lines[i + 2])
        yield int(m.group(1)), m.group(2), int(p.group(1), 16), int(p.group(2), 16), \
            (int(t.group(1)) if t else None), i


def main(argv):
    if len(argv) != 2:
        print("usage: widl_fixup_lpwstr.py FILE_p.c", file=sys.stderr)
        return 2
    path = argv[1]
    with open(path) as f:
        lines = f.read().split("\n")

    entries = {e[0]: e for e in type_entries(lines)}
    # Offsets that widl wrongly uses for an out string parameter, mapped to the FC_RP entry
    # that encloses them.
    inner = {}
    for off, label, kind, attr, target, _ in entries.values():
        is_string_ptr = any(t in label for t in STRING_POINTER_TYPES) and label.endswith("*")
        if kind != 0x11 or attr != 0x14 or not is_string_ptr or target is None:
            continue
        inner[target] = off
        # LPWSTR **: FC_RP -> FC_OP -> array; widl points at the array.
        nxt = entries.get(target)
        if nxt and nxt[2] in (0x12, 0x13):
            nxt_target = nxt[4]
            if nxt_target is None:
                # "NdrFcShort(0x2)," without an Offset comment: a relative offset on its own.
                m = re.search(r"NdrFcShort\((0x[0-9a-f]+)\)", lines[nxt[5] + 2])
                if m:
                    nxt_target = target + 2 + int(m.group(1), 16)
            if nxt_target is not None:
                inner[nxt_target] = off

    repaired = []
    for i, line in enumerate(lines[:-3]):
        pm = PARAM.match(line.strip())
        if not pm:
            continue
        fm = FLAGS.search(lines[i + 1])
        tm = TYPE_OFFSET.search(lines[i + 3])
        if not fm or not tm:
            continue
        flags = int(fm.group(1), 16)
        if not flags & PARAM_OUT or flags & (PARAM_BASE_TYPE | PARAM_SIMPLE_REF):
            continue
        offset = int(tm.group(2))
        if offset not in inner:
            continue
        outer = inner[offset]
        lines[i + 3] = TYPE_OFFSET.sub(
            "NdrFcShort(0x%x),%s/* type offset = %d (was %d: out string pointer) */"
            % (outer, tm.group(1), outer, offset), lines[i + 3])
        repaired.append(pm.group(1))

    if not repaired:
        print("widl_fixup_lpwstr: %s: no [out] string pointer parameter needed repair" % path,
              file=sys.stderr)
        return 1
    with open(path, "w") as f:
        f.write("\n".join(lines))
    print("widl_fixup_lpwstr: %s: repaired %d parameter(s): %s"
          % (path, len(repaired), ", ".join(repaired)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
