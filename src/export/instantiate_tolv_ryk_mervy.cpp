// The export's templates instantiated for tolv96, ryk16 and mervyv1 events.
#include "export/instantiate.hpp"

namespace vexoacq::export_::csv {

VEXO_EXPORT_INSTANCES(parsing::Tolv96Event)
VEXO_EXPORT_INSTANCES(parsing::Ryk16Event)
VEXO_EXPORT_INSTANCES(parsing::Mervyv1Event)

}  // namespace vexoacq::export_::csv
