#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vemo {

// The provider box's content and its rules: a sorted drop-down list with at most one selected
// entry. The views only display it. UI thread.
class ProviderBox {
 public:
  // Inserts the name in sorted place; the selection stays on its entry.
  void Add(std::u16string_view name);
  // Selects the first entry that begins with the text, ignoring letter case; false, with the
  // selection as it was, when none does.
  bool SelectByPrefix(std::u16string_view text);
  // The user's choice in the box; false for an index past the end.
  bool Select(size_t index);

  const std::vector<std::u16string>& entries() const { return entries_; }
  std::optional<size_t> selected_index() const { return selected_; }
  std::optional<std::u16string> SelectedText() const;

 private:
  std::vector<std::u16string> entries_;
  std::optional<size_t> selected_;
};

}  // namespace vemo
