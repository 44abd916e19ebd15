#include "eqsat/id.h"

#include <ostream>

namespace tessary::eqsat {

std::ostream& operator<<(std::ostream& out, Id id) { return out << id.value(); }

std::string to_string(Id id) { return std::to_string(id.value()); }

}  // namespace tessary::eqsat
