#!/usr/bin/env python3
"""Generates csrc/helperlib/_unicodetype_db.cpp from the JSON-encoded Unicode Character Database.

Usage: gen_unicodedb.py UCD_DIR [--output PATH]

UCD_DIR holds UnicodeData.json, SpecialCasing.json, CaseFolding.json,
DerivedCoreProperties.json, LineBreak.json and Unihan_NumericValues.json. The output is
byte-for-byte reproducible from the same data: every table is built in code-point order and
nothing in it depends on the machine, the time or the path of UCD_DIR.
"""
import argparse
import json
import os
import sys
from fractions import Fraction

UNICODE_VERSION = "11.0.0"
MAX_UNICODE = 0x10FFFF
BLOCK_SHIFT = 7
BLOCK_SIZE = 1 << BLOCK_SHIFT

# Flag bits of the type record; the C side reads them with the same values.
ALPHA = 0x0001
DECIMAL = 0x0002
DIGIT = 0x0004
LOWER = 0x0008
LINEBREAK = 0x0010
SPACE = 0x0020
TITLE = 0x0040
UPPER = 0x0080
XID_START = 0x0100
XID_CONTINUE = 0x0200
PRINTABLE = 0x0400
NUMERIC = 0x0800
CASE_IGNORABLE = 0x1000
CASED = 0x2000
EXTENDED_CASE = 0x4000

DERIVED_FLAGS = {
    "Lowercase": LOWER,
    "Uppercase": UPPER,
    "XID_Start": XID_START,
    "XID_Continue": XID_CONTINUE,
    "Cased": CASED,
    "Case_Ignorable": CASE_IGNORABLE,
}
ALPHA_CATEGORIES = {"Lm", "Lt", "Lu", "Ll", "Lo"}
LINEBREAK_CLASSES = {"BK", "CR", "LF", "NL"}
SPACE_BIDI = {"WS", "B", "S"}
UNIHAN_NUMERIC_KEYS = ("kAccountingNumeric", "kPrimaryNumeric", "kOtherNumeric")

# Extended-case references: index in the low 16 bits, mapping length from bit 24, and in the
# lower field the case-folding length from bit 20.
EXT_LENGTH_SHIFT = 24
EXT_FOLD_LENGTH_SHIFT = 20


def load(ucd_dir, name):
    with open(os.path.join(ucd_dir, name + ".json"), encoding="utf-8") as f:
        return json.load(f)[name]


def hexcp(text):
    return int(text, 16)


def expand_range(rng):
    first = hexcp(rng[0])
    last = hexcp(rng[-1])
    return range(first, last + 1)


def read_unicode_data(ucd_dir):
    """Maps every assigned code point to its UnicodeData entry; a <..., First>/<..., Last>
    pair gives every code point between them the First entry's properties."""
    entries = {}
    first = None
    for entry in load(ucd_dir, "UnicodeData"):
        cp = hexcp(entry["codepoint"])
        name = entry["name"]
        if name.endswith(", First>"):
            first = (cp, entry)
            continue
        if name.endswith(", Last>"):
            start, start_entry = first
            for c in range(start, cp + 1):
                entries[c] = start_entry
            first = None
            continue
        entries[cp] = entry
    return entries


def read_derived_flags(ucd_dir):
    flags = {}
    for entry in load(ucd_dir, "DerivedCoreProperties"):
        bit = DERIVED_FLAGS.get(entry["property"])
        if bit is None:
            continue
        for c in expand_range(entry["range"]):
            flags[c] = flags.get(c, 0) | bit
    return flags


def read_linebreaks(ucd_dir):
    found = set()
    for entry in load(ucd_dir, "LineBreak"):
        if entry["lineBreakProperty"] in LINEBREAK_CLASSES:
            found.update(expand_range(entry["range"]))
    return found


def read_special_casing(ucd_dir):
    """Unconditional mappings only: the conditional ones depend on context or language,
    which a per-code-point record cannot express."""
    special = {}
    for entry in load(ucd_dir, "SpecialCasing"):
        if "conditions" in entry:
            continue
        seqs = [[hexcp(x) for x in entry[key]]
                for key in ("lowerSequence", "titleSequence", "upperSequence")]
        special[hexcp(entry["codepoint"])] = tuple(seqs)
    return special


