/* Per-thread Mersenne Twister (MT19937) states of compiled code: one for draws that follow
   Python's random module, one for NumPy's, and one internal. Each thread has its own three,
   seeded from the operating system's entropy on first use and reseeded after a fork.

   Draws need no lock (the states are thread-local). The getters may be called without the
   interpreter lock: implicit seeding takes it itself. The _sarvo_rnd_* functions are
   Python-level accessors and need the lock; they are not in the module's method table. */
#ifndef SARVO_HELPERLIB_RANDOM_H
#define SARVO_HELPERLIB_RANDOM_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>

#ifdef __cplusplus
#define SARVO_THREAD_LOCAL thread_local
extern "C" {
#else
#define SARVO_THREAD_LOCAL _Thread_local
#endif

#define SARVO_MT_N 624

typedef struct {
    int index;              /* next word of mt to temper; SARVO_MT_N: block used up */
    uint32_t mt[SARVO_MT_N];
    int has_gauss;          /* 1 if gauss holds a cached second normal deviate */
    double gauss;
    int is_initialized;     /* 0 until seeded; the getters seed on first use */
} rnd_state_t;

extern SARVO_THREAD_LOCAL rnd_state_t sarvo_internal_random_state;
extern SARVO_THREAD_LOCAL rnd_state_t sarvo_np_random_state;
extern SARVO_THREAD_LOCAL rnd_state_t sarvo_py_random_state;

/* 0 until sarvo_rnd_ensure_global_init has registered the fork handler. */
extern int rnd_globally_initialized;

/* Once per process: registers the fork child handler, sets the global flag and marks the
   calling thread's three states as not initialised. */
void sarvo_rnd_ensure_global_init(void);
void rnd_atfork_child(void);

/* The calling thread's states, seeded from 2496 bytes of os.urandom on first use. */
rnd_state_t *sarvo_get_internal_random_state(void);
rnd_state_t *sarvo_get_np_random_state(void);
rnd_state_t *sarvo_get_py_random_state(void);

/* Seeding. rnd_seed_with_bytes consumes (releases) the buffer and returns 0, or -1 with
   MemoryError set when the key array cannot be allocated. */
void sarvo_rnd_init(rnd_state_t *state, unsigned int seed);
void rnd_init_by_array(rnd_state_t *state, const uint32_t *init_key, size_t key_length);
int rnd_seed_with_bytes(rnd_state_t *state, Py_buffer *buf);

/* Raw draws. */
void sarvo_rnd_shuffle(rnd_state_t *state);
unsigned int get_next_int32(rnd_state_t *state);
double get_next_double(rnd_state_t *state);

/* ln Γ(x) for x > 0, and a Poisson deviate with mean lam by transformed rejection
   (meant for large lam; lam is not checked). */
double loggam(double x);
int64_t sarvo_poisson_ptrs(rnd_state_t *state, double lam);

/* Python-level accessors; a state is named by its address as a Python int. */
int rnd_state_converter(PyObject *obj, rnd_state_t **state);
PyObject *_sarvo_rnd_get_py_state_ptr(PyObject *self, PyObject *unused);
PyObject *_sarvo_rnd_get_np_state_ptr(PyObject *self, PyObject *unused);
PyObject *_sarvo_rnd_shuffle(PyObject *self, PyObject *arg);
PyObject *_sarvo_rnd_get_state(PyObject *self, PyObject *arg);
PyObject *_sarvo_rnd_set_state(PyObject *self, PyObject *args);
PyObject *_sarvo_rnd_seed(PyObject *self, PyObject *args);

#ifdef __cplusplus
}
#endif
#endif
