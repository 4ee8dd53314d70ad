#!/usr/bin/env python3
"""Builds the catalogue for platforms without a message compiler.

Reads the message source the Windows message compiler reads and writes two files:
a header with the same MSG_ symbols the message compiler would define, and a table of
(event ID, text) rows whose texts are stored as the message table stores them: each
source line followed by CR LF.

usage: mc_catalog.py messages.mc out/messages.h out/catalog.inc
"""
import re
import sys


def parse(lines):
    severities, facilities = {}, {}
    entries, fields, text, in_text = [], {}, [], False
    for raw in lines:
        line = raw.rstrip("\r\n")
        if in_text:
            if line == ".":
                entries.append((fields.copy(), text))
                text, in_text = [], False
            else:
                text.append(line)
            continue
        if line.startswith(";") or not line.strip():
            continue
        key, _, value = line.partition("=")
        key = key.strip()
        if key in ("SeverityNames", "FacilityNames", "LanguageNames"):
            target = severities if key == "SeverityNames" else facilities
            block = line
            while ")" not in block:
                block += next(lines)
            for name, number in re.findall(r"(\w+)=(0x[0-9A-Fa-f]+)", block):
                target[name] = int(number, 16)
        elif key == "Language":
            in_text = True
        elif key:
            fields[key] = value.strip()
    return severities, facilities, entries


def message_id(fields, severities, facilities):
    severity = severities[fields["Severity"]]
    facility = facilities[fields["Facility"]]
    return (severity << 30) | (facility << 16) | int(fields["MessageId"], 0)


def c_string(text):
    out = []
    for ch in text:
        if ch in '"\\':
            out.append("\\" + ch)
        elif ch == "\r":
            out.append("\\r")
        elif ch == "\n":
            out.append("\\n")
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def main(source, header, table):
    with open(source, encoding="ascii", newline="") as f:
        severities, facilities, entries = parse(iter(f.readlines()))
    defines, rows = [], []
    for fields, text in entries:
        number = message_id(fields, severities, facilities)
        defines.append(f"#define {fields['SymbolicName']} 0x{number:X}\n")
        rows.append(f"{{0x{number:08X}u, {c_string(''.join(l + chr(13) + chr(10) for l in text))}}},\n")
    with open(header, "w", encoding="ascii") as f:
        f.write("// Generated from resources/messages.mc.in. Do not edit.\n#pragma once\n")
        f.writelines(defines)
    with open(table, "w", encoding="ascii") as f:
        f.write("// Generated from resources/messages.mc.in. Do not edit.\n")
        f.writelines(rows)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
