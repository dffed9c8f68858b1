/* Native array record: how compiled code sees an array. Five 8-byte words, then the ndim
   extents, then the ndim strides in bytes; ndim itself is part of the array's static type. */
#ifndef SARVO_CORE_RUNTIME_ARYSTRUCT_H
#define SARVO_CORE_RUNTIME_ARYSTRUCT_H

#include <stddef.h>
#include <stdint.h>

typedef struct _object PyObject;

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    void *meminfo;
    PyObject *parent;
    int64_t nitems;
    int64_t itemsize;
    void *data;
    int64_t shape_and_strides[];
} arystruct_t;

/* Compiled code reads these words by offset. */
#ifdef __cplusplus
static_assert(offsetof(arystruct_t, meminfo) == 0 && offsetof(arystruct_t, parent) == 8 &&
                  offsetof(arystruct_t, nitems) == 16 && offsetof(arystruct_t, itemsize) == 24 &&
                  offsetof(arystruct_t, data) == 32 && offsetof(arystruct_t, shape_and_strides) == 40,
              "five 8-byte words, then extents and strides");
#endif

#ifdef __cplusplus
}
#endif
#endif
