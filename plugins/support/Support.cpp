#include "Extension.h"
#include "Failure.h"
#include "Locks.h"
#include "Properties.h"
#include "ostra/i18n.h"
#include "sluice/plugin.h"

namespace sluice {
namespace support {

bool textOf(PropertyMap const& map, char const* key, std::string& utf8) {
  auto value = valueOf<std::u16string>(map, key);
  if (!value) return false;
  utf8 = ostra::i18n::to_utf8(*value);
  return true;
}

bool numberOf(PropertyMap const& map, char const* key, double& value) {
  auto held = valueOf<double>(map, key);
  if (!held) return false;
  value = *held;
  return true;
}

void put(PropertyMap& result, char const* key, boost::any value) {
  void*& slot = result[key];
  delete static_cast<boost::any*>(slot);
  slot = nullptr;
  slot = new boost::any(std::move(value));
}

void fail(std::string const& where, char const* identifier, std::string const& detail) {
  throw sdk::Failure(detail.empty() ? where : where + ": " + detail, identifier);
}

std::string lowerExtension(std::string const& path) {
  std::string::size_type const slash = path.find_last_of("/\\");
  std::string::size_type const dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = path.substr(dot + 1);
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return ext;
}

std::mutex& sndfileOpenLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace support
}  // namespace sluice
