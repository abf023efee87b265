// Locks around codec libraries' process-wide state, one object each in the
// process, whichever plug-ins use them.
#pragma once

#include <mutex>

#include "SupportExport.h"

namespace sluice {
namespace support {

// libsndfile keeps the error of a failed open in one process-wide value that
// sf_error(nullptr) reads: hold this from the open until that error is read.
SLUICE_SUPPORT_API std::mutex& sndfileOpenLock();

}  // namespace support
}  // namespace sluice
