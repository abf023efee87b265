#include "Detail.h"

namespace sluice {

Converter::Converter(std::string const& name) : impl_(std::make_unique<detail::ConverterImpl>()) {
  detail::Plugin plugin = detail::loadPlugin(name, sdk::Kind::Converter);
  impl_->converter = detail::create<sdk::Converter>(
      plugin, name, [&] { return plugin.descriptor->createConverter(); });
}

Converter::~Converter() = default;

}  // namespace sluice
