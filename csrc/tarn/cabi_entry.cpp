// Failure reporting of the C-ABI entries.
#include "tarn/cabi_entry.h"

#include <cstdio>

#include "core/runtime/_srt_python.h"
#include "helperlib/excinfo_raise.h"

namespace sarvo::cabi {

void report_failure(int32_t status, const excinfo_t *record, const void *entry_address) {
    PyGILState_STATE state;
    sarvo_gil_ensure(&state);
    sarvo_raise_status(status, record);
    char context[64];
    std::snprintf(context, sizeof context, "<sarvo.core.cpu.CPUContext object at 0x%012llx>",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(entry_address)));
    PyObject *text = PyUnicode_FromString(context);
    PyErr_WriteUnraisable(text);
    Py_XDECREF(text);
    sarvo_gil_release(&state);
}

}  // namespace sarvo::cabi
