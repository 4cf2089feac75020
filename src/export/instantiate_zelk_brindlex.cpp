// The export's templates instantiated for zelkv3, zelkv3s and brindlexv3 events.
#include "export/instantiate.hpp"

namespace vexoacq::export_::csv {

VEXO_EXPORT_INSTANCES(parsing::Zelkv3Event)
VEXO_EXPORT_INSTANCES(parsing::Zelkv3SEvent)
VEXO_EXPORT_INSTANCES(parsing::Brindlexv3Event)

}  // namespace vexoacq::export_::csv
