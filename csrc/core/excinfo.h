/* Status of compiled functions and the exception record through which a failing function
   names its exception. The record layout is shared with the environment definitions. */
#ifndef SARVO_TARN_EXCINFO_H
#define SARVO_TARN_EXCINFO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Static records (alloc_flag <= 0) live in constant data: data/len is a pickled
   (class, arguments, location) triple and hashbuf its SHA-1 digest. Dynamic records
   (alloc_flag > 0) are allocated by the failing function: data/len is the static part,
   hashbuf the run-time argument block and func_ptr its argument builder. */
typedef struct {
    const char *data;
    int32_t len;
    const void *hashbuf;
    void *func_ptr;
    int32_t alloc_flag;
} excinfo_t;

typedef excinfo_t env_def_t;

#ifdef __cplusplus
}

namespace sarvo {

using ExcSlot = const excinfo_t **;

enum Status : int32_t {
    kOk = 0,
    kNone = -2,
    kPyError = -1,
    kStopIteration = -3,
    kUserError = 1,
};

// Stores the record in the caller's slot and returns the user-exception status.
inline int32_t raise(ExcSlot slot, const excinfo_t &record) {
    *slot = &record;
    return kUserError;
}

}  // namespace sarvo
#endif
#endif
