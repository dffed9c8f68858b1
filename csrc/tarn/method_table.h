// The tables that module initialisation walks: methods (null-terminated), their pickled
// environment constants (same order) and the addresses of their environment slots.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/excinfo.h"

namespace sarvo::tarn {

PyMethodDef *module_methods();
env_def_t *module_environments();
void ***module_envgvs();

}  // namespace sarvo::tarn
