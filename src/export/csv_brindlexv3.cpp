// The CSV export's templates instantiated for brindlexv3 events.
#include "export/csv_impl.hpp"

namespace vexoacq::export_::csv {

VEXO_EXPORT_INSTANCES(parsing::Brindlexv3Event)

}  // namespace vexoacq::export_::csv
