// The cache's reader of runtime attributes.
#include "opc/group/UpdateService.h"

namespace opc {

UpdateService::AttributeReader RuntimeAttributeReader(NRK_Server*) {
    // Until attribute reads are wired in, the scan obtains nothing.
    return [](const CachedValue&) { return AttributeReading{}; };
}

} // namespace opc
