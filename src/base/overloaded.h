// Overloaded: builds one visitor for std::visit out of several lambdas.
#pragma once

namespace tessary {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace tessary
