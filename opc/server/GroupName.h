// Generated group names: the text of a random version-4 UUID drawn from the module's
// Mersenne Twister, e.g. "1b4e28ba-2fa1-41d2-883f-0016d3cca427".
#pragma once

#include <random>
#include <string>

namespace opc::server {

std::wstring MakeGroupName(std::mt19937& random);

} // namespace opc::server
