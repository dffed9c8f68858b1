// The per-thread Mersenne Twister states: seeding, draws, the Python-level accessors,
// log-gamma and the Poisson sampler, implicit seeding per thread and reseeding after fork.
// Oracles: the C++ standard library's mt19937 and NumPy's legacy RandomState.
#include <math.h>
#include <stdint.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "helperlib/_random.h"
#include "embedded_python.h"
#include "refusing_python_allocator.h"

namespace {

// Owns one reference.
struct Obj {
    PyObject *p;
    explicit Obj(PyObject *o = nullptr) : p(o) {}
    ~Obj() { Py_XDECREF(p); }
    Obj(const Obj &) = delete;
    Obj &operator=(const Obj &) = delete;
};

PyObject *test_namespace() {
    static PyObject *ns = nullptr;
    if (!ns) {
        ns = PyDict_New();
        PyDict_SetItemString(ns, "__builtins__", PyEval_GetBuiltins());
        PyObject *r = PyRun_String("import numpy as np\nimport os\n", Py_file_input, ns, ns);
        if (!r) PyErr_Print();
        Py_XDECREF(r);
    }
    return ns;
}

// Evaluates an expression (or, with `statements`, runs code and returns None).
PyObject *run(const std::string &code, bool statements = false) {
    PyObject *ns = test_namespace();
    PyObject *r = PyRun_String(code.c_str(), statements ? Py_file_input : Py_eval_input, ns, ns);
    if (!r) PyErr_Print();
    return r;
}

std::string py_list(const std::vector<uint32_t> &keys) {
    std::string s = "[";
    for (uint32_t k : keys) s += std::to_string(k) + ",";
    return s + "]";
}

template <typename T>
std::vector<T> to_vector(PyObject *list) {
    std::vector<T> out;
    if (!list) return out;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
        PyObject *item = PyList_GET_ITEM(list, i);
        if constexpr (std::is_floating_point_v<T>)
            out.push_back(PyFloat_AsDouble(item));
        else
            out.push_back(static_cast<T>(PyLong_AsLongLong(item)));
    }
    return out;
}

// NumPy's legacy seeding from a key array (a list seed always takes the key-array path).
std::vector<uint32_t> numpy_words(const std::vector<uint32_t> &keys) {
    Obj words(run("np.random.RandomState(" + py_list(keys) + ").get_state()[1].tolist()"));
    return to_vector<uint32_t>(words.p);
}

std::vector<uint32_t> words_of(const rnd_state_t &s) { return {s.mt, s.mt + SARVO_MT_N}; }

Obj address_of(rnd_state_t *state) { return Obj(PyLong_FromVoidPtr(state)); }

