// The CSV export's templates instantiated for zelkv3 events.
#include "export/csv_impl.hpp"

namespace vexoacq::export_::csv {

VEXO_EXPORT_INSTANCES(parsing::Zelkv3Event)

}  // namespace vexoacq::export_::csv
