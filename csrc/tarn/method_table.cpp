// The method table of sarvo_functions: one row per kernel, in byte order of the names. Each
// kernel group adds its rows here; everything else about a function follows from its row.
#include <array>
#include <string_view>

#include "pelmarinex/deviverozo_new/sarvo_functions.h"
#include "tarn/entry_table.h"
#include "tarn/method_table.h"
#include "core/pickled_constants.h"

namespace {

namespace K = pelmarinex::deviverozo_new::sarvo_functions;
using sarvo::entry::EntryRow;
using sarvo::entry::make_row;

consteval int method(std::string_view name) {
    for (int i = 0; i < sarvo::constants::kMethodCount; ++i)
        if (name == sarvo::constants::kMethodNames[i]) return i;
    throw "unknown method name";
}

constexpr EntryRow kRows[] = {
    make_row<K::_approximate_diffusion>(method("_approximate_diffusion")),
    make_row<K::_extend_centers>(method("_extend_centers")),
    make_row<K::_masks_to_flow>(method("_masks_to_flow")),
    make_row<K::_steps2D>(method("_steps2D")),
    make_row<K::_steps2D_all>(method("_steps2D_all")),
    make_row<K::bfs>(method("bfs")),
    make_row<K::compute_cell_size>(method("compute_cell_size")),
    make_row<K::compute_flow_error_cell_size>(method("compute_flow_error_cell_size")),
    make_row<K::extend_seed>(method("extend_seed")),
    make_row<K::fill_holes>(method("fill_holes")),
    make_row<K::find_seeds>(method("find_seeds")),
    make_row<K::flow_error_estimate>(method("flow_error_estimate")),
    make_row<K::p_histogram>(method("p_histogram")),
    make_row<K::renum_masks>(method("renum_masks")),
    make_row<K::renumbering>(method("renumbering")),
};
constexpr size_t kRowCount = std::size(kRows);

consteval bool rows_in_method_order() {
    for (size_t r = 1; r < kRowCount; ++r)
        if (kRows[r - 1].method >= kRows[r].method) return false;
    return true;
}
static_assert(rows_in_method_order(), "rows follow the byte order of the method names");

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
