// The CSV export's templates instantiated for ryk16 events.
#include "export/csv_impl.hpp"

namespace vexoacq::export_::csv {

VEXO_EXPORT_INSTANCES(parsing::Ryk16Event)

}  // namespace vexoacq::export_::csv
