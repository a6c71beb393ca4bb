#pragma once

#include "platform/clipboard.h"

#include <chrono>
#include <optional>

// Reads every format of the X11 CLIPBOARD selection over a connection of its own, so it
// may run on any thread. Nothing when there is no owner to ask or the owner does not say
// which formats it has within `timeout`; a format the owner does not deliver in time is
// left out. Formats carry the names Qt uses, so that QClipboard can put them back.
std::optional<ClipboardSnapshot> readX11Clipboard(std::chrono::milliseconds timeout);
