// Exception notes (PEP 678) that say what a refused call needs and what it got. The refusal's
// type, message and traceback stay exactly as they are; the notes only add to __notes__. Each
// function is called with the interpreter lock held and the refusal pending; should a note
// itself fail, the refusal is left pending unchanged.
#pragma once

#include "tarn/entry_table.h"

namespace sarvo::entry {

// The positional-argument count was wrong: the signature with every argument's kind.
void note_arity_refusal(const EntryRow &row, PyObject *args);

// Argument `position` (from 0) could not be converted: what it needs, what it got, how to fix it.
void note_argument_refusal(const EntryRow &row, PyObject *const *objs, int position);

// The kernel refused converted arguments (the slots still hold their records): the shapes for
// an AssertionError, the cause (and the box) for a ZeroDivisionError, and for any refusal the
// arrays that were read as another dtype.
void note_kernel_refusal(const EntryRow &row, PyObject *const *objs, const Slot *slots);

}  // namespace sarvo::entry
