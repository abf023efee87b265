#include "Common.h"

#include <cerrno>

namespace sluice {
namespace audiofile {

char const* openErrorIdentifier(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
    case ENOENT:
    case ENOTDIR:
    case EISDIR:
      return "FilePermissionDenied";
    default:
      return "Unexpected";
  }
}

}  // namespace audiofile
}  // namespace sluice
