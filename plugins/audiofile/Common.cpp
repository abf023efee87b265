#include "Common.h"

#include <boost/any.hpp>

#include "ostra/i18n.h"

namespace sluice {
namespace audiofile {

void fail(char const* where, char const* identifier, std::string const& detail) {
  std::string text = where;
  if (!detail.empty()) text += ": " + detail;
  throw sdk::Failure(text, identifier);
}

bool textOf(PropertyMap const& map, char const* key, std::string& utf8) {
  auto it = map.find(key);
  if (it == map.end() || !it->second) return false;
  auto const* value = boost::any_cast<std::u16string>(static_cast<boost::any const*>(it->second));
  if (!value) return false;
  utf8 = ostra::i18n::to_utf8(*value);
  return true;
}

bool numberOf(PropertyMap const& map, char const* key, double& value) {
  auto it = map.find(key);
  if (it == map.end() || !it->second) return false;
  auto const* held = boost::any_cast<double>(static_cast<boost::any const*>(it->second));
  if (!held) return false;
  value = *held;
  return true;
}

std::string lowerExtension(std::string const& path) {
  std::string::size_type slash = path.find_last_of('/');
  std::string::size_type dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = path.substr(dot + 1);
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return ext;
}

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
