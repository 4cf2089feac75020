// The parts of the event rows that are the same for every record type: the
// notice of a misplaced channel and the row loop over the writer.
#include "export/rows.hpp"

#include <unistd.h>

#include <string>

namespace vexoacq::export_::csv::detail {

void print_bad_channel(std::size_t channel, std::size_t ordinal) {
    std::string line = "Bad channel ";
    line += std::to_string(channel);
    line += " at Event ";
    line += std::to_string(ordinal);
    line += '\n';
    (void)write_fully(STDOUT_FILENO, line.data(), line.size());
}

template bool format_rows<false, WriterRows>(const EventLayout&, std::size_t, std::size_t, WriterRows&);
template bool format_rows<true, WriterRows>(const EventLayout&, std::size_t, std::size_t, WriterRows&);

}  // namespace vexoacq::export_::csv::detail
