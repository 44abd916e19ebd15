#include "ir/key_view.h"

#include "base/fault.h"

namespace tessary {

DescriptorView DescriptorView::of(const PayloadDescriptor& d) {
  DescriptorView v;
  for_each_required_field(
      [](std::size_t, std::string_view& to, const std::string& from) { to = from; }, v, d);
  if (d.preprocessing_ref) v.preprocessing_ref = *d.preprocessing_ref;
  return v;
}

KeyView KeyView::ordered(NodeKind kind, std::string_view name, const DescriptorView* descriptor,
                         std::span<const NodeId> inputs, std::span<const ParamEntryView> params) {
  if (kind == NodeKind::kStage) fault("stage key given as a plain key view");
  if (kind == NodeKind::kExternal && descriptor == nullptr)
    fault("external key view lacks its descriptor");
  // Keep the view's invariants: a name only for the named kinds, a
  // descriptor only for an External, no inputs for a Source.
  if (!has_name(kind)) name = {};
  if (kind != NodeKind::kExternal) descriptor = nullptr;
  if (kind == NodeKind::kSource) inputs = {};
  return KeyView(InMapOrder{}, kind, name, descriptor, inputs, params);
}

}  // namespace tessary
