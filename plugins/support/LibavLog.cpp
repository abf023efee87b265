#include "LibavLog.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <cstdarg>
#include <cstring>
#include <mutex>

namespace sluice {
namespace support {

namespace {

// Plain characters, so that nothing needs destroying when a thread ends.
thread_local char lastError[512];

void route(void* context, int level, char const* format, va_list args) {
  if (level > AV_LOG_ERROR) return;
  int printPrefix = 0;  // no "[codec @ address]" prefix
  char line[sizeof lastError];
  av_log_format_line2(context, level, format, args, line, sizeof line, &printPrefix);
  std::size_t n = std::strlen(line);
  while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == ' ')) line[--n] = '\0';
  if (n > 0) std::memcpy(lastError, line, n + 1);
}

bool installed = false;

// When the last plug-in using this library is unloaded, FFmpeg (still loaded
// for the host) must not call into unmapped code.
struct Restore {
  ~Restore() {
    if (installed) av_log_set_callback(av_log_default_callback);
  }
} restore;

}  // namespace

void routeLibavLogs() {
  static std::once_flag once;
  std::call_once(once, [] {
    av_log_set_callback(route);
    installed = true;
  });
}

std::string takeLibavError() {
  std::string text(lastError);
  lastError[0] = '\0';
  return text;
}

std::string libavFailure(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, text, sizeof text);
  std::string logged = takeLibavError();
  return logged.empty() ? std::string(text) : std::string(text) + " (" + logged + ")";
}

}  // namespace support
}  // namespace sluice
