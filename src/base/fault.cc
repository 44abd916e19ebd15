#include "base/fault.h"

namespace tessary {

void fault(std::string_view message) { throw InternalFault(std::string(message)); }

}  // namespace tessary