std::string error_text_and_clear(PyObject *expected_type) {
    if (!PyErr_ExceptionMatches(expected_type)) {
        PyErr_Print();
        return "<other exception>";
    }
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    std::string text;
    if (PyObject *s = value ? PyObject_Str(value) : nullptr) {
        text = PyUnicode_AsUTF8(s);
        Py_DECREF(s);
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return text;
}

// ---------------------------------------------------------------------------------------
// Integer seeding and raw draws.

TEST(RandomMt, Seed5489ReproducesReferenceSequence) {
    rnd_state_t s;
    sarvo_rnd_init(&s, 5489);
    EXPECT_EQ(s.index, SARVO_MT_N);
    EXPECT_EQ(s.is_initialized, 1);
    std::mt19937 reference(5489);
    EXPECT_EQ(get_next_int32(&s), 3499211612u);
    reference();
    // Many blocks, so the twist runs many times over; the C++ standard fixes draw 10000.
    unsigned int last = 0;
    for (int i = 1; i < 10000; i++) {
        last = get_next_int32(&s);
        ASSERT_EQ(last, reference()) << "draw " << i;
    }
    EXPECT_EQ(last, 4123659995u);
}

TEST(RandomMt, ClassicKeyArrayFirstOutputs) {
    const uint32_t keys[] = {0x123, 0x234, 0x345, 0x456};
    rnd_state_t s;
    rnd_init_by_array(&s, keys, 4);
    const unsigned int want[] = {1067595299u, 955945823u, 477289528u, 4107218783u, 4228976476u};
    for (unsigned int w : want) EXPECT_EQ(get_next_int32(&s), w);
}

// ---------------------------------------------------------------------------------------
// Key-array seeding against NumPy's legacy RandomState: state words and 53-bit doubles.

class InitByArray : public ::testing::TestWithParam<std::vector<uint32_t>> {};

TEST_P(InitByArray, MatchesNumpyLegacyStateAndDoubles) {
    sarvo_test::Gil gil;
    const auto &keys = GetParam();
    rnd_state_t s;
    s.has_gauss = 1;
    s.gauss = 3.0;
    rnd_init_by_array(&s, keys.data(), keys.size());
    EXPECT_EQ(s.index, SARVO_MT_N);
    EXPECT_EQ(s.has_gauss, 0);
    EXPECT_EQ(s.gauss, 0.0);
    EXPECT_EQ(s.is_initialized, 1);
    ASSERT_EQ(words_of(s), numpy_words(keys));

    Obj doubles(run("np.random.RandomState(" + py_list(keys) + ").random_sample(1000).tolist()"));
    std::vector<double> want = to_vector<double>(doubles.p);
    ASSERT_EQ(want.size(), 1000u);
    for (size_t i = 0; i < want.size(); i++) ASSERT_EQ(get_next_double(&s), want[i]) << "double " << i;
}

std::vector<uint32_t> spread_keys(size_t n) {
    std::vector<uint32_t> keys(n);
    for (size_t i = 0; i < n; i++) keys[i] = static_cast<uint32_t>(i * 2654435761u + 17);
    return keys;
}

INSTANTIATE_TEST_SUITE_P(KeyLists, InitByArray,
                         ::testing::Values(std::vector<uint32_t>{0x123, 0x234, 0x345, 0x456},
                                           std::vector<uint32_t>{0}, std::vector<uint32_t>{0xffffffffu, 1},
                                           spread_keys(623), spread_keys(624), spread_keys(625),
                                           spread_keys(1500)));

// ---------------------------------------------------------------------------------------
// Seeding from bytes: whole little-endian words, the remainder ignored.

std::vector<uint32_t> le_words(const std::vector<unsigned char> &bytes) {
    std::vector<uint32_t> keys;
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4)
        keys.push_back(bytes[i] | bytes[i + 1] << 8 | bytes[i + 2] << 16 | uint32_t(bytes[i + 3]) << 24);
    return keys;
}

int seed_from_bytes(rnd_state_t *s, const std::vector<unsigned char> &bytes) {
    Obj obj(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(bytes.data()),
                                      static_cast<Py_ssize_t>(bytes.size())));
    Py_buffer buf;
    if (PyObject_GetBuffer(obj.p, &buf, 0) != 0) return -2;
    return rnd_seed_with_bytes(s, &buf);  // releases buf
}

TEST(SeedWithBytes, FiveBytesActAsOneLittleEndianKey) {
    sarvo_test::Gil gil;
    rnd_state_t s;
    ASSERT_EQ(seed_from_bytes(&s, {0x01, 0x02, 0x03, 0x04, 0x05}), 0);
    EXPECT_EQ(words_of(s), numpy_words({0x04030201u}));
}

TEST(SeedWithBytes, FewerThanFourBytesActAsTheKeyZero) {
    sarvo_test::Gil gil;
    const std::vector<uint32_t> zero_key = numpy_words({0});
    for (const std::vector<unsigned char> &bytes :
         {std::vector<unsigned char>{}, std::vector<unsigned char>{0xff, 0xee, 0xdd}}) {
        rnd_state_t s;
        ASSERT_EQ(seed_from_bytes(&s, bytes), 0);
        EXPECT_EQ(words_of(s), zero_key) << bytes.size() << " bytes";
        EXPECT_EQ(s.is_initialized, 1);
    }
}

// No memory for the keys: MemoryError, the state as it was, and the buffer released (a
// bytearray with a live export cannot be resized).
TEST(SeedWithBytes, NoMemoryForTheKeysLeavesTheStateAndReleasesTheBuffer) {
    sarvo_test::Gil gil;
    Obj bytes(PyByteArray_FromStringAndSize("12345678", 8));
    Py_buffer buf;
    ASSERT_EQ(PyObject_GetBuffer(bytes.p, &buf, PyBUF_SIMPLE), 0);
    rnd_state_t s;
    std::memset(&s, 0x5C, sizeof s);
    unsigned char before[sizeof s];
    std::memcpy(before, &s, sizeof s);
    int rc;
    {
        sarvo_test::RefusingPythonAllocator refusing(PYMEM_DOMAIN_MEM, 0);
        rc = rnd_seed_with_bytes(&s, &buf);
    }
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_MemoryError));
    PyErr_Clear();
    EXPECT_EQ(std::memcmp(&s, before, sizeof s), 0);
    EXPECT_EQ(PyByteArray_Resize(bytes.p, 4), 0);
}

