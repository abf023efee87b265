// Shared pieces of the service's tests: a recording event handler and a fixture
// that builds a channel on the scripted plug-ins.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "scripted/Scripted.h"
#include "sluice/sluice.h"

namespace sluicetest {

// What the handler throws from onError.
struct Reported : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Handler : public sluice::Channel::IEventHandler {
 public:
  std::vector<std::string> errors;
  bool rethrow = true;  // false: onError returns

  void onError(sluice::Error* error) override {
    std::string text = error->getMessage();
    error->dispose();
    errors.push_back(text);
    if (rethrow) throw Reported(text);
  }
  void onNotice1(sluice::Event* event) override { delete event; }
  void onNotice2(sluice::Event* event) override { delete event; }
  void onNotice3(unsigned long, unsigned long) override {}
  void onNotice4(char const*) override {}
};

// A block of int16 samples and the sample record over it.
struct Block {
  std::vector<std::int16_t> samples;
  sluice::Record record;
  Block(unsigned long frames, unsigned long channels, std::int16_t first = 0)
      : samples(frames * channels) {
    for (std::size_t i = 0; i < samples.size(); ++i)
      samples[i] = static_cast<std::int16_t>(first + i);
    record = sluice::makeSampleRecord(reinterpret_cast<unsigned char*>(samples.data()), frames,
                                      channels, hostlib::multimedia::AUDIO_INT16);
  }
  std::vector<unsigned char> bytes() const {
    auto p = reinterpret_cast<unsigned char const*>(samples.data());
    return std::vector<unsigned char>(p, p + samples.size() * sizeof(std::int16_t));
  }
};

class ScriptedChannel : public ::testing::Test {
 protected:
  void SetUp() override { scripted::reset(); }
  void TearDown() override { scripted::releaseWrites(); }

  void make(unsigned long queueLimit = 0, std::string const& converterName = scripted::CONVERTER) {
    converter = std::make_unique<sluice::Converter>(converterName);
    channel =
        std::make_unique<sluice::Channel>(scripted::DEVICE, *converter, handler, 0, queueLimit);
  }
  // init, the scripted filter when asked, open; all with empty maps.
  void openWriter(bool withFilter = true) {
    sluice::PropertyMap none, result;
    channel->init(none, result);
    if (withFilter) out()->addFilter(scripted::FILTER, none);
    channel->open(none);
  }
  sluice::OutputStream* out() { return channel->getOutputStream(); }
  void write(sluice::Record& record) {
    std::vector<void*> buffers{&record};
    out()->write(buffers);
  }

  Handler handler;
  std::unique_ptr<sluice::Converter> converter;  // outlives the channel
  std::unique_ptr<sluice::Channel> channel;
};

}  // namespace sluicetest
