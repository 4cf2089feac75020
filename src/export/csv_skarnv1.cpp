// The CSV export's templates instantiated for skarnv1 events.
#include "export/csv_impl.hpp"

namespace vexoacq::export_::csv {

VEXO_EXPORT_INSTANCES(parsing::Skarnv1Event)

}  // namespace vexoacq::export_::csv
