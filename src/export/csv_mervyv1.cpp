// The CSV export's templates instantiated for mervyv1 events.
#include "export/csv_impl.hpp"

namespace vexoacq::export_::csv {

VEXO_EXPORT_INSTANCES(parsing::Mervyv1Event)

}  // namespace vexoacq::export_::csv
