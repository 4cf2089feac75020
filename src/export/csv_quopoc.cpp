// The CSV export's templates instantiated for quopoc events.
#include "export/csv_impl.hpp"

namespace vexoacq::export_::csv {

VEXO_EXPORT_INSTANCES(parsing::QuopocEvent)

}  // namespace vexoacq::export_::csv
