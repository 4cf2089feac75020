// The export's templates instantiated for quopv2, quopoc and skarnv1 events.
#include "export/instantiate.hpp"

namespace vexoacq::export_::csv {

VEXO_EXPORT_INSTANCES(parsing::Quopv2Event)
VEXO_EXPORT_INSTANCES(parsing::QuopocEvent)
VEXO_EXPORT_INSTANCES(parsing::Skarnv1Event)

}  // namespace vexoacq::export_::csv
