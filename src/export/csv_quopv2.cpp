// The CSV export's templates instantiated for quopv2 events.
#include "export/csv_impl.hpp"

namespace vexoacq::export_::csv {

VEXO_EXPORT_INSTANCES(parsing::Quopv2Event)

}  // namespace vexoacq::export_::csv
