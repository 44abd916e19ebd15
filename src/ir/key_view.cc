#include "ir/key_view.h"

namespace tessary {

DescriptorView DescriptorView::of(const PayloadDescriptor& d) {
  DescriptorView v;
  for_each_required_field(
      [](std::size_t, std::string_view& to, const std::string& from) { to = from; }, v, d);
  if (d.preprocessing_ref) v.preprocessing_ref = *d.preprocessing_ref;
  return v;
}

}  // namespace tessary
