// Any text as a plug-in's error, through the library's event handlers: each
// becomes a library exception with an identifier and a message, never a crash.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "channel/EventHandler.h"
#include "hostlib/multimedia/exceptions.h"

namespace {

namespace hm = hostlib::multimedia;

class Text : public sluice::Error {
 public:
  explicit Text(std::string t) : text(std::move(t)) {}
  char const* getMessage() const override { return text.c_str(); }
  void dispose() override { delete this; }

 private:
  std::string text;
};

class Notice : public sluice::Event {
 public:
  explicit Notice(std::string t) : text(std::move(t)) {}
  char const* getText() const override { return text.c_str(); }

 private:
  std::string text;
};

void raise(hm::EventHandler& handler, std::string const& text) {
  try {
    handler.onError(new Text(text));
  } catch (hm::Exception const& e) {
    if (!*e.name() || !*e.what()) std::abort();
    return;
  }
  std::abort();  // an error that raised nothing would read as success
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  std::string text(reinterpret_cast<char const*>(data), size);
  std::string cstring(text.c_str());  // what a plug-in's char* can carry
  hm::AudioEventHandler audio;
  hm::VideoEventHandler video;
  raise(audio, cstring);
  raise(video, cstring);
  for (hm::EventHandler* h :
       {static_cast<hm::EventHandler*>(&audio), static_cast<hm::EventHandler*>(&video)}) {
    h->onNotice1(new Notice(cstring));
    h->onNotice2(new Notice(cstring));
    h->onNotice1(nullptr);
    h->onNotice3(size, size * 31);
    h->onNotice4(cstring.c_str());
  }
  return 0;
}