TEST(SeedWithBytes, UrandomSizedBufferUsesEveryWord) {
    sarvo_test::Gil gil;
    for (size_t n : {2496u, 2499u, 4000u}) {
        std::vector<unsigned char> bytes(n);
        for (size_t i = 0; i < n; i++) bytes[i] = static_cast<unsigned char>(i * 131 + 7);
        rnd_state_t s;
        ASSERT_EQ(seed_from_bytes(&s, bytes), 0);
        EXPECT_EQ(words_of(s), numpy_words(le_words(bytes))) << n << " bytes";
    }
}

// ---------------------------------------------------------------------------------------
// Python-level accessors.

TEST(RandomPython, SeedTakesIntegerOrBytes) {
    sarvo_test::Gil gil;
    rnd_state_t s = {};
    Obj addr = address_of(&s);

    Obj int_args(Py_BuildValue("(Ok)", addr.p, 5489ul));
    Obj r1(_sarvo_rnd_seed(nullptr, int_args.p));
    ASSERT_EQ(r1.p, Py_None);
    EXPECT_EQ(get_next_int32(&s), 3499211612u);

    // The integer is taken modulo 2^32.
    Obj big_args(Py_BuildValue("(OK)", addr.p, (1ull << 32) + 5489));
    Obj r2(_sarvo_rnd_seed(nullptr, big_args.p));
    ASSERT_EQ(r2.p, Py_None);
    EXPECT_EQ(get_next_int32(&s), 3499211612u);

    Obj bytes_args(Py_BuildValue("(Oy#)", addr.p, "\x01\x02\x03\x04\x05", Py_ssize_t{5}));
    Obj r3(_sarvo_rnd_seed(nullptr, bytes_args.p));
    ASSERT_EQ(r3.p, Py_None);
    EXPECT_EQ(words_of(s), numpy_words({0x04030201u}));
}

TEST(RandomPython, SeedRejectsOtherTypes) {
    sarvo_test::Gil gil;
    rnd_state_t s = {};
    Obj addr = address_of(&s);
    Obj args(Py_BuildValue("(Od)", addr.p, 2.5));
    EXPECT_EQ(_sarvo_rnd_seed(nullptr, args.p), nullptr);
    EXPECT_NE(error_text_and_clear(PyExc_TypeError), "<other exception>");
    EXPECT_EQ(s.is_initialized, 0);
}

TEST(RandomPython, GetThenSetStateRepeatsDraws) {
    sarvo_test::Gil gil;
    rnd_state_t s;
    sarvo_rnd_init(&s, 2024);
    for (int i = 0; i < 700; i++) get_next_int32(&s);  // mid-block, after a twist
    Obj addr = address_of(&s);
    Obj saved(_sarvo_rnd_get_state(nullptr, addr.p));
    ASSERT_NE(saved.p, nullptr);
    ASSERT_TRUE(PyTuple_Check(saved.p));
    EXPECT_EQ(PyLong_AsLong(PyTuple_GET_ITEM(saved.p, 0)), 700 - SARVO_MT_N);
    const rnd_state_t at_save = s;

    std::vector<unsigned int> first;
    for (int i = 0; i < 1000; i++) first.push_back(get_next_int32(&s));

    rnd_state_t t{};  // restored into a blank state: every word must come from the saved list
    t.has_gauss = 1;
    Obj taddr = address_of(&t);
    Obj args(Py_BuildValue("(OO)", taddr.p, saved.p));
    Obj r(_sarvo_rnd_set_state(nullptr, args.p));
    ASSERT_EQ(r.p, Py_None);
    EXPECT_EQ(t.has_gauss, 0);
    EXPECT_EQ(t.is_initialized, 1);
    EXPECT_EQ(t.index, at_save.index);
    EXPECT_EQ(std::memcmp(t.mt, at_save.mt, sizeof t.mt), 0);
    for (int i = 0; i < 1000; i++) ASSERT_EQ(get_next_int32(&t), first[i]) << "draw " << i;
}

