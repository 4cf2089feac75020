// The CSV export's templates instantiated for zelkv3s events.
#include "export/csv_impl.hpp"

namespace vexoacq::export_::csv {

VEXO_EXPORT_INSTANCES(parsing::Zelkv3SEvent)

}  // namespace vexoacq::export_::csv
