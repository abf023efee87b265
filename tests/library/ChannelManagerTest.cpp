// The channel manager against the scripted plug-ins: the second attempt under the
// name's last element, ownership of the handler, and teardown order.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "channel/ChannelManager.h"
#include "channel/EventHandler.h"
#include "hostlib/multimedia/datatypes.h"
#include "hostlib/multimedia/exceptions.h"
#include "scripted/Scripted.h"

namespace hm = hostlib::multimedia;
using ::testing::ElementsAre;

namespace {

class CountedHandler : public hm::AudioEventHandler {
 public:
  static int destroyed;
  ~CountedHandler() override { ++destroyed; }
};
int CountedHandler::destroyed = 0;

class ChannelManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scripted::reset();
    CountedHandler::destroyed = 0;
  }

  // The device calls as the channel made them, without the worker's writes.
  static std::vector<std::string> deviceCalls() { return scripted::calls("device."); }

  static void expectCreationFailure(char const* converter, char const* channel,
                                    std::type_info const& type, char const* name,
                                    char const* message) {
    try {
      hm::ChannelManager manager(converter, channel, 0, 0, new CountedHandler());
      FAIL() << "constructed";
    } catch (hm::Exception const& e) {
      EXPECT_EQ(type, typeid(e));
      EXPECT_STREQ(name, e.name());
      EXPECT_STREQ(message, e.what());
    }
    EXPECT_EQ(1, CountedHandler::destroyed);
  }
};

TEST_F(ChannelManagerTest, LoadsConverterThenChannelUnderTheNamesGiven) {
  hm::EventHandler* handler = new CountedHandler();
  {
    hm::ChannelManager manager(scripted::CONVERTER, scripted::DEVICE, 0, 0, handler);
    EXPECT_NE(nullptr, manager.getChannel());
    EXPECT_EQ(handler, manager.getEventHandler());
    EXPECT_EQ(std::vector<std::string>({scripted::CONVERTER, scripted::DEVICE}),
              scripted::loadAttempts());
  }
  EXPECT_EQ(1, CountedHandler::destroyed);
}

TEST_F(ChannelManagerTest, ConverterUnderAStaleDirectoryLoadsUnderItsLastElement) {
  std::string stale = std::string("/no/such/dir/") + scripted::CONVERTER;
  hm::ChannelManager manager(stale.c_str(), scripted::DEVICE, 0, 0, new CountedHandler());
  EXPECT_EQ(std::vector<std::string>({stale, scripted::CONVERTER, scripted::DEVICE}),
            scripted::loadAttempts());
}

TEST_F(ChannelManagerTest, ChannelUnderAStaleDirectoryLoadsUnderItsLastElement) {
  std::string stale = std::string("/no/such/dir/") + scripted::DEVICE;
  hm::ChannelManager manager(scripted::CONVERTER, stale.c_str(), 0, 0, new CountedHandler());
  EXPECT_EQ(std::vector<std::string>({scripted::CONVERTER, stale, scripted::DEVICE}),
            scripted::loadAttempts());
  EXPECT_EQ(1, scripted::count("device.create"));
}

TEST_F(ChannelManagerTest, UnloadableConverterIsTriedTwiceAndNoChannelIsAttempted) {
  expectCreationFailure("no-such-converter", scripted::DEVICE,
                        typeid(hm::ConverterCreationFailedException), "ConverterCreationFailed",
                        "Unable to create the converter required to write data to the file");
  EXPECT_EQ(std::vector<std::string>({"no-such-converter", "no-such-converter"}),
            scripted::loadAttempts());
}

TEST_F(ChannelManagerTest, ConverterThatFailsToStartIsTriedTwice) {
  scripted::fail("converter.create", "scripted:Unexpected");
  expectCreationFailure(scripted::CONVERTER, scripted::DEVICE,
                        typeid(hm::ConverterCreationFailedException), "ConverterCreationFailed",
                        "Unable to create the converter required to write data to the file");
  EXPECT_EQ(2, scripted::count("converter.create"));
  EXPECT_EQ(0, scripted::loadAttempts(scripted::DEVICE));
}

TEST_F(ChannelManagerTest, UnloadableChannelIsTriedTwiceAndEverythingIsReleased) {
  std::string stale = "/no/such/dir/no-such-device";
  expectCreationFailure(scripted::CONVERTER, stale.c_str(),
                        typeid(hm::ChannelCreationFailedException), "ChannelCreationFailed",
                        "Could not create the channel to communicate with the file");
  EXPECT_EQ(std::vector<std::string>({scripted::CONVERTER, stale, "no-such-device"}),
            scripted::loadAttempts());
}

TEST_F(ChannelManagerTest, DeviceThatFailsToStartIsTriedTwice) {
  scripted::Fault fault;
  fault.what = scripted::Throw::BadAlloc;
  scripted::fail("device.create", fault);
  expectCreationFailure(scripted::CONVERTER, scripted::DEVICE,
                        typeid(hm::ChannelCreationFailedException), "ChannelCreationFailed",
                        "Could not create the channel to communicate with the file");
  EXPECT_EQ(2, scripted::count("device.create"));
}

TEST_F(ChannelManagerTest, MissingNamesAreRefusedLikeUnloadableOnes) {
  expectCreationFailure(nullptr, scripted::DEVICE, typeid(hm::ConverterCreationFailedException),
                        "ConverterCreationFailed",
                        "Unable to create the converter required to write data to the file");
  CountedHandler::destroyed = 0;
  expectCreationFailure(scripted::CONVERTER, nullptr, typeid(hm::ChannelCreationFailedException),
                        "ChannelCreationFailed",
                        "Could not create the channel to communicate with the file");
}

TEST_F(ChannelManagerTest, TeardownOfANeverOpenedChannelTerminatesWithoutClosing) {
  { hm::ChannelManager manager(scripted::CONVERTER, scripted::DEVICE, 0, 0, new CountedHandler()); }
  EXPECT_EQ(0, scripted::count("device.close"));
  EXPECT_EQ(1, scripted::count("device.term"));
  EXPECT_EQ(1, CountedHandler::destroyed);
}

TEST_F(ChannelManagerTest, TeardownOfAnOpenChannelClosesThenTerminates) {
  {
    hm::ChannelManager manager(scripted::CONVERTER, scripted::DEVICE, 0, 0, new CountedHandler());
    hm::PropertyMap options, result;
    manager.getChannel()->init(options, result);
    manager.getChannel()->open(options);
  }
  EXPECT_THAT(deviceCalls(), ElementsAre("device.create", "device.init", "device.open",
                                         "device.close", "device.term"));
  EXPECT_EQ(1, CountedHandler::destroyed);
}

TEST_F(ChannelManagerTest, FailuresOfCloseAndTermNeverLeaveTheDestructor) {
  scripted::fail("device.close", "audiofilewriter:WavSizeLimit");
  scripted::Fault fault;
  fault.what = scripted::Throw::BadAlloc;
  scripted::fail("device.term", fault);
  {
    hm::ChannelManager manager(scripted::CONVERTER, scripted::DEVICE, 0, 0, new CountedHandler());
    hm::PropertyMap options, result;
    manager.getChannel()->init(options, result);
    manager.getChannel()->open(options);
  }
  EXPECT_EQ(1, scripted::count("device.close"));
  EXPECT_GE(scripted::count("device.term"), 1);
  EXPECT_EQ(1, CountedHandler::destroyed);
}

}  // namespace
