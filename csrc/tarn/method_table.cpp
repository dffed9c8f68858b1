// The method table of sarvo_functions: one row per kernel, in byte order of the names. Each
// kernel group adds its rows here; everything else about a function follows from its row.
#include <array>
#include <string_view>

#include "pelmarinex/deviverozo_new/diffusion.h"
#include "pelmarinex/deviverozo_new/sarvo_functions.h"
#include "tarn/entry_table.h"
#include "tarn/method_table.h"
#include "core/pickled_constants.h"

namespace {

namespace K = pelmarinex::deviverozo_new::sarvo_functions;
using sarvo::entry::ArgDoc;
using sarvo::entry::EntryRow;
using sarvo::entry::Slot;
using sarvo::entry::make_row;

consteval int method(std::string_view name) {
    for (int i = 0; i < sarvo::constants::kMethodCount; ++i)
        if (name == sarvo::constants::kMethodNames[i]) return i;
    throw "unknown method name";
}

/* The documented signatures (README function table, sarvo_functions.pyi), for the notes that
   explain a refusal. A shape's letters name extents that must agree between the arguments. */
constexpr ArgDoc kMasks{"masks", "uint32", "(Ly, Lx)"}, kSlices{"slices", "int32", "(nobj, 2, 2)"},
    kFlow{"flow", "float32", "(2, Ly, Lx)"}, kPos{"pos", "int16", "(2, Ly, Lx)"}, kHist{"hist", "uint8", "(Ly, Lx)"},
    kApproxFrac{"approx_frac"};
constexpr ArgDoc kPixelsY{"ys", "int32", "(n,)"}, kPixelsX{"xs", "int32", "(n,)"};

constexpr const char kBoxWithoutLabel[] =
    "every box of `slices` that is not skipped (y0 != y1) must hold a pixel of its label in `masks` (box k, "
    "counted from 0, is searched for label k + 1); mark an absent label with the skip box [[0, 0], [0, 0]], or "
    "renumber the labels 1 ... n without gaps";
constexpr const char kEmptyPixelList[] = "`ys` and `xs` must each hold at least one pixel";

// The first box that is not skipped and holds no pixel of its label, as the kernels read boxes.
template <int Masks, int Slices>
int64_t first_box_without_its_label(const Slot *args, int32_t bounds[4]) {
    namespace D = K::diffusion;
    const auto masks = sarvo::entry::load<sarvo::Array<const uint32_t, 2>>(args[Masks]);
    const auto slices = sarvo::entry::load<sarvo::Array<const int32_t, 3>>(args[Slices]);
    if (slices.shape[1] < 2 || slices.shape[2] < 2) return -1;
    for (int64_t k = 0; k < slices.shape[0]; ++k) {
        const D::Box box = D::read_box(slices, k, masks.shape[0], masks.shape[1]);
        if (box.skipped() || D::count_label(masks, box, k + 1) != 0) continue;
        bounds[0] = box.y0, bounds[1] = box.y1, bounds[2] = box.x0, bounds[3] = box.x1;
        return k;
    }
    return -1;
}

constexpr EntryRow kRows[] = {
    make_row<K::_approximate_diffusion>(
        method("_approximate_diffusion"),
        {{{"dy", "int32", "(n,)"}, {"dx", "int32", "(n,)"}, {"niter"}},
         "`niter` must not be -1 while an offset (dy, dx) is not (0, 0), and must stay small enough that "
         "0.75 * (dy**2 + dx**2) / (niter + 1) does not round to 0"}),
    make_row<K::_extend_centers>(method("_extend_centers"),
                                 {{kPixelsY, kPixelsX, {"ly"}, {"lx"}, kApproxFrac}, kEmptyPixelList}),
    make_row<K::_masks_to_flow>(method("_masks_to_flow"), {{kMasks, kSlices, kApproxFrac}, kBoxWithoutLabel,
                                                           first_box_without_its_label<0, 1>}),
    make_row<K::_steps2D>(method("_steps2D"),
                          {{kFlow, {"coords", "int64", "(N,)"}, {"disp", "float32", "(2, Ly, Lx)"}, {"n_steps"},
                            {"decay"}, {"interpolate"}}}),
    make_row<K::_steps2D_all>(method("_steps2D_all"), {{kFlow, {"n_steps"}, {"interpolate"}}}),
    make_row<K::bfs>(method("bfs"), {{kHist, kPos, {"seeds", "uint32", "(K, 2)"}}}),
    make_row<K::compute_cell_size>(method("compute_cell_size"), {{kMasks, kSlices}}),
    make_row<K::compute_flow_error_cell_size>(
        method("compute_flow_error_cell_size"),
        {{kMasks, kFlow, kSlices, {"min_size"}, kApproxFrac},
         "with `min_size` 0, every box of `slices` that is not skipped (y0 != y1) must hold a pixel of its label "
         "in `masks` (box k, counted from 0, is searched for label k + 1); pass min_size >= 1, mark an absent "
         "label with the skip box [[0, 0], [0, 0]], or renumber the labels 1 ... n without gaps",
         first_box_without_its_label<0, 2>}),
    make_row<K::extend_seed>(method("extend_seed"), {{kMasks, kPos}}),
    make_row<K::fill_holes>(method("fill_holes"), {{kMasks}}),
    make_row<K::find_seeds>(method("find_seeds"), {{kHist}}),
    make_row<K::flow_error_estimate>(method("flow_error_estimate"),
                                     {{kPixelsY, kPixelsX, {"flow", "float32", "(>= 2, Ly, Lx)"}}, kEmptyPixelList}),
    make_row<K::p_histogram>(method("p_histogram"), {{kPos, {"mask", "bool", "(Ly, Lx) or larger"}}}),
    make_row<K::renum_masks>(method("renum_masks"), {{kMasks, {"remove", "bool", "(n,)"}}}),
    make_row<K::renumbering>(method("renumbering"), {{{"labels", "uint32", "(N,)"}, {"min_labels"}}}),
};
constexpr size_t kRowCount = std::size(kRows);

consteval bool rows_in_method_order() {
    for (size_t r = 1; r < kRowCount; ++r)
        if (kRows[r - 1].method >= kRows[r].method) return false;
    return true;
}
static_assert(rows_in_method_order(), "rows follow the byte order of the method names");

consteval int dtype_itemsize(std::string_view dtype) {
    if (dtype == "float64" || dtype == "int64") return 8;
    if (dtype == "float32" || dtype == "int32" || dtype == "uint32") return 4;
    if (dtype == "int16") return 2;
    if (dtype == "uint8" || dtype == "bool") return 1;
    throw "unknown dtype name";
}

// Every argument is named, and an array's documented dtype has the item size its kernel reads.
consteval bool rows_document_their_arguments() {
    using sarvo::entry::ArgTag;
    for (const EntryRow &r : kRows)
        for (int i = 0; i < sarvo::entry::kMaxArgs; ++i) {
            const ArgDoc &d = r.doc.args[i];
            if ((d.name != nullptr) != (i < r.arity)) return false;
            const bool array = i < r.arity && (r.args[i].tag == ArgTag::Array || r.args[i].tag == ArgTag::ArrayPair);
            if ((d.dtype != nullptr) != array || (d.shape != nullptr) != array) return false;
            if (array && dtype_itemsize(d.dtype) != r.args[i].arrays[0].itemsize) return false;
        }
    return true;
}
static_assert(rows_document_their_arguments(), "the notes name every argument and its documented dtype");

template <size_t R>
PyObject *tarn_method(PyObject *self, PyObject *args, PyObject *kwargs) {
    return sarvo::entry::run_entry(kRows[R], args);
}

template <size_t... R>
std::array<PyMethodDef, kRowCount + 1> make_methods(std::index_sequence<R...>) {
    return {{{sarvo::constants::kMethodNames[kRows[R].method], reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tarn_method<R>)),
              METH_VARARGS | METH_KEYWORDS, nullptr}...,
             {nullptr, nullptr, 0, nullptr}}};
}

template <size_t... R>
std::array<env_def_t, kRowCount + 1> make_environments(std::index_sequence<R...>) {
    return {{sarvo::constants::module_environments[kRows[R].method]..., {nullptr, 0, nullptr, nullptr, 0}}};
}

template <size_t... R>
std::array<void **, kRowCount> make_envgvs(std::index_sequence<R...>) {
    return {{sarvo::constants::module_envgvs[kRows[R].method]...}};
}

std::array<PyMethodDef, kRowCount + 1> methods = make_methods(std::make_index_sequence<kRowCount>{});
std::array<env_def_t, kRowCount + 1> environments = make_environments(std::make_index_sequence<kRowCount>{});
std::array<void **, kRowCount> envgvs = make_envgvs(std::make_index_sequence<kRowCount>{});

}  // namespace

namespace sarvo::tarn {

PyMethodDef *module_methods() { return methods.data(); }
env_def_t *module_environments() { return environments.data(); }
void ***module_envgvs() { return envgvs.data(); }

}  // namespace sarvo::tarn