TEST(RandomPython, SetStateRejectsListOf623) {
    sarvo_test::Gil gil;
    rnd_state_t s;
    sarvo_rnd_init(&s, 1);
    rnd_state_t before = s;
    Obj addr = address_of(&s);
    Obj state(run("(5, list(range(623)))"));
    Obj args(Py_BuildValue("(OO)", addr.p, state.p));
    EXPECT_EQ(_sarvo_rnd_set_state(nullptr, args.p), nullptr);
    EXPECT_EQ(error_text_and_clear(PyExc_ValueError), "list object has wrong size");
    EXPECT_EQ(memcmp(&s, &before, sizeof s), 0);
}

struct BadState {
    const char *state_expr;
    PyObject **error;
};

class SetStateErrors : public ::testing::TestWithParam<BadState> {};

TEST_P(SetStateErrors, FailsWithError) {
    sarvo_test::Gil gil;
    rnd_state_t s;
    sarvo_rnd_init(&s, 1);
    Obj addr = address_of(&s);
    Obj state(run(GetParam().state_expr));
    ASSERT_NE(state.p, nullptr);
    Obj args(Py_BuildValue("(OO)", addr.p, state.p));
    EXPECT_EQ(_sarvo_rnd_set_state(nullptr, args.p), nullptr);
    EXPECT_NE(error_text_and_clear(*GetParam().error), "<other exception>");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SetStateErrors,
    ::testing::Values(BadState{"[0, list(range(624))]", &PyExc_TypeError},       // not a tuple
                      BadState{"(0, tuple(range(624)))", &PyExc_TypeError},      // not a list
                      BadState{"(625, list(range(624)))", &PyExc_ValueError},    // index past the block
                      BadState{"(-1, list(range(624)))", &PyExc_ValueError},
                      BadState{"(0, [1] * 623 + [-1])", &PyExc_OverflowError},  // word not unsigned
                      BadState{"(0, [1] * 623 + ['x'])", &PyExc_TypeError}));

TEST(RandomPython, AddressZeroIsRefused) {
    sarvo_test::Gil gil;
    Obj zero(PyLong_FromLong(0));
    EXPECT_EQ(_sarvo_rnd_shuffle(nullptr, zero.p), nullptr);
    EXPECT_NE(error_text_and_clear(PyExc_ValueError), "<other exception>");
    EXPECT_EQ(_sarvo_rnd_get_state(nullptr, zero.p), nullptr);
    EXPECT_NE(error_text_and_clear(PyExc_ValueError), "<other exception>");
    Obj text(PyUnicode_FromString("0x10"));
    EXPECT_EQ(_sarvo_rnd_get_state(nullptr, text.p), nullptr);
    EXPECT_NE(error_text_and_clear(PyExc_TypeError), "<other exception>");
}

TEST(RandomPython, ShuffleTwistsTheAddressedState) {
    sarvo_test::Gil gil;
    rnd_state_t s;
    sarvo_rnd_init(&s, 5489);
    Obj addr = address_of(&s);
    Obj r(_sarvo_rnd_shuffle(nullptr, addr.p));
    ASSERT_EQ(r.p, Py_None);
    EXPECT_EQ(s.index, SARVO_MT_N);  // the twist leaves the index alone
    s.index = 0;                     // the twisted block is now ready to temper
    std::mt19937 reference(5489);
    for (int i = 0; i < SARVO_MT_N; i++) ASSERT_EQ(get_next_int32(&s), reference()) << "draw " << i;
}

TEST(RandomPython, StatePointersNameThisThreadsSeededStates) {
    sarvo_test::Gil gil;
    Obj py(_sarvo_rnd_get_py_state_ptr(nullptr, nullptr));
    Obj np(_sarvo_rnd_get_np_state_ptr(nullptr, nullptr));
    ASSERT_NE(py.p, nullptr);
    ASSERT_NE(np.p, nullptr);
    EXPECT_EQ(PyLong_AsVoidPtr(py.p), &sarvo_py_random_state);
    EXPECT_EQ(PyLong_AsVoidPtr(np.p), &sarvo_np_random_state);
    EXPECT_EQ(sarvo_py_random_state.is_initialized, 1);
    EXPECT_EQ(sarvo_np_random_state.is_initialized, 1);
}

// ---------------------------------------------------------------------------------------
// Implicit seeding per thread, and reseeding in a forked child.

