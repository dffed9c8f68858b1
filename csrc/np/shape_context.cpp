// Shape-mismatch messages and the dynamic record that carries them.
#include "np/shape_context.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/pickled_constants.h"

namespace sarvo {

int32_t decimal_text(UnicodeString *result, ExcSlot exc, int64_t v) {
    if (v == 0) {
        *result = constant_string("0");
        return kOk;
    }
    // The magnitude in unsigned arithmetic, so that the smallest int64 has one too.
    uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    char digits[20];
    int count = 0;
    for (; magnitude; magnitude /= 10) digits[count++] = static_cast<char>('0' + magnitude % 10);
    const int64_t length = count + (v < 0);

    SRT_MemInfo *mi = SRT_MemInfo_alloc(static_cast<size_t>(length + 1));
    if (!mi) return raise(exc, records::allocation_failed);
    char *text = static_cast<char *>(mi->data);
    int64_t at = 0;
    if (v < 0) text[at++] = '-';
    while (count) text[at++] = digits[--count];
    text[at] = 0;
    *result = UnicodeString{text, length, 1, 1, -1, mi, nullptr};
    return kOk;
}

int32_t tuple_text(UnicodeString *result, ExcSlot exc, int64_t v) {
    OwnedString digits, text;
    if (int32_t st = decimal_text(&digits.rec, exc, v)) return st;
    UnicodeString next;
    if (int32_t st = unicode_concat(&next, exc, constant_string("("), digits.rec)) return st;
    text.reset(next);
    if (int32_t st = unicode_concat(&next, exc, text.rec, constant_string(",)"))) return st;
    text.reset(next);
    *result = text.release();
    return kOk;
}

namespace {

// message = "cannot assign slice of shape " + T(first) + " from input of shape " + T(second).
int32_t shape_message(UnicodeString *result, ExcSlot exc, int64_t first, int64_t second) {
    OwnedString t1, t2, message;
    if (int32_t st = tuple_text(&t1.rec, exc, first)) return st;
    if (int32_t st = tuple_text(&t2.rec, exc, second)) return st;
    UnicodeString next;
    if (int32_t st = unicode_concat(&next, exc, constant_string("cannot assign slice of shape "), t1.rec)) return st;
    message.reset(next);
    if (int32_t st = unicode_concat(&next, exc, message.rec, constant_string(" from input of shape "))) return st;
    message.reset(next);
    if (int32_t st = unicode_concat(&next, exc, message.rec, t2.rec)) return st;
    message.reset(next);
    *result = message.release();
    return kOk;
}

}  // namespace

int32_t raise_with_shape_context(ExcSlot exc, int64_t first, int64_t second) {
    OwnedString message;
    if (int32_t st = shape_message(&message.rec, exc, first, second)) return st;

    auto *block = static_cast<UnicodeString *>(SRT_Allocate(sizeof(UnicodeString)));
    if (!block) return raise(exc, records::allocation_failed);
    auto *record = static_cast<excinfo_t *>(SRT_Allocate(sizeof(excinfo_t)));
    if (!record) {
        SRT_Free(block);
        return raise(exc, records::allocation_failed);
    }
    // The block takes over the message's reference; the raiser frees the record, the builder the block.
    *block = message.release();
    const excinfo_t &static_part = records::shape_mismatch_template;
    *record = excinfo_t{static_part.data, static_part.len, block,
                        reinterpret_cast<void *>(&sarvo_shape_message_args), 1};
    *exc = record;
    return kUserError;
}

}  // namespace sarvo

extern "C" PyObject *sarvo_shape_message_args(void *block) {
    auto *value = static_cast<sarvo::UnicodeString *>(block);
    PyObject *text = PyUnicode_FromKindAndData(value->kind, value->data, value->length);
    PyObject *args = nullptr;
    if (text && PyObject_Hash(text) != -1) args = PyTuple_Pack(1, text);
    Py_XDECREF(text);
    SRT_decref(value->meminfo);
    SRT_Free(block);
    return args;
}
