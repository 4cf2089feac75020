// The module functions of the tolv96 data-word code: syndrome, global_parity
// and syndrome_to_index on single words, ecc_check and ecc_correct on whole
// raw events.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vexoacq::python_api::tolv_ecc {

// The functions' records (see module.cpp).
extern PyMethodDef syndrome_def;
extern PyMethodDef global_parity_def;
extern PyMethodDef syndrome_to_index_def;
extern PyMethodDef ecc_check_def;
extern PyMethodDef ecc_correct_def;

}  // namespace vexoacq::python_api::tolv_ecc
