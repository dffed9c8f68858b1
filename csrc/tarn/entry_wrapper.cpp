// The entry-wrapper sequence shared by every Python-callable function.
#include "tarn/entry_table.h"

#include "core/runtime/_srt_python.h"
#include "helperlib/excinfo_raise.h"
#include "tarn/dynfunc.h"
#include "tarn/refusal_notes.h"
#include "core/pickled_constants.h"

namespace sarvo::entry {
namespace {

constexpr const char kUnboxMessage[] =
    "can't unbox array from PyObject into native value.  The object maybe of a different type";

// The bytes [low, high) that an array's elements occupy; empty for an array without elements.
struct ByteRange {
    uintptr_t low = 0, high = 0;
};

ByteRange byte_range(const arystruct_t *rec, int ndim) {
    ByteRange r;
    intptr_t lo = 0, hi = 0;
    for (int d = 0; d < ndim; ++d) {
        const int64_t extent = rec->shape_and_strides[d], stride = rec->shape_and_strides[ndim + d];
        if (extent == 0) return r;
        (stride < 0 ? lo : hi) += (extent - 1) * stride;
    }
    const uintptr_t base = reinterpret_cast<uintptr_t>(rec->data);
    r.low = base + lo;
    r.high = base + hi + rec->itemsize;
    return r;
}

// The native records made so far; every one is released when the call ends, on every path.
class ConvertedArrays {
  public:
    ~ConvertedArrays() { release(); }
    void release() {
        for (int i = 0; i < count_; ++i) SRT_decref(static_cast<SRT_MemInfo *>(records_[i].rec->meminfo));
        count_ = 0;
    }
    void add(arystruct_t *rec, int ndim, int position, bool written) {
        records_[count_++] = {rec, ndim, position, written};
    }

    /* A kernel checks its input before it writes, then trusts it: an argument that shares bytes
       with an array the kernel writes (say coordinates viewing the displacement buffer) would
       change under it and send its indices outside the arrays. Such calls are refused. */
    bool written_arrays_overlap_others(const char *name) const {
        for (int i = 0; i < count_; ++i) {
            if (!records_[i].written) continue;
            const ByteRange w = byte_range(records_[i].rec, records_[i].ndim);
            for (int j = 0; j < count_; ++j) {
                if (j == i || w.low == w.high) continue;
                const ByteRange o = byte_range(records_[j].rec, records_[j].ndim);
                if (o.low < w.high && w.low < o.high) {
                    PyErr_Format(PyExc_ValueError, "%s writes into argument %d, which shares memory with argument %d",
                                 name, records_[i].position + 1, records_[j].position + 1);
                    return true;
                }
            }
        }
        return false;
    }

