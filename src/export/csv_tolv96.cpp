// The CSV export's templates instantiated for tolv96 events.
#include "export/csv_impl.hpp"

namespace vexoacq::export_::csv {

VEXO_EXPORT_INSTANCES(parsing::Tolv96Event)

}  // namespace vexoacq::export_::csv
