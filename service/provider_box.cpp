#include "service/provider_box.h"

#include <algorithm>

#include "support/text_conversions.h"

namespace vemo {

void ProviderBox::Add(std::u16string_view name) {
  const auto at = std::upper_bound(entries_.begin(), entries_.end(), name);
  const size_t index = static_cast<size_t>(at - entries_.begin());
  entries_.emplace(at, name);
  if (selected_ && *selected_ >= index) ++*selected_;
}

bool ProviderBox::SelectByPrefix(std::u16string_view text) {
  const auto it = std::find_if(entries_.begin(), entries_.end(), [&](const auto& entry) {
    return StartsWithIgnoringCase(entry, text);
  });
  if (it == entries_.end()) return false;
  selected_ = static_cast<size_t>(it - entries_.begin());
  return true;
}

bool ProviderBox::Select(size_t index) {
  if (index >= entries_.size()) return false;
  selected_ = index;
  return true;
}

std::optional<std::u16string> ProviderBox::SelectedText() const {
  if (!selected_) return std::nullopt;
  return entries_[*selected_];
}

}  // namespace vemo
