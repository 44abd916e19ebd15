#include "ir/key_view.h"

namespace tessary {

DescriptorView DescriptorView::of(const PayloadDescriptor& d) {
  DescriptorView v{d.kind, d.content_hash, d.framework, d.version, d.io_schema, std::nullopt};
  if (d.preprocessing_ref) v.preprocessing_ref = *d.preprocessing_ref;
  return v;
}

}  // namespace tessary
