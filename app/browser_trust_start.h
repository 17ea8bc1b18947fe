#pragma once

#include <string>
#include <vector>

#include "platform/browser_trust.h"

namespace vemo {
class SigningService;
}

namespace vemo::app {

// At the program's start, once the window's initialisation has run: the browsers' trust in the
// local CA is kept (platform::KeepLocalCaTrusted), with what was done in the window log and
// the event log. Nothing on a start where all is as recorded. UI thread.
void KeepBrowserTrust(SigningService& service);

// The window log lines for what the start did to the browsers' trust; none when nothing was
// done.
std::vector<std::u16string> TrustWindowLines(const platform::StartTrust& start);

}  // namespace vemo::app
