// The cache's reader of runtime attributes.
#include "opc/group/UpdateService.h"

#include "opc/group/ValueConversion.h"

namespace opc {

UpdateService::AttributeReader RuntimeAttributeReader(NRK_Server* runtime) {
    return [runtime](const CachedValue& entry) {
        if (!runtime) return AttributeReading{};
        return ReadAttribute(*runtime, entry.Channel(), entry.Attribute(), entry.CanonicalType());
    };
}

} // namespace opc
