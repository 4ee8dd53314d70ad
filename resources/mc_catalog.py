#!/usr/bin/env python3
"""Builds the catalogue for platforms without a message compiler.

Reads the message source the Windows message compiler reads and writes three files:
a header with the same MSG_ symbols the message compiler would define; a table of
(event ID, text, journal message ID) rows whose texts are stored as the message table
stores them, each source line followed by CR LF (and a row without text for event ID 0,
which has no entry but has an explanation); and the journal's catalogue, the
explanations of corvane.catalog.in under each entry's message ID.

usage: mc_catalog.py messages.mc corvane.catalog.in out/messages.h out/catalog.inc
                     out/corvane.catalog
"""
import re
import sys

# The first 96 bits of every journal message ID of the source; the event ID is the last
# 32. Never to change: installed catalogues and administrators' filters name these IDs.
MESSAGE_ID_NAMESPACE = "08a09e4f522d4e03a1077bfe"

# The name corvane.catalog.in gives event ID 0, which messages.mc has no entry for.
EVENT_ID_0 = "EVENT_ID_0"

CATALOG_HEADERS = ("Defined-By: Corvane\n"
                   "Documentation: man:corvane(8)\n"
                   "Documentation: file:///usr/share/doc/corvane/docs/linux.md\n")


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


def journal_id(number):
    return f"{MESSAGE_ID_NAMESPACE}{number:08x}"


def explanations(path):
    """{name: (subject line, body)} from corvane.catalog.in, comments left out."""
    found, name, lines = {}, None, []
    with open(path, encoding="utf-8") as f:
        for line in [*f.read().splitlines(), "-- "]:
            if line.startswith("#"):
                continue
            if not line.startswith("-- "):
                lines.append(line)
                continue
            if name is not None:
                if name in found or not lines or not lines[0].startswith("Subject: "):
                    sys.exit(f"{path}: {name} needs one explanation, Subject: first")
                if re.search(r"@[A-Z_]*[^A-Z_@\s][^@\s]*@", "\n".join(lines)):
                    sys.exit(f"{path}: {name}: journalctl puts in no such @FIELD@")
                found[name] = (lines[0], "\n".join(lines[1:]).strip("\n"))
            name, lines = line[3:].strip(), []
    return found


def journal_catalog(numbers, explained, path):
    """The catalogue entries; every event explained, and nothing else."""
    if set(explained) != set(numbers):
        sys.exit(f"{path}: explanations for {sorted(explained)} but events {sorted(numbers)}")
    parts = ["# Generated from resources/messages.mc.in and corvane.catalog.in. Do not edit.\n"]
    for name, number in numbers.items():
        subject, body = explained[name]
        parts.append(f"\n-- {journal_id(number)}\n{subject}\n{CATALOG_HEADERS}\n{body}\n")
    return "".join(parts)


def main(source, explanation_source, header, table, catalog):
    with open(source, encoding="ascii", newline="") as f:
        severities, facilities, entries = parse(iter(f.readlines()))
    defines, rows, numbers = [], [], {EVENT_ID_0: 0}
    rows.append(f"{{0x00000000u, nullptr, \"{journal_id(0)}\"}},\n")
    for fields, text in entries:
        number = message_id(fields, severities, facilities)
        numbers[fields["SymbolicName"]] = number
        defines.append(f"#define {fields['SymbolicName']} 0x{number:X}\n")
        stored = c_string("".join(line + "\r\n" for line in text))
        rows.append(f"{{0x{number:08X}u, {stored}, \"{journal_id(number)}\"}},\n")
    text = journal_catalog(numbers, explanations(explanation_source), explanation_source)
    with open(header, "w", encoding="ascii") as f:
        f.write("// Generated from resources/messages.mc.in. Do not edit.\n#pragma once\n")
        f.writelines(defines)
    with open(table, "w", encoding="ascii") as f:
        f.write("// Generated from resources/messages.mc.in. Do not edit.\n")
        f.writelines(rows)
    with open(catalog, "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    main(*sys.argv[1:])