def read_case_folding(ucd_dir):
    """Common and full foldings; the simple and Turkic ones would replace them."""
    folding = {}
    for entry in load(ucd_dir, "CaseFolding"):
        if entry["status"] in ("C", "F"):
            folding[hexcp(entry["codepoint"])] = [hexcp(x) for x in entry["mapping"].split()]
    return folding


def read_unihan_numeric(ucd_dir):
    values = {}
    for entry in load(ucd_dir, "Unihan_NumericValues"):
        for key in UNIHAN_NUMERIC_KEYS:
            if key in entry:
                values[int(entry["codepoint"][2:], 16)] = entry[key]
    return values


def check(condition, message):
    """The packing has fixed field widths; data that overflows one must stop the generator
    rather than produce a table that decodes to something else."""
    if not condition:
        raise SystemExit("gen_unicodedb: " + message)


class Database:
    """The parsed data and the extended-case table that record() fills."""

    def __init__(self, ucd_dir):
        self.data = read_unicode_data(ucd_dir)
        self.derived = read_derived_flags(ucd_dir)
        self.linebreaks = read_linebreaks(ucd_dir)
        self.special = read_special_casing(ucd_dir)
        self.folding = read_case_folding(ucd_dir)
        self.unihan_numeric = read_unihan_numeric(ucd_dir)
        self.extended_case = []

    def numeric_value(self, c):
        """The numeric value as text ("7", "-1/2"), or None."""
        entry = self.data.get(c)
        if entry is not None and entry.get("numericValue"):
            return entry["numericValue"]
        return self.unihan_numeric.get(c)

    def flags(self, c, entry):
        category = entry["category"]
        bidi = entry["bidirectionalCategory"]
        flags = self.derived.get(c, 0)
        if category in ALPHA_CATEGORIES:
            flags |= ALPHA
        if c in self.linebreaks or bidi == "B":
            flags |= LINEBREAK
        if category == "Zs" or bidi in SPACE_BIDI:
            flags |= SPACE
        if category == "Lt":
            flags |= TITLE
        if c == 0x20 or category[0] not in "CZ":
            flags |= PRINTABLE
        if entry.get("decimalDigitValue"):
            flags |= DECIMAL
        if entry.get("digitValue"):
            flags |= DIGIT
        if self.numeric_value(c) is not None:
            flags |= NUMERIC
        return flags

    def append_extended(self, seq):
        """Appends a mapping to the extended-case table; returns index | length << 24."""
        index = len(self.extended_case)
        check(index + len(seq) <= 0x10000 and 1 <= len(seq) <= 0xFF,
              "mapping of %d code points at %d does not fit a reference" % (len(seq), index))
        self.extended_case.extend(seq)
        return index | (len(seq) << EXT_LENGTH_SHIFT)

    def case_fields(self, c, entry):
        """(upper, lower, title, extra flags) of an assigned code point. The extended-case
        entries are appended in the order lower, folding, upper, title, which is the order
        the lower field's folding length relies on (the folding follows the lower mapping)."""
        upper = hexcp(entry["upper"]) if entry.get("upper") else c
        lower = hexcp(entry["lower"]) if entry.get("lower") else c
        title = hexcp(entry["title"]) if entry.get("title") else upper
        folding = self.folding.get(c, [c])
        special = self.special.get(c)
        if special is None and folding != [lower]:
            special = ([lower], [title], [upper])
        if special is None:
            if upper == lower == title:
                return 0, 0, 0, 0
            return upper - c, lower - c, title - c, 0
        lower_seq, title_seq, upper_seq = special
        lower_ref = self.append_extended(lower_seq)
        if folding != lower_seq:
            check(len(folding) <= 7, "folding of %d code points" % len(folding))
            lower_ref |= len(folding) << EXT_FOLD_LENGTH_SHIFT
            self.extended_case.extend(folding)
        upper_ref = self.append_extended(upper_seq)
        title_ref = upper_ref if title_seq == upper_seq else self.append_extended(title_seq)
        return upper_ref, lower_ref, title_ref, EXTENDED_CASE

    def record(self, c):
        """The six fields of an assigned code point's record. Call it once per code point, in
        code-point order: it appends the code point's extended-case entries."""
        entry = self.data[c]
        upper, lower, title, case_flags = self.case_fields(c, entry)
        decimal = int(entry["decimalDigitValue"]) if entry.get("decimalDigitValue") else 0
        digit = int(entry["digitValue"]) if entry.get("digitValue") else 0
        return (upper, lower, title, decimal, digit, self.flags(c, entry) | case_flags)


