/* Character properties of Unicode 11.0.0 for compiled string code: a per-code-point type
   record reached through a two-level index, the multi-code-point case mappings, numeric
   values and the whitespace and line-break tests. The tables and functions are generated
   into _unicodetype_db.cpp by tools/gen_unicodedb.py.

   The record of code point c (c <= 0x10FFFF) is
       sarvo_PyUnicode_TypeRecords[index2[(index1[c >> 7] << 7) + (c & 127)]]
   so a lookup is two index reads and one record read; identical blocks of 128 record
   numbers are stored once in index2. */
#ifndef SARVO_HELPERLIB_UNICODETYPE_DB_H
#define SARVO_HELPERLIB_UNICODETYPE_DB_H

#include <stdint.h>

/* The module is built with hidden visibility; these names are reached from outside it. */
#define SARVO_UNICODE_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* Property bits of sarvo_PyUnicode_TypeRecord.flags. */
#define SARVO_UNICODE_ALPHA_MASK          0x0001
#define SARVO_UNICODE_DECIMAL_MASK        0x0002
#define SARVO_UNICODE_DIGIT_MASK          0x0004
#define SARVO_UNICODE_LOWER_MASK          0x0008
#define SARVO_UNICODE_LINEBREAK_MASK      0x0010
#define SARVO_UNICODE_SPACE_MASK          0x0020
#define SARVO_UNICODE_TITLE_MASK          0x0040
#define SARVO_UNICODE_UPPER_MASK          0x0080
#define SARVO_UNICODE_XID_START_MASK      0x0100
#define SARVO_UNICODE_XID_CONTINUE_MASK   0x0200
#define SARVO_UNICODE_PRINTABLE_MASK      0x0400
#define SARVO_UNICODE_NUMERIC_MASK        0x0800
#define SARVO_UNICODE_CASE_IGNORABLE_MASK 0x1000
#define SARVO_UNICODE_CASED_MASK          0x2000
#define SARVO_UNICODE_EXTENDED_CASE_MASK  0x4000

/* Without EXTENDED_CASE, upper, lower and title are signed deltas to add to the code point.
   With it, each is an extended-case reference: the low 16 bits index
   sarvo_PyUnicode_ExtendedCase and bits 24-31 give the mapping's length in code points. In
   the lower field, bits 20-22 give the length of the case folding, stored right after the
   lower-case mapping. 16 bytes, no padding. */
typedef struct {
    int32_t upper;
    int32_t lower;
    int32_t title;
    uint8_t decimal;  /* meaningful with DECIMAL */
    uint8_t digit;    /* meaningful with DIGIT */
    uint16_t flags;
} sarvo_PyUnicode_TypeRecord;

#define SARVO_UNICODE_EXT_INDEX(ref)       ((ref) & 0xFFFF)
#define SARVO_UNICODE_EXT_LENGTH(ref)      (((ref) >> 24) & 0xFF)
#define SARVO_UNICODE_EXT_FOLD_LENGTH(ref) (((ref) >> 20) & 7)

/* Entry 0 is the all-zero record of unassigned code points. */
SARVO_UNICODE_EXPORT extern const sarvo_PyUnicode_TypeRecord sarvo_PyUnicode_TypeRecords[];
/* For each block of 128 code points, its block number in index2 (0x110000 / 128 entries). */
SARVO_UNICODE_EXPORT extern const unsigned short index1[];
/* The distinct blocks, 128 record numbers each. */
SARVO_UNICODE_EXPORT extern const unsigned short index2[];
/* The concatenated multi-code-point case mappings and foldings. */
SARVO_UNICODE_EXPORT extern const uint32_t sarvo_PyUnicode_ExtendedCase[];

/* Copies the record fields of `code` to the outputs; for code > 0x10FFFF all are 0. */
SARVO_UNICODE_EXPORT void sarvo_gettyperecord(uint32_t code, int *upper, int *lower,
                                              int *title, unsigned char *decimal,
                                              unsigned char *digit, unsigned short *flags);
/* Entry `code` of the extended-case table (an index from a record); 0 out of range. */
SARVO_UNICODE_EXPORT uint32_t sarvo_get_PyUnicode_ExtendedCase(int code);
/* The numeric value of the character, or -1.0 if it has none. */
SARVO_UNICODE_EXPORT double sarvo_PyUnicode_ToNumeric(uint32_t ch);
SARVO_UNICODE_EXPORT int sarvo_PyUnicode_IsWhitespace(const uint32_t ch);
SARVO_UNICODE_EXPORT int sarvo_PyUnicode_IsLinebreak(const uint32_t ch);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(sarvo_PyUnicode_TypeRecord) == 16, "the record layout is 16 bytes");
#endif
#endif
