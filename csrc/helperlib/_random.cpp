// Per-thread MT19937 states: set-up, seeding (integer, key array, implicit from os.urandom)
// and the raw 32-bit and 53-bit draws.
#include "helperlib/_random.h"

#include <pthread.h>

#include "core/python_compat.h"

namespace {

constexpr int kN = SARVO_MT_N;
constexpr int kM = 397;
constexpr uint32_t kMatrixA = 0x9908b0dfu;
constexpr uint32_t kUpperMask = 0x80000000u;
constexpr uint32_t kLowerMask = 0x7fffffffu;

// 624 words of 4 bytes: a full state's worth of entropy.
constexpr Py_ssize_t kImplicitSeedBytes = kN * 4;

void mark_uninitialized() {
    sarvo_py_random_state.is_initialized = 0;
    sarvo_np_random_state.is_initialized = 0;
    sarvo_internal_random_state.is_initialized = 0;
}

void mark_seeded(rnd_state_t *state) {
    state->index = kN;
    state->has_gauss = 0;
    state->gauss = 0.0;
    state->is_initialized = 1;
}

// Fills mt from one 32-bit seed by the generator's linear recurrence; leaves the flags.
void init_words(rnd_state_t *state, uint32_t seed) {
    state->mt[0] = seed;
    for (int i = 1; i < kN; i++) {
        uint32_t prev = state->mt[i - 1];
        state->mt[i] = 1812433253u * (prev ^ (prev >> 30)) + static_cast<uint32_t>(i);
    }
}

// The key words are the buffer's bytes read four at a time, least significant byte first.
uint32_t little_endian_word(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

/* Seeds `state` from 2496 bytes of os.urandom. The caller may not hold the interpreter
   lock, so it is taken here. Running without a seed is never an option: any failure ends
   the process, after printing the Python error if there is one. */
void rnd_implicit_init(rnd_state_t *state) {
    PyGILState_STATE gil = PyGILState_Ensure();
    bool ok = false;
    PyObject *os = PyImport_ImportModule("os");
    if (os) {
        PyObject *bytes = PyObject_CallMethod(os, "urandom", "n", kImplicitSeedBytes);
        if (bytes) {
            Py_buffer buf;
            if (PyObject_GetBuffer(bytes, &buf, 0) == 0) ok = rnd_seed_with_bytes(state, &buf) == 0;
            Py_DECREF(bytes);
        }
        Py_DECREF(os);
    }
    if (!ok) {
        if (PyErr_Occurred()) PyErr_Print();
        sarvo::compat::fatal_error_in("rnd_implicit_init", nullptr);
    }
    PyGILState_Release(gil);
}

rnd_state_t *seeded(rnd_state_t *state) {
    if (!state->is_initialized) rnd_implicit_init(state);
    return state;
}

}  // namespace

extern "C" {

SARVO_THREAD_LOCAL rnd_state_t sarvo_internal_random_state;
SARVO_THREAD_LOCAL rnd_state_t sarvo_np_random_state;
SARVO_THREAD_LOCAL rnd_state_t sarvo_py_random_state;
int rnd_globally_initialized = 0;

// A forked child must not replay its parent's stream: the forking thread's states (the
// only ones the child has) reseed on next use.
void rnd_atfork_child(void) { mark_uninitialized(); }

// Runs under the interpreter lock during module initialisation, so the plain flag is safe.
void sarvo_rnd_ensure_global_init(void) {
    if (rnd_globally_initialized) return;
    pthread_atfork(nullptr, nullptr, rnd_atfork_child);
    rnd_globally_initialized = 1;
    mark_uninitialized();
}

rnd_state_t *sarvo_get_internal_random_state(void) { return seeded(&sarvo_internal_random_state); }
rnd_state_t *sarvo_get_np_random_state(void) { return seeded(&sarvo_np_random_state); }
rnd_state_t *sarvo_get_py_random_state(void) { return seeded(&sarvo_py_random_state); }

void sarvo_rnd_init(rnd_state_t *state, unsigned int seed) {
    init_words(state, seed);
    mark_seeded(state);
}

/* The generator's key-array seeding: start from the integer seed 19650218, mix every key
   word in (max(624, key count) steps, so each word and each state word is touched at least
   once), then run a second pass without keys to spread them; mt[0] is forced non-zero so the
   state can never be all zeros. With no key words at all the mixing pass runs as if the key
   list were the single word 0 (its j term stays 0), so it never reads past the keys. */
void rnd_init_by_array(rnd_state_t *state, const uint32_t *init_key, size_t key_length) {
    uint32_t *mt = state->mt;
    init_words(state, 19650218u);
    size_t i = 1, j = 0;
    size_t k = key_length > static_cast<size_t>(kN) ? key_length : static_cast<size_t>(kN);
    for (; k > 0; k--) {
        uint32_t prev = mt[i - 1];
        uint32_t key = key_length ? init_key[j] : 0u;
        mt[i] = (mt[i] ^ ((prev ^ (prev >> 30)) * 1664525u)) + key + static_cast<uint32_t>(j);
        i++;
        j++;
        if (i >= static_cast<size_t>(kN)) {
            mt[0] = mt[kN - 1];
            i = 1;
        }
        if (j >= key_length) j = 0;
    }
    for (k = kN - 1; k > 0; k--) {
        uint32_t prev = mt[i - 1];
        mt[i] = (mt[i] ^ ((prev ^ (prev >> 30)) * 1566083941u)) - static_cast<uint32_t>(i);
        i++;
        if (i >= static_cast<size_t>(kN)) {
            mt[0] = mt[kN - 1];
            i = 1;
        }
    }
    mt[0] = 0x80000000u;
    mark_seeded(state);
}

/* Whole little-endian words only: a trailing 1 to 3 bytes are ignored, so 5 bytes act as
   one key. The buffer is released on every path. */
int rnd_seed_with_bytes(rnd_state_t *state, Py_buffer *buf) {
    size_t nkeys = static_cast<size_t>(buf->len) / 4;
    // At least one slot, so that an empty key list still has a valid allocation.
    auto *keys = static_cast<uint32_t *>(PyMem_Malloc((nkeys ? nkeys : 1) * sizeof(uint32_t)));
    if (!keys) {
        PyBuffer_Release(buf);
        PyErr_NoMemory();
        return -1;
    }
    const auto *bytes = static_cast<const unsigned char *>(buf->buf);
    for (size_t i = 0; i < nkeys; i++) keys[i] = little_endian_word(bytes + 4 * i);
    PyBuffer_Release(buf);
    rnd_init_by_array(state, keys, nkeys);
    PyMem_Free(keys);
    return 0;
}

/* The twist: regenerates all 624 words in increasing k. Where (k + 1) or (k + 397) wraps
   past the end it reads words already regenerated in this pass, as the generator defines. */
void sarvo_rnd_shuffle(rnd_state_t *state) {
    uint32_t *mt = state->mt;
    for (int k = 0; k < kN; k++) {
        uint32_t y = (mt[k] & kUpperMask) | (mt[(k + 1) % kN] & kLowerMask);
        mt[k] = mt[(k + kM) % kN] ^ (y >> 1) ^ ((y & 1u) ? kMatrixA : 0u);
    }
}

unsigned int get_next_int32(rnd_state_t *state) {
    if (state->index == kN) {
        sarvo_rnd_shuffle(state);
        state->index = 0;
    }
    uint32_t y = state->mt[state->index++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9d2c5680u;
    y ^= (y << 15) & 0xefc60000u;
    y ^= y >> 18;
    return y;
}

// 27 high bits then 26 high bits of two draws make a 53-bit integer, scaled by 2^-53.
double get_next_double(rnd_state_t *state) {
    double a = get_next_int32(state) >> 5;
    double b = get_next_int32(state) >> 6;
    return (a * 67108864.0 + b) / 9007199254740992.0;
}

}  // extern "C"