def build_tables(db):
    """Record 0 is the all-zero record of unassigned code points; every other record is
    numbered at its first appearance, so an assigned all-zero code point gets a record of
    its own. The blocks of 128 record numbers are shared the same way."""
    records = [(0, 0, 0, 0, 0, 0)]
    record_index = {}
    per_codepoint = []
    for c in range(MAX_UNICODE + 1):
        if c not in db.data:
            per_codepoint.append(0)
            continue
        rec = db.record(c)
        if rec not in record_index:
            record_index[rec] = len(records)
            records.append(rec)
        per_codepoint.append(record_index[rec])
    index1 = []
    index2 = []
    block_index = {}
    for start in range(0, len(per_codepoint), BLOCK_SIZE):
        block = tuple(per_codepoint[start:start + BLOCK_SIZE])
        if block not in block_index:
            block_index[block] = len(block_index)
            index2.extend(block)
        index1.append(block_index[block])
    check(len(records) <= 0x10000 and len(block_index) <= 0x10000,
          "%d records or %d blocks overflow the 16-bit indices" % (len(records), len(block_index)))
    return records, per_codepoint, index1, index2


def numeric_groups(db):
    """Code points with a numeric value, grouped by value and ordered by value."""
    groups = {}
    for c in sorted(set(db.data) | set(db.unihan_numeric)):
        text = db.numeric_value(c)
        if text is not None:
            groups.setdefault(Fraction(text), []).append(c)
    return sorted(groups.items())


def double_literal(value):
    """A C double expression that evaluates to the value rounded once to double: integers
    here are exact doubles, and the quotient of two exact doubles is rounded once."""
    if value.denominator == 1:
        return "%d.0" % value.numerator
    return "%d.0 / %d.0" % (value.numerator, value.denominator)


def wrap(items, indent="    ", width=100):
    """Comma-terminated items packed into lines of at most `width` columns."""
    lines = []
    line = indent
    for item in items:
        piece = item + ","
        if len(line) + len(piece) > width and line.strip():
            lines.append(line.rstrip())
            line = indent
        line += piece + " "
    if line.strip():
        lines.append(line.rstrip())
    return lines


def record_literal(rec):
    """Deltas in decimal; extended-case references in hex, where their fields show."""
    upper, lower, title, decimal, digit, flags = rec
    case_format = "0x%08X" if flags & EXTENDED_CASE else "%d"
    return ("{%s, %s, %s, %d, %d, 0x%04X}"
            % (case_format % upper, case_format % lower, case_format % title, decimal, digit,
               flags))


def emit_array(out, comment, decl, items):
    out.append("/* %s */" % comment)
    out.append(decl + " = {")
    out.extend(wrap(items))
    out.append("};")
    out.append("")


def emit_switch(out, comment, head, groups, miss):
    """A switch over code points; the compiler turns it into a branch tree."""
    out.append("/* %s */" % comment)
    out.append(head)
    out.append("{")
    out.append("    switch (ch) {")
    for codepoints, result in groups:
        labels = ["case 0x%04X:" % c for c in codepoints]
        for i in range(0, len(labels), 6):
            out.append("    " + " ".join(labels[i:i + 6]))
        out.append("        return %s;" % result)
    out.append("    }")
    out.append("    return %s;" % miss)
    out.append("}")
    out.append("")


def emit_header(out, ucd_dir):
    folder = os.path.basename(os.path.normpath(ucd_dir))
    out.append("/* Generated by tools/gen_unicodedb.py from the Unicode Character Database %s"
               % UNICODE_VERSION)
    out.append("   (JSON encoding, folder %s). Do not edit by hand: change the generator" % folder)
    out.append("   or the data and regenerate. */")
    out.append("")
    out.append('#include "helperlib/_unicodetype_db.h"')
    out.append("")
    out.append("#include <stddef.h>")
    out.append("")


