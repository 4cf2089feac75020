// The module function export_csv: writes events of an acquisition to CSV
// files, with the interpreter lock released for the whole export.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vexoacq::python_api::export_ {

// The function's record (see module.cpp).
extern PyMethodDef export_csv_def;

}  // namespace vexoacq::python_api::export_
