// Decoded events as Python dicts.
//
// The dict has the keys "data", "window_labels", "time", "timing" and
// "ecc_errors", in this order; "timing" is None except for mervyv1 records,
// "ecc_errors" None except for tolv96 records.  Every list and number is new;
// within one dict one number object may fill every slot that holds the same
// value (numbers are immutable), nothing is shared with another dict.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "acquisition/metadata.hpp"
#include "python_api/exceptions.hpp"

namespace vexoacq::python_api::parsing {

// Chooses the record type by params.model, decodes `raw` and builds the dict.
// New reference, or null with the exception set (acquisition.ParsingError for
// an unknown model or bytes that do not decode).  Interpreter lock held.
PyObject* parse_to_dict(const vexoacq::acquisition::Params& params, std::vector<std::uint8_t> raw);

// The same, but a decoding failure is handed back unraised in *deferred (so
// a caller that drops it creates no exception class); null with *deferred
// empty means a Python exception is set.
PyObject* parse_to_dict(const vexoacq::acquisition::Params& params, std::vector<std::uint8_t> raw,
                        std::optional<exceptions::PyErr>* deferred);

}  // namespace vexoacq::python_api::parsing
