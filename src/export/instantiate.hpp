// The export's templates for one record type.  Every record type has them
// (a few record types per instantiate_*.cpp, so that they compile side by
// side): the driver's block step and the passes for the events of an
// acquisition, and the block writer over events built in code for the
// tests, benchmarks and fuzz entries.
#pragma once

#include "export/block_writer.hpp"
#include "export/first_pass.hpp"
#include "export/rows.hpp"
#include "export/second_pass.hpp"

#define VEXO_EXPORT_INSTANCES(E)                                                                              \
    template std::vector<std::size_t> channels<std::span<const E>>(const std::span<const E>&);             \
    template std::vector<std::size_t> channels<FirstPassBlock<E>>(const FirstPassBlock<E>&);               \
    template Result<void, ExportError> write_header<std::span<const E>>(CsvWriter&, const std::span<const E>&, \
                                                                        std::span<const std::size_t>);       \
    template Result<void, ExportError> write_event<E>(CsvWriter&, const Params&, const E&,                 \
                                                      std::span<const std::size_t>, std::size_t);          \
    template Result<void, ExportError> export_csv<std::span<const E>>(const std::span<const E>&, CsvWriter&, \
                                                                      const Params&);                      \
    template Result<void, ExportError> export_csv<FirstPassBlock<E>>(const FirstPassBlock<E>&, CsvWriter&,  \
                                                                     const Params&);                       \
    template std::vector<std::size_t> event_channels<E>(const E&);                                         \
    template std::size_t event_rows<E>(const E&, const Params&);                                           \
    template std::vector<FirstPassEvent> first_pass<E>(const acquisition::Acquisition&, const Params&,     \
                                                       const calibration::Corrections&,                    \
                                                       std::span<const std::size_t>, const BlockExecution&);
