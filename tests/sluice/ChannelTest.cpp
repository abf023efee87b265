// A channel's life and the conversion of plug-in failures into onError calls.
#include <gmock/gmock.h>

#include "Helpers.h"

using ::testing::ElementsAre;
using namespace sluicetest;

namespace {

using Channel = ScriptedChannel;

TEST_F(Channel, LifeCallsThePlugInsInOrderOnTheCallersThread) {
  make();
  openWriter();
  Block block(4, 2);
  write(block.record);
  channel->close();
  channel->term();
  EXPECT_THAT(scripted::calls(), ::testing::IsSupersetOf({"device.write"}));
  std::vector<std::string> callerThread;
  for (auto const& c : scripted::callLog()) {
    if (c.op == "device.write") {
      EXPECT_NE(c.thread, std::this_thread::get_id());
    } else {
      EXPECT_EQ(c.thread, std::this_thread::get_id()) << c.op;
      callerThread.push_back(c.op);
    }
  }
  EXPECT_THAT(callerThread,
              ElementsAre("converter.create", "device.create", "device.init", "filter.create",
                          "filter.add", "filter.open", "device.open", "filter.process",
                          "converter.convert", "filter.close", "device.close", "device.term"));
  EXPECT_TRUE(handler.errors.empty());
}

TEST_F(Channel, InitResultHoldsHeapValuesTheCallerDeletes) {
  scripted::setInitResult({{"DataType", std::u16string(u"double")}, {"Nothing", boost::any()}});
  make();
  sluice::PropertyMap none, result;
  channel->init(none, result);
  ASSERT_EQ(result.size(), 2u);
  EXPECT_EQ(result.at("Nothing"), nullptr);
  auto* type = static_cast<boost::any*>(result.at("DataType"));
  EXPECT_EQ(boost::any_cast<std::u16string>(*type), u"double");
  delete type;
}

TEST_F(Channel, OpenHandsTheVeryMapToEveryFilterAndTheDevice) {
  make();
  sluice::PropertyMap none, result;
  channel->init(none, result);
  out()->addFilter(scripted::FILTER, none);
  out()->addFilter(scripted::FILTER, none);
  boost::any rate = 44100.0, name = std::u16string(u"int16"), lossy = true;
  sluice::PropertyMap options{
      {"SampleRate", &rate}, {"FileDataType", &name}, {"Lossy", &lossy}, {"Absent", nullptr}};
  channel->open(options);
  EXPECT_TRUE(channel->isOpen());
  auto maps = scripted::maps();
  ASSERT_EQ(maps.size(), 6u);  // init, two adds, two filter opens, device open
  for (std::size_t i = 3; i < 6; ++i) {
    auto const& m = maps[i].map;
    EXPECT_EQ(maps[i].op, i < 5 ? "filter.open" : "device.open");
    EXPECT_EQ(m.at("SampleRate").raw, &rate);
    EXPECT_EQ(scripted::typeName(m.at("SampleRate")), "double");
    EXPECT_EQ(boost::any_cast<double>(m.at("SampleRate").value), 44100.0);
    EXPECT_EQ(boost::any_cast<std::u16string>(m.at("FileDataType").value), u"int16");
    EXPECT_TRUE(boost::any_cast<bool>(m.at("Lossy").value));
    EXPECT_TRUE(m.at("Absent").isNull());
  }
}

TEST_F(Channel, ReopenAfterCloseAndInitAgain) {
  make();
  openWriter();
  channel->close();
  EXPECT_FALSE(channel->isOpen());
  channel->close();  // closing a closed channel does nothing
  channel->open({});
  EXPECT_TRUE(scripted::lastMap("device.open").empty());
  EXPECT_EQ(scripted::count("filter.open"), 2);
  // init again closes first and forgets the filters: the host adds them again.
  sluice::PropertyMap none, result;
  channel->init(none, result);
  EXPECT_FALSE(channel->isOpen());
  channel->open(none);
  EXPECT_EQ(scripted::count("filter.open"), 2);
  EXPECT_THAT(scripted::calls("device."),
              ElementsAre("device.create", "device.init", "device.open", "device.close",
                          "device.open", "device.close", "device.init", "device.open"));
}

TEST_F(Channel, CallsOutOfOrderAreReportedOnce) {
  make();
  Block block(1, 1);
  sluice::PropertyMap none, result;
  EXPECT_EQ(out()->getSpaceAvailable(), 1u);  // so that a polling writer calls write
  EXPECT_THROW(write(block.record), Reported);
  EXPECT_THROW(channel->open(none), Reported);
  EXPECT_THROW(out()->addFilter(scripted::FILTER, none), Reported);
  std::vector<void*> got;
  unsigned long n = 7;
  EXPECT_THROW(channel->getInputStream()->read(0, got, n), Reported);
  EXPECT_EQ(n, 0u);
  channel->init(none, result);
  channel->open(none);
  EXPECT_THROW(channel->open(none), Reported);
  EXPECT_THROW(out()->addFilter(scripted::FILTER, none), Reported);
  EXPECT_THAT(
      handler.errors,
      ElementsAre("sluice write before open:Unexpected", "sluice open before init:Unexpected",
                  "sluice filter added before init:Unexpected",
                  "sluice read before open:Unexpected", "sluice open while open:Unexpected",
                  "sluice filter added while open:Unexpected"));
}

// Each plug-in operation that fails reaches onError once, with its text, and
// the handler's exception leaves the channel call.
class FailingOperation : public ScriptedChannel, public ::testing::WithParamInterface<char const*> {
 protected:
  // Runs the channel calls up to and including the one that makes `op`.
  void drive() {
    std::string op = GetParam();
    sluice::PropertyMap none, result;
    channel->init(none, result);
    out()->addFilter(scripted::FILTER, none);
    channel->open(none);
    Block block(2, 1);
    write(block.record);
    std::vector<void*> got;
    unsigned long n = 0;
    channel->getInputStream()->read(0, got, n);
    channel->getInputStream()->flush();
    channel->close();
    channel->term();
  }
};

TEST_P(FailingOperation, ReachesOnErrorOnceWithItsText) {
  make();
  scripted::fail(GetParam(), "scripted:FileCorrupt");
  EXPECT_THROW(drive(), Reported);
  EXPECT_THAT(handler.errors, ElementsAre("scripted:FileCorrupt"));
}

TEST_P(FailingOperation, NonStandardThrowBecomesThePlugInsUnexpected) {
  make();
  scripted::fail(GetParam(), scripted::Fault{scripted::Throw::NonStandard});
  handler.rethrow = false;
  std::string op = GetParam();
  std::string plugin = op.rfind("filter", 0) == 0      ? scripted::FILTER
                       : op.rfind("converter", 0) == 0 ? scripted::CONVERTER
                                                       : scripted::DEVICE;
  try {
    drive();
    ADD_FAILURE() << "no failure";
  } catch (sluice::Exception const& e) {
    EXPECT_EQ(std::string(e.what()), plugin + ":Unexpected");
  }
  EXPECT_THAT(handler.errors, ElementsAre(plugin + ":Unexpected"));
}

TEST_P(FailingOperation, OutOfMemoryPassesUnchangedWithoutOnError) {
  make();
  scripted::fail(GetParam(), scripted::Fault{scripted::Throw::BadAlloc});
  EXPECT_THROW(drive(), std::bad_alloc);
  EXPECT_TRUE(handler.errors.empty());
}

INSTANTIATE_TEST_SUITE_P(Channel, FailingOperation,
                         ::testing::Values("device.init", "filter.add", "filter.open",
                                           "device.open", "filter.process", "converter.convert",
                                           "device.read", "device.flush", "filter.close",
                                           "device.close", "device.term"));

TEST_F(Channel, OnErrorThatReturnsMakesTheCallThrowTheServiceException) {
  make();
  handler.rethrow = false;
  scripted::fail("device.open", "audiofilewriter:UnsupportedSampleRate");
  try {
    openWriter();
    ADD_FAILURE() << "open succeeded";
  } catch (sluice::Exception const& e) {
    EXPECT_STREQ(e.what(), "audiofilewriter:UnsupportedSampleRate");
  }
  EXPECT_EQ(handler.errors.size(), 1u);
  EXPECT_FALSE(channel->isOpen());
}

TEST_F(Channel, CreationFailuresThrowTheServiceExceptionWithoutOnError) {
  scripted::fail("converter.create", scripted::Fault{scripted::Throw::Text, "scripted:Nope", 0, 1});
  EXPECT_THROW(make(), sluice::Exception);
  make();  // the second attempt
  EXPECT_EQ(scripted::loadAttempts(scripted::CONVERTER), 2);
  EXPECT_EQ(scripted::count("converter.create"), 2);

  scripted::fail("device.create", "scripted:Nope");
  EXPECT_THROW(sluice::Channel(scripted::DEVICE, *converter, handler, 0, 0), sluice::Exception);
  scripted::fail("filter.create", "scripted:Nope");
  sluice::PropertyMap none, result;
  channel->init(none, result);
  EXPECT_THROW(out()->addFilter(scripted::FILTER, {}), sluice::Exception);
  EXPECT_TRUE(handler.errors.empty());
}

TEST_F(Channel, FilterThatRefusesItsOptionsIsNotAdded) {
  make();
  sluice::PropertyMap none, result;
  channel->init(none, result);
  scripted::fail("filter.add", scripted::Fault{scripted::Throw::Text, "scripted:Bad", 0, 1});
  EXPECT_THROW(out()->addFilter(scripted::FILTER, none), Reported);
  out()->addFilter(scripted::FILTER, none);
  channel->open(none);
  EXPECT_EQ(scripted::count("filter.open"), 1);
}

TEST_F(Channel, DestructionTerminatesAChannelNotTerminated) {
  make();
  sluice::PropertyMap none, result;
  channel->init(none, result);
  channel.reset();
  EXPECT_THAT(scripted::calls("device."),
              ElementsAre("device.create", "device.init", "device.term"));
  make();
  channel->term();
  channel->term();
  channel.reset();
  EXPECT_EQ(scripted::count("device.term"), 2);  // once per channel
}

}  // namespace