def emit_lookups(out, n_extended):
    out.append("""/* Copies the six fields of the code point's record; a code point beyond
   U+10FFFF has no record and gets zeros, like an unassigned one. */
void sarvo_gettyperecord(uint32_t code, int *upper, int *lower, int *title,
                         unsigned char *decimal, unsigned char *digit, unsigned short *flags)
{
    const sarvo_PyUnicode_TypeRecord *rec = &sarvo_PyUnicode_TypeRecords[0];
    if (code <= 0x10FFFF) {
        size_t block = index1[code >> %(shift)d];
        rec = &sarvo_PyUnicode_TypeRecords[index2[(block << %(shift)d) + (code & %(mask)d)]];
    }
    *upper = rec->upper;
    *lower = rec->lower;
    *title = rec->title;
    *decimal = rec->decimal;
    *digit = rec->digit;
    *flags = rec->flags;
}

/* Entry `code` of the extended-case table. Callers pass indices taken from a record, which
   are always valid; any other index reads 0 rather than memory past the table. */
uint32_t sarvo_get_PyUnicode_ExtendedCase(int code)
{
    /* One unsigned compare checks 0 <= code < n. */
    if ((unsigned int)code >= %(n)dU)
        return 0;
    return sarvo_PyUnicode_ExtendedCase[code];
}
""" % {"shift": BLOCK_SHIFT, "mask": BLOCK_SIZE - 1, "n": n_extended})


def generate(ucd_dir):
    """The text of the generated C++ source."""
    db = Database(ucd_dir)
    records, per_codepoint, index1, index2 = build_tables(db)
    flags = [records[r][5] for r in per_codepoint]
    spaces = [c for c, f in enumerate(flags) if f & SPACE]
    linebreaks = [c for c, f in enumerate(flags) if f & LINEBREAK]

    out = []
    emit_header(out, ucd_dir)
    out.append('extern "C" {')
    out.append("")
    emit_array(out, "%d distinct records {upper, lower, title, decimal, digit, flags};\n   "
               "record 0 is that of unassigned code points." % len(records),
               "const sarvo_PyUnicode_TypeRecord sarvo_PyUnicode_TypeRecords[%d]" % len(records),
               [record_literal(rec) for rec in records])
    emit_array(out, "Number in index2 of the block of each %d code points." % BLOCK_SIZE,
               "const unsigned short index1[%d]" % len(index1), [str(x) for x in index1])
    emit_array(out, "%d distinct blocks of record numbers." % (len(index2) // BLOCK_SIZE),
               "const unsigned short index2[%d]" % len(index2), [str(x) for x in index2])
    emit_array(out, "Multi-code-point case mappings and foldings, referenced from the records.",
               "const uint32_t sarvo_PyUnicode_ExtendedCase[%d]" % len(db.extended_case),
               ["0x%04X" % x for x in db.extended_case])
    emit_lookups(out, len(db.extended_case))
    emit_switch(out, "The numeric value of the character, or -1.0 if it has none.",
                "double sarvo_PyUnicode_ToNumeric(uint32_t ch)",
                [(cps, double_literal(v)) for v, cps in numeric_groups(db)], "-1.0")
    emit_switch(out, "1 for a whitespace character (category Zs or bidirectional class WS, B "
                "or S), else 0.", "int sarvo_PyUnicode_IsWhitespace(const uint32_t ch)",
                [(spaces, "1")], "0")
    emit_switch(out, "1 for a line-break character (line-break class BK, CR, LF or NL, or\n   "
                "bidirectional class B), else 0.",
                "int sarvo_PyUnicode_IsLinebreak(const uint32_t ch)", [(linebreaks, "1")], "0")
    out.append('}  // extern "C"')
    return "\n".join(out) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("ucd_dir", help="folder of the JSON-encoded Unicode Character Database")
    default_output = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                  "csrc", "helperlib", "_unicodetype_db.cpp")
    parser.add_argument("--output", default=os.path.normpath(default_output))
    args = parser.parse_args(argv)
    text = generate(args.ucd_dir)
    with open(args.output, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
