/* Helper library: flat C functions that compiled code reaches by name. Math wrappers with
   fixed edge behaviour, 64-bit integer division, conversions between Python objects and
   native values, a per-object private-data table and the fatal-error exit.

   The math and integer helpers are pure and need no lock. Every function that takes or
   returns a Python object needs the interpreter lock, except sarvo_fatal_error, which takes
   it itself. None of these symbols is exported from the module. */
#ifndef SARVO_HELPERLIB_HELPERLIB_H
#define SARVO_HELPERLIB_HELPERLIB_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>

#include "helperlib/mathnames.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Thin wrappers: sarvo_<root>(double) and sarvo_<root>f(float), exactly the C library
   function, special values and errno included. */
#define SARVO_DECLARE_UNARY(root, lib) \
    double sarvo_##root(double x);     \
    float sarvo_##root##f(float x);
#define SARVO_DECLARE_BINARY(root, lib)    \
    double sarvo_##root(double x, double y); \
    float sarvo_##root##f(float x, float y);
SARVO_MATH_UNARY(SARVO_DECLARE_UNARY)
SARVO_MATH_BINARY(SARVO_DECLARE_BINARY)
#undef SARVO_DECLARE_UNARY
#undef SARVO_DECLARE_BINARY

/* fmod behind a clear of pending floating-point exception flags by an installed routine. */
void sarvo_set_fnclex(void *fn);
double sarvo_fixed_fmod(double x, double y);
float sarvo_fixed_fmodf(float x, float y);

/* Integer division that never traps: see the definitions for the zero-divisor rule. */
int64_t sarvo_sdiv(int64_t a, int64_t b);
int64_t sarvo_srem(int64_t a, int64_t b);
uint64_t sarvo_udiv(uint64_t a, uint64_t b);
uint64_t sarvo_urem(uint64_t a, uint64_t b);

double sarvo_frexp(double x, int *exp);
float sarvo_frexpf(float x, int *exp);
double sarvo_ldexp(double x, int exp);
float sarvo_ldexpf(float x, int exp);

void sarvo_cpow(Py_complex *a, Py_complex *b, Py_complex *out);
void sarvo_cpowf(float _Complex *a, float _Complex *b, float _Complex *out);

uint64_t sarvo_fptoui(double x);
uint64_t sarvo_fptouif(float x);

/* Python object conversions (interpreter lock required). */
int sarvo_complex_adaptor(PyObject *obj, Py_complex *out);
int64_t sarvo_extract_np_datetime(PyObject *td);
int64_t sarvo_extract_np_timedelta(PyObject *td);
PyObject *sarvo_create_np_datetime(int64_t value, int unit_code);
PyObject *sarvo_create_np_timedelta(int64_t value, int unit_code);
PyObject *sarvo_py_type(PyObject *obj);
int sarvo_unpack_slice(PyObject *obj, Py_ssize_t *start, Py_ssize_t *stop, Py_ssize_t *step);
void *sarvo_extract_unicode(PyObject *obj, Py_ssize_t *length, int *kind, unsigned int *ascii,
                            Py_ssize_t *hash);
void *sarvo_extract_record_data(PyObject *recordobj, Py_buffer *pbuf);
PyObject *sarvo_recreate_record(void *pdata, int size, PyObject *dtype);

/* Private data keyed by object address (interpreter lock required). */
void sarvo_set_pyobject_private_data(PyObject *obj, void *ptr);
void *sarvo_get_pyobject_private_data(PyObject *obj);
void sarvo_reset_pyobject_private_data(PyObject *obj);

int sarvo_fatal_error(void);
void sarvo_gdb_breakpoint(void);

#ifdef __cplusplus
}
#endif
#endif
