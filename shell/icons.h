#pragma once

#include <QIcon>

// The program's icon resources. UI thread.
namespace vemo::shell {

// The icon of an icon resource (kIconApplication, kIconStopped); a null icon for an unknown id.
QIcon ResourceIcon(int id);

}  // namespace vemo::shell
