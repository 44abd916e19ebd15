// Class ids of the e-graph: dense 32-bit indices handed out by the union-find,
// one per class ever created. An id stays meaningful after its class has been
// merged away; `EGraph::find` maps it to the surviving class.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

namespace tessary::eqsat {

class Id {
 public:
  // Trivial, so ids can live in unions and raw arrays; `Id{}` is id 0.
  Id() = default;
  constexpr explicit Id(std::uint32_t value) : value_(value) {}

  constexpr std::uint32_t value() const { return value_; }
  constexpr std::size_t index() const { return value_; }

  friend constexpr bool operator==(Id a, Id b) = default;
  friend constexpr auto operator<=>(Id a, Id b) = default;

 private:
  std::uint32_t value_;
};

// Writes the decimal number.
std::ostream& operator<<(std::ostream& out, Id id);
std::string to_string(Id id);

}  // namespace tessary::eqsat

template <>
struct std::hash<tessary::eqsat::Id> {
  std::size_t operator()(tessary::eqsat::Id id) const noexcept { return id.value(); }
};
