#include "shell/icons.h"

#include <QString>
#include <mutex>

#include "shell/resources.h"

// The compiled resource file sits in a static library, where nothing else would pull it into
// the program; naming its initialiser here does. Q_INIT_RESOURCE has to be used outside any
// namespace.
static void InitShellResources() { Q_INIT_RESOURCE(shell); }

namespace vemo::shell {

QIcon ResourceIcon(int id) {
  static std::once_flag once;
  std::call_once(once, InitShellResources);
  const std::string_view path = IconPath(id);
  if (path.empty()) return {};
  return QIcon(QString::fromLatin1(path.data(), static_cast<qsizetype>(path.size())));
}

}  // namespace vemo::shell
