// FFmpeg's log (and that of the codecs it wraps, x264 among them) routed away
// from the host's terminal: messages below error level are dropped, and the last
// error message of a thread is kept for the failure text the plug-in raises.
#pragma once

#include <string>

#include "SupportExport.h"

namespace sluice {
namespace support {

// Installs the routing once per process; call before the first FFmpeg call.
SLUICE_SUPPORT_API void routeLibavLogs();

// The text of an FFmpeg error code, followed by the last error FFmpeg logged on
// this thread since the previous call, if any.
SLUICE_SUPPORT_API std::string libavFailure(int code);

// The last error FFmpeg logged on this thread since the previous call; empty
// when none. Taking it clears it.
SLUICE_SUPPORT_API std::string takeLibavError();

}  // namespace support
}  // namespace sluice