  private:
    struct Entry {
        arystruct_t *rec;
        int ndim, position;
        bool written;
    };
    Entry records_[2 * kMaxArgs];
    int count_ = 0;
};

arystruct_t *first_record(Slot &slot) { return reinterpret_cast<arystruct_t *>(slot.bytes); }

// In a pair the second record follows the first one's words: five fields, extents, strides.
arystruct_t *second_record(Slot &slot, int first_ndim) {
    return reinterpret_cast<arystruct_t *>(slot.bytes + (5 + 2 * first_ndim) * sizeof(int64_t));
}

bool unbox_error() {
    PyErr_SetString(PyExc_TypeError, kUnboxMessage);
    return false;
}

// Kernels read elements through typed pointers, so every element they can reach must start
// on a multiple of the declared item size; an empty array is never read.
bool aligned_for(PyArrayObject *array, int itemsize) {
    if (PyArray_SIZE(array) == 0) return true;
    if (reinterpret_cast<uintptr_t>(PyArray_DATA(array)) % itemsize != 0) return false;
    for (int d = 0; d < PyArray_NDIM(array); ++d)
        if (PyArray_DIM(array, d) > 1 && PyArray_STRIDE(array, d) % itemsize != 0) return false;
    return true;
}

/* An array of another number of dimensions would not fit the record, a C-layout kernel
   indexes from the extents alone, and a misaligned element cannot be read as its type: all
   are refused with the unbox error before anything is made. A read-only array that the
   kernel would write is refused too. */
bool convert_array(PyObject *obj, const ArrayKind &kind, const char *name, int position, arystruct_t *rec,
                   ConvertedArrays &converted) {
    if (PyArray_Check(obj)) {
        PyArrayObject *array = reinterpret_cast<PyArrayObject *>(obj);
        if (PyArray_NDIM(array) != kind.ndim) return unbox_error();
        if (kind.c_layout && !PyArray_IS_C_CONTIGUOUS(array)) return unbox_error();
        // Kernels (and the vector code the compiler makes of them) read elements at their
        // natural alignment; a misaligned buffer, such as one unpickled from a byte stream,
        // could fault there.
        if (!PyArray_ISALIGNED(array) && PyArray_ITEMSIZE(array) == kind.itemsize) {
            PyErr_Format(PyExc_ValueError,
                         "%s needs argument %d aligned for its dtype; numpy.require(a, requirements='A') "
                         "makes an aligned copy",
                         name, position + 1);
            return false;
        }
        if (!aligned_for(array, kind.itemsize)) return unbox_error();
        if (kind.written && !PyArray_ISWRITEABLE(array) && PyArray_ITEMSIZE(array) == kind.itemsize) {
            PyErr_Format(PyExc_ValueError, "%s writes into argument %d, which is a read-only array", name,
                         position + 1);
            return false;
        }
    }
    if (SRT_adapt_ndarray_from_python(obj, rec) != 0) return unbox_error();
    converted.add(rec, kind.ndim, position, kind.written);
    if (rec->itemsize != kind.itemsize) return unbox_error();
    return true;
}

bool convert(PyObject *obj, const ArgKind &kind, const char *name, int position, Slot &slot,
             ConvertedArrays &converted) {
    switch (kind.tag) {
        case ArgTag::Array:
            return convert_array(obj, kind.arrays[0], name, position, first_record(slot), converted);
        case ArgTag::ArrayPair: {
            Py_ssize_t size = PyTuple_Check(obj) ? PyTuple_GET_SIZE(obj) : -1;
            if (size != 2) {
                PyErr_Format(PyExc_ValueError, "size mismatch for tuple, expected 2 element(s) but got %zd", size);
                return false;
            }
            return convert_array(PyTuple_GET_ITEM(obj, 0), kind.arrays[0], name, position, first_record(slot),
                                 converted) &&
                   convert_array(PyTuple_GET_ITEM(obj, 1), kind.arrays[1], name, position, second_record(slot, kind.arrays[0].ndim),
                                 converted);
        }
        case ArgTag::Int32:
        case ArgTag::UInt32: {
            PyObject *number = PyNumber_Long(obj);
            if (!number) return false;
            uint32_t low;
            if (kind.tag == ArgTag::Int32) low = static_cast<uint32_t>(PyLong_AsLongLong(number));
            else low = static_cast<uint32_t>(PyLong_AsUnsignedLongLong(number));
            Py_DECREF(number);
            if (PyErr_Occurred()) return false;
            std::memcpy(slot.bytes, &low, sizeof low);
            return true;
        }
        case ArgTag::Float64:
        case ArgTag::Float32: {
            PyObject *number = PyNumber_Float(obj);
            if (!number) return false;
            double value = PyFloat_AsDouble(number);
            Py_DECREF(number);
            if (PyErr_Occurred()) return false;
            if (kind.tag == ArgTag::Float64) {
                std::memcpy(slot.bytes, &value, sizeof value);
            } else {
                float single = static_cast<float>(value);
                std::memcpy(slot.bytes, &single, sizeof single);
            }
            return true;
        }
        case ArgTag::Bool: {
            int truth = PyObject_IsTrue(obj);
            if (truth < 0) return false;
            bool value = truth != 0;
            std::memcpy(slot.bytes, &value, sizeof value);
            return true;
        }
    }
    return false;
}

/* The dtype constant k of the environment, as a new reference, checked as it is read: the
   constants list is reachable from Python (through the garbage collector's referents of a
   function's closure) and may have been emptied or refilled. Boxing needs a plain dtype whose
   items have the size the kernel wrote. */
PyObject *read_const(EnvironmentObject *env, Py_ssize_t k, int64_t itemsize) {
    PyObject *consts = env->consts;
    if (!consts || !PyList_Check(consts)) {
        PyErr_SetString(PyExc_RuntimeError, "`env.consts` is NULL in `read_const`");
        return nullptr;
    }
    if (k >= PyList_GET_SIZE(consts)) {
        PyErr_Format(PyExc_RuntimeError, "environment constant %zd is missing", k);
        return nullptr;
    }
    PyObject *item = PyList_GET_ITEM(consts, k);
    if (!PyArray_DescrCheck(item)) {
        PyErr_Format(PyExc_TypeError, "environment constant %zd is no dtype but '%.200s'", k, Py_TYPE(item)->tp_name);
        return nullptr;
    }
    auto *descr = reinterpret_cast<PyArray_Descr *>(item);
    if (sarvo::numpy_compat::dtype_itemsize(descr) != itemsize || PyDataType_REFCHK(descr) || PyDataType_HASFIELDS(descr) ||
        PyDataType_HASSUBARRAY(descr)) {
        PyErr_Format(PyExc_TypeError, "environment constant %zd is no plain dtype of %lld-byte items", k,
                     static_cast<long long>(itemsize));
        return nullptr;
    }
    Py_INCREF(item);
    return item;
}

// numpy.ndarray, unpickled from its stored pickle on first use and kept.
PyTypeObject *ndarray_class() {
    static PyObject *cls = nullptr;
    if (!cls) cls = sarvo_unpickle(constants::ndarray_class_pickle, constants::ndarray_class_pickle_len, nullptr);
    return reinterpret_cast<PyTypeObject *>(cls);
}

// Boxes one kernel-made array; the kernel's reference to its record is dropped either way.
PyObject *box_array(arystruct_t *rec, int ndim, EnvironmentObject *env, Py_ssize_t k) {
    PyObject *dtype = read_const(env, k, rec->itemsize);
    PyTypeObject *cls = dtype ? ndarray_class() : nullptr;
    PyObject *array = cls ? SRT_adapt_ndarray_to_python_acqref(rec, cls, ndim, 1,
                                                               reinterpret_cast<PyArray_Descr *>(dtype))
                          : nullptr;
    Py_XDECREF(dtype);
    SRT_decref(static_cast<SRT_MemInfo *>(rec->meminfo));
    return array;
}

PyObject *box(const ResultKind &kind, Slot &result, EnvironmentObject *env) {
    switch (kind.tag) {
        case ResultTag::Array:
            return box_array(first_record(result), kind.ndim[0], env, 0);
        case ResultTag::ArrayPair: {
            arystruct_t *second = second_record(result, kind.ndim[0]);
            PyObject *first_array = box_array(first_record(result), kind.ndim[0], env, 0);
            if (!first_array) {
                SRT_decref(static_cast<SRT_MemInfo *>(second->meminfo));
                return nullptr;
            }
            PyObject *tuple = PyTuple_New(2);
            if (!tuple) {
                Py_DECREF(first_array);
                SRT_decref(static_cast<SRT_MemInfo *>(second->meminfo));
                return nullptr;
            }
            PyTuple_SET_ITEM(tuple, 0, first_array);
            PyObject *second_array = box_array(second, kind.ndim[1], env, 1);
            if (!second_array) {
                Py_DECREF(tuple);
                return nullptr;
            }
            PyTuple_SET_ITEM(tuple, 1, second_array);
            return tuple;
        }
        case ResultTag::Float64: {
            double value;
            std::memcpy(&value, result.bytes, sizeof value);
            return PyFloat_FromDouble(value);
        }
        case ResultTag::None:
            Py_RETURN_NONE;
    }
    return nullptr;
}

}  // namespace

PyObject *run_entry(const EntryRow &row, PyObject *args) {
    const char *name = constants::kMethodNames[row.method];
    PyObject *objs[kMaxArgs] = {};
    if (!PyArg_UnpackTuple(args, name, row.arity, row.arity, &objs[0], &objs[1], &objs[2], &objs[3], &objs[4],
                           &objs[5])) {
        note_arity_refusal(row, args);
        return nullptr;
    }

    auto *env = static_cast<EnvironmentObject *>(*constants::module_envgvs[row.method]);
    if (!env) {
        PyErr_Format(PyExc_RuntimeError, "missing Environment: %s", constants::kEnvSlotSymbols[row.method]);
        return nullptr;
    }

    Slot slots[kMaxArgs];
    Slot result;
    const excinfo_t *record = nullptr;
    ConvertedArrays converted;
    for (int i = 0; i < row.arity; ++i) {
        if (!convert(objs[i], row.args[i], name, i, slots[i], converted)) {
            note_argument_refusal(row, objs, i);
            return nullptr;
        }
    }
    if (converted.written_arrays_overlap_others(name)) return nullptr;

    std::memset(result.bytes, 0, sizeof result.bytes);
    PyThreadState *saved = PyEval_SaveThread();
    const int32_t status = row.invoke(&result, &record, slots);
    PyEval_RestoreThread(saved);
    // A refusal's notes read the converted arguments, so those are released after them.
    if (sarvo_raise_status(status, record) != 0) {
        note_kernel_refusal(row, objs, slots);
        return nullptr;
    }
    converted.release();
    if (status == kNone) Py_RETURN_NONE;
    return box(row.result, result, env);
}

}  // namespace sarvo::entry