// Replaces os.urandom by a recorder that returns a fixed pattern, for the scope.
struct FakeUrandom {
    FakeUrandom() {
        sarvo_test::Gil gil;
        Obj r(run("_urandom_calls = []\n"
                  "_real_urandom = os.urandom\n"
                  "def _fake_urandom(n):\n"
                  "    _urandom_calls.append(n)\n"
                  "    return bytes((i * 7 + 3) & 0xff for i in range(n))\n"
                  "os.urandom = _fake_urandom\n",
                  true));
    }
    ~FakeUrandom() {
        sarvo_test::Gil gil;
        Obj r(run("os.urandom = _real_urandom\n", true));
    }
    static std::vector<long> calls() {
        sarvo_test::Gil gil;
        Obj list(run("_urandom_calls"));
        return to_vector<long>(list.p);
    }
};

TEST(ImplicitSeeding, FreshThreadSeedsOnceFromUrandom) {
    struct Seen {
        int initialized_before = -1;
        rnd_state_t after_first;
        rnd_state_t *first = nullptr, *second = nullptr;
        int index_after_second = -1;
    } seen;
    std::vector<long> calls;
    {
        FakeUrandom fake;
        // The getter runs without the interpreter lock held by its thread.
        std::thread worker([&seen] {
            seen.initialized_before = sarvo_np_random_state.is_initialized;
            seen.first = sarvo_get_np_random_state();
            seen.after_first = *seen.first;
            get_next_int32(seen.first);
            seen.second = sarvo_get_np_random_state();
            seen.index_after_second = seen.second->index;
        });
        worker.join();
        calls = FakeUrandom::calls();
    }
    EXPECT_EQ(seen.initialized_before, 0);
    EXPECT_EQ(seen.first, seen.second);
    EXPECT_EQ(calls, std::vector<long>{2496});
    EXPECT_EQ(seen.index_after_second, 1);  // one draw taken; a reseed would restore 624

    std::vector<unsigned char> bytes(2496);
    for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<unsigned char>(i * 7 + 3);
    std::vector<uint32_t> keys = le_words(bytes);
    rnd_state_t want;
    rnd_init_by_array(&want, keys.data(), keys.size());
    EXPECT_EQ(words_of(seen.after_first), words_of(want));
    EXPECT_EQ(seen.after_first.index, SARVO_MT_N);
    EXPECT_EQ(seen.after_first.is_initialized, 1);
}

// The module already ran the global initialisation: a second run leaves seeded states alone.
TEST(ImplicitSeeding, InitialisingAgainKeepsSeededStates) {
    FakeUrandom fake;
    int initialized = -1;
    std::thread worker([&initialized] {
        sarvo_get_np_random_state();
        sarvo_rnd_ensure_global_init();
        initialized = sarvo_np_random_state.is_initialized;
    });
    worker.join();
    EXPECT_EQ(initialized, 1);
}

TEST(ImplicitSeeding, EachStateOfAThreadSeedsSeparately) {
    FakeUrandom fake;
    std::thread worker([] {
        sarvo_get_py_random_state();
        sarvo_get_internal_random_state();
        sarvo_get_internal_random_state();
    });
    worker.join();
    EXPECT_EQ(FakeUrandom::calls(), (std::vector<long>{2496, 2496}));
}

enum ChildResult { kChildReseeded = 0, kChildStillInitialized = 2, kChildNotSeeded = 3, kChildReplayed = 4 };

TEST(ForkedChild, ReseedsInsteadOfReplayingParent) {
    sarvo_rnd_ensure_global_init();  // idempotent; module import has normally done it
    sarvo_test::Gil gil;
    rnd_state_t *parent = sarvo_get_np_random_state();
    rnd_state_t parent_copy = *parent;
    fflush(nullptr);
    PyOS_BeforeFork();
    pid_t pid = fork();
    if (pid == 0) {
        PyOS_AfterFork_Child();
        int code = kChildReseeded;
        if (sarvo_np_random_state.is_initialized) {
            code = kChildStillInitialized;
        } else {
            rnd_state_t *child = sarvo_get_np_random_state();
            if (!child->is_initialized) {
                code = kChildNotSeeded;
            } else {
                int same = 0;
                for (int i = 0; i < 4; i++) same += get_next_int32(child) == get_next_int32(&parent_copy);
                if (same == 4) code = kChildReplayed;
            }
        }
        _exit(code);
    }
    PyOS_AfterFork_Parent();
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), kChildReseeded);
    EXPECT_EQ(sarvo_np_random_state.is_initialized, 1);  // the parent keeps its stream
}

