// What the readers and the audio info class share: the input file found as
// named or as its last element, a channel manager for reading it, and the
// initialisation of its channel.
#pragma once

#include <memory>
#include <string>

#include "channel/ChannelManager.h"
#include "channel/EventHandler.h"
#include "channel/OwnedResultMap.h"

namespace hostlib {
namespace multimedia {

// The name under which the input file exists: as given, or else its last
// element (a stale directory), looked for in the working directory. Throws
// InputFileNotFoundException.
std::u16string existingInputFile(std::u16string const& fileName);

// A channel manager for reading with `handler`, which it owns from the call on;
// a failure arrives as a plain Exception copied from the manager's.
ChannelManager* newReadingChannel(char const* channelPluginName, char const* converterPluginName,
                                  EventHandler* handler);

// Channel::init with the one-entry map ("Filename") into `result`; failures
// converted as every channel call of the reader.
void initReadingChannel(ChannelManager& manager, std::u16string const& fileName,
                        OwnedResultMap& result);

}  // namespace multimedia
}  // namespace hostlib