// ---------------------------------------------------------------------------------------
// Log-gamma and the Poisson sampler.

// The documented formula, transcribed line by line with its own copy of the constants.
double loggam_transcribed(double x) {
    if (x == 1.0 || x == 2.0) return 0.0;
    const double a[10] = {8.333333333333333e-02,  -2.777777777777778e-03, 7.936507936507937e-04,
                          -5.952380952380952e-04, 8.417508417508418e-04,  -1.917526917526918e-03,
                          6.410256410256410e-03,  -2.955065359477124e-02, 1.796443723688307e-01,
                          -1.39243221690590e+00};
    int64_t n = 0;
    double x0 = x;
    if (x <= 7.0) {
        n = static_cast<int64_t>(7.0 - x);
        x0 = x + static_cast<double>(n);
    }
    double x2 = 1.0 / (x0 * x0);
    double gl0 = a[9];
    for (int k = 8; k >= 0; k--) gl0 = gl0 * x2 + a[k];
    double gl = gl0 / x0 + 0.9189385332046727 + (x0 - 0.5) * log(x0) - x0;
    for (int64_t k = 0; k < n; k++) {
        gl -= log(x0 - 1.0);
        x0 -= 1.0;
    }
    return gl;
}

TEST(Loggam, BitForBitTheDocumentedFormula) {
    std::mt19937_64 gen(18);
    std::vector<double> xs = {1.0, 2.0, 7.0, 8.0, 6.999999999999999, 7.000000000000001, 1e-300, 1e300};
    for (int i = 0; i < 3000; ++i) xs.push_back(std::ldexp(std::generate_canonical<double, 53>(gen), i % 40 - 20));
    for (double x = 0.05; x < 300.0; x *= 1.07) xs.push_back(x);
    for (double x : xs) {
        double got = loggam(x), want = loggam_transcribed(x);
        ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << "x = " << x << ": " << got << " vs " << want;
    }
}

// Independent values: ln of exactly representable factorials and ln Γ(½) = ½ ln π within a few
// units in the last place, and the C library's lgamma elsewhere (the downward recurrence loses
// a few more bits below 7).
TEST(Loggam, AgreesWithExactFactorialsAndLgamma) {
    double factorial = 1.0;
    for (int n = 1; n <= 22; ++n) {  // n! is exact in a double up to 22!
        factorial *= n;
        double want = std::log(factorial);
        EXPECT_NEAR(loggam(n + 1.0), want, 1e-15 * std::max(1.0, want)) << "ln " << n << "!";
    }
    EXPECT_NEAR(loggam(0.5), 0.5 * std::log(M_PI), 1e-15);
    std::vector<double> xs = {1e-3, 0.01, 0.3, 0.999, 1.001, 1.5, 1.999, 2.001, 6.999, 7.001, 1e4, 1e10};
    for (double x = 0.05; x < 300.0; x *= 1.07) xs.push_back(x);
    for (double x : xs) {
        double want = std::lgamma(x);
        EXPECT_NEAR(loggam(x), want, 1e-13 * std::max(1.0, std::fabs(want))) << "x = " << x;
    }
}

class PoissonPtrs : public ::testing::TestWithParam<double> {};

// NumPy's legacy sampler uses the same transformed rejection for means of 10 and more, on
// the same 53-bit doubles, so the same integer seed gives the same deviates.
TEST_P(PoissonPtrs, MatchesNumpyLegacyPoisson) {
    sarvo_test::Gil gil;
    const double lam = GetParam();
    char expr[128];
    snprintf(expr, sizeof expr, "np.random.RandomState(987654).poisson(%.17g, 3000).tolist()", lam);
    Obj list(run(expr));
    std::vector<int64_t> want = to_vector<int64_t>(list.p);
    ASSERT_EQ(want.size(), 3000u);
    rnd_state_t s;
    sarvo_rnd_init(&s, 987654);
    for (size_t i = 0; i < want.size(); i++) ASSERT_EQ(sarvo_poisson_ptrs(&s, lam), want[i]) << "draw " << i;
}

INSTANTIATE_TEST_SUITE_P(Means, PoissonPtrs, ::testing::Values(10.0, 37.5, 1000.0, 123456.789, 1e9));

}  // namespace
