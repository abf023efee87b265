// A channel on the scripted plug-ins: its life, the records it queues, writes and
// reads, and the conversion of plug-in failures into onError calls.
#include <gmock/gmock.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <thread>

#include "scripted/Scripted.h"
#include "sluice/plugin.h"
#include "support/Failures.h"

namespace {

using hostlib::multimedia::AUDIO_INT16;
using scripted::Throw;
using Texts = std::vector<std::string>;

// The bytes of three stereo int16 frames counting up from `first`.
std::vector<unsigned char> block(int first) {
  std::vector<std::int16_t> s(6);
  std::iota(s.begin(), s.end(), std::int16_t(first));
  auto const* p = reinterpret_cast<unsigned char const*>(s.data());
  return {p, p + 12};
}

// Channels on the scripted device, with the test as their event handler: it keeps
// what onError receives, which must come on the test's thread, and returns, so
// that the channel call throws sluice::Exception with the same text.
class Channel : public ::testing::Test, public sluice::Channel::IEventHandler {
 protected:
  void SetUp() override {
    scripted::reset();
    converter = std::make_unique<sluice::Converter>(scripted::CONVERTER);
    channel = std::make_unique<sluice::Channel>(scripted::DEVICE, *converter, *this, 0, 2);
  }
  void TearDown() override { scripted::releaseWrites(); }
  void onError(sluice::Error* error) override {
    EXPECT_EQ(std::this_thread::get_id(), caller) << error->getMessage();
    errors.push_back(error->getMessage());
    error->dispose();
  }
  void onNotice1(sluice::Event* event) override { delete event; }
  void onNotice2(sluice::Event* event) override { delete event; }
  void onNotice3(unsigned long, unsigned long) override {}
  void onNotice4(char const*) override {}

  void openWriter(bool withFilter = false) {
    channel->init(options, result);
    if (withFilter) out()->addFilter(scripted::FILTER, options);
    channel->open(options);
  }
  sluice::OutputStream* out() { return channel->getOutputStream(); }
  // Writes block(first) from a buffer that is gone when write returns.
  void write(int first = 0) {
    auto bytes = block(first);
    sluice::Record r = sluice::makeSampleRecord(bytes.data(), 3, 2, AUDIO_INT16);
    out()->write({&r});
  }
  std::string read(unsigned long count = 0) {
    std::vector<void*> got;
    unsigned long n = 7;
    channel->getInputStream()->read(count, got, n);
    for (void* p : got) sluice::releaseDeliveredRecord(p);
    return std::to_string(got.size()) + " records of " + std::to_string(n) + " frames";
  }

  Texts errors;
  std::thread::id const caller = std::this_thread::get_id();
  sluice::PropertyMap options, result;
  std::unique_ptr<sluice::Converter> converter;  // outlives the channel
  std::unique_ptr<sluice::Channel> channel;
};

TEST_F(Channel, CallsOutOfOrderFailAndInitAgainDropsTheFiltersWhileAnEmptyMapReopens) {
  EXPECT_THROW(write(), sluice::Exception);
  EXPECT_THROW(channel->open(options), sluice::Exception);
  EXPECT_THROW(read(), sluice::Exception);
  openWriter(true);
  EXPECT_THROW(channel->open(options), sluice::Exception);
  EXPECT_THROW(out()->addFilter(scripted::FILTER, options), sluice::Exception);
  channel->close();
  channel->close();  // does nothing
  channel->open({});
  channel->init(options, result);  // closes first; the host adds its filters again
  EXPECT_THROW(out()->addFilter("/no/such/filter", options), sluice::Exception);  // no onError
  channel->open(options);
  sluice::Record nowhere = sluice::makeSampleRecord(nullptr, 4, 2, AUDIO_INT16);
  EXPECT_THROW(out()->write({&nowhere}), sluice::Exception);  // no known layout, no filter
  write();
  channel.reset();  // closes and terminates
  EXPECT_EQ(errors,
            Texts({"sluice write before open:Unexpected", "sluice open before init:Unexpected",
                   "sluice read before open:Unexpected", "sluice open while open:Unexpected",
                   "sluice filter added while open:Unexpected", "sluice:Unexpected"}));
  EXPECT_EQ(scripted::calls("filter."), Texts({"filter.create", "filter.add", "filter.open",
                                               "filter.close", "filter.open", "filter.close"}));
}

// A failing operation's text reaches onError once (an int thrown becomes
// "<plug-in>:Unexpected") and the call throws it; std::bad_alloc passes as such.
class Failing : public Channel,
                public ::testing::WithParamInterface<std::tuple<char const*, int>> {};

TEST_P(Failing, OperationReachesOnErrorOnceOrPassesOutOfMemory) {
  std::string const op = std::get<0>(GetParam());
  auto const what = Throw(std::get<1>(GetParam()));
  std::string const plugin = "scripted-" + op.substr(0, op.find('.'));
  std::string const text = what == Throw::Text ? "scripted:Nope" : plugin + ":Unexpected";
  scripted::fail(op, {what, "scripted:Nope"});
  std::string const thrown = testsupport::refusalOf([&] {
    openWriter(true);
    write();
    read();
    channel->getInputStream()->flush();
    channel->close();
    channel->term();
  });
  bool const oom = what == Throw::BadAlloc;
  EXPECT_EQ(thrown, oom ? "std::bad_alloc" : text);
  EXPECT_EQ(errors, oom ? Texts{} : Texts{text});
}

char const* const kOps[] = {"device.init",    "filter.add",        "filter.open", "device.open",
                            "filter.process", "converter.convert", "device.read", "device.flush",
                            "filter.close",   "device.close",      "device.term"};
// Each operation with each kind of Throw (Text, BadAlloc, NonStandard), named
// "device_init_Text", "filter_open_BadAlloc", ...
std::string nameOf(::testing::TestParamInfo<std::tuple<char const*, int>> const& info) {
  std::string name = std::get<0>(info.param);
  name[name.find('.')] = '_';
  return name + Texts({"_Text", "_BadAlloc", "_Int"})[std::get<1>(info.param)];
}
INSTANTIATE_TEST_SUITE_P(EveryOperation, Failing,
                         ::testing::Combine(::testing::ValuesIn(kOps), ::testing::Range(0, 3)),
                         nameOf);

// Close and destruction hand every record a write accepted to the device, in
// order, before they close it; the caller's samples may go once write returns.
// After a write fails, the records queued behind it are dropped, never written;
// a host polling the device gets room, and the failure is reported once: on the
// next write, or at close.
enum End { Close, Destroy, FailThenWrite, FailThenClose };
class Queue : public Channel, public ::testing::WithParamInterface<End> {};

TEST_P(Queue, WritesEveryAcceptedRecordUnlessOneFails) {
  End const end = GetParam();
  bool const fails = end >= FailThenWrite;
  openWriter();
  if (fails) scripted::fail("device.write", {Throw::Text, "scripted:WavSizeLimit", 1, 1});
  scripted::holdWrites();
  write(0);  // at the device, held
  scripted::waitForWrites(1);
  write(7);   // fails, if any does
  write(14);  // queued behind it: the queue of 2 is full
  scripted::reportNoSpace(1 << 30);
  EXPECT_EQ(out()->getSpaceAvailable(), 0u);
  std::thread release([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // for close to begin
    scripted::releaseWrites();
  });
  while (fails && out()->getSpaceAvailable() == 0) std::this_thread::yield();
  char const* const failure = "scripted:WavSizeLimit";
  EXPECT_EQ(testsupport::refusalOf([&] { end == FailThenWrite ? write() : void(); }),
            end == FailThenWrite ? failure : "no failure");
  EXPECT_EQ(testsupport::refusalOf([&] { end == Destroy ? channel.reset() : channel->close(); }),
            end == FailThenClose ? failure : "no failure");
  release.join();
  EXPECT_EQ(errors, Texts(fails, failure));
  auto const written = scripted::writtenRecords();
  ASSERT_EQ(written.size(), fails ? 1u : 3u);
  for (std::size_t i = 0; i < written.size(); ++i) EXPECT_EQ(written[i].bytes, block(7 * i));
  Texts const device = scripted::calls("device.");
  EXPECT_EQ(device.back(), end == Destroy ? "device.term" : "device.close");
  EXPECT_EQ(device[device.size() - 2 - (end == Destroy)], "device.write");
}

INSTANTIATE_TEST_SUITE_P(Ends, Queue,
                         ::testing::Values(Close, Destroy, FailThenWrite, FailThenClose));

// Small records go to the worker in batches: here a full batch queued and a
// part batch gathered while the device is busy with the first record. Each
// record reaches the device in order: at close, and, when the host stops
// writing, without another call. A failure drops every record behind it, in
// its own batch or a later one, and reaches the next write.
enum BatchEnd { CloseAtOnce, StopWriting, FailWithin, FailFirst };
class Batches : public Channel, public ::testing::WithParamInterface<BatchEnd> {};

TEST_P(Batches, ReachTheDeviceInOrderUnlessOneFails) {
  BatchEnd const end = GetParam();
  bool const fails = end >= FailWithin;
  int const records = 300, failing = end == FailFirst ? 0 : 10;
  openWriter();
  if (fails) scripted::fail("device.write", {Throw::Text, "scripted:WavSizeLimit", failing, 1});
  scripted::holdWrites();
  write(0);
  scripted::waitForWrites(1);
  for (int i = 1; i < records; ++i) write(7 * i);  // gathered behind the busy device
  if (fails) scripted::reportNoSpace(1 << 30);     // no room until the failure is pending
  std::thread release([end] {
    if (end == CloseAtOnce) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    scripted::releaseWrites();
  });
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  auto const waitUntil = [&](auto const& done) {
    while (!done() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  if (end == StopWriting) waitUntil([&] { return scripted::count("device.write") >= records; });
  if (fails) waitUntil([&] { return out()->getSpaceAvailable() != 0; });
  if (end != CloseAtOnce) {
    EXPECT_EQ(scripted::count("device.write"), fails ? failing + 1 : records);
  }
  char const* const failure = "scripted:WavSizeLimit";
  EXPECT_EQ(testsupport::refusalOf([&] { fails ? write() : void(); }),
            fails ? failure : "no failure");
  EXPECT_EQ(testsupport::refusalOf([&] { channel->close(); }), "no failure");
  release.join();
  EXPECT_EQ(errors, Texts(fails, failure));
  auto const written = scripted::writtenRecords();
  ASSERT_EQ(written.size(), std::size_t(fails ? failing : records));
  for (std::size_t i = 0; i < written.size(); ++i) EXPECT_EQ(written[i].bytes, block(7 * i));
}

INSTANTIATE_TEST_SUITE_P(Ends, Batches,
                         ::testing::Values(CloseAtOnce, StopWriting, FailWithin, FailFirst));

// Behind a busy device, the records queued and those gathered into a batch
// hold no more than the device's byte cap (what a killed host may lose), and
// fill it: five records here, so the sixth write waits until the device moves.
TEST_F(Channel, RecordsBehindABusyDeviceFillItsByteCapAndNoMore) {
  channel = std::make_unique<sluice::Channel>(scripted::DEVICE, *converter, *this, 0, 0);
  int const fit = 5, records = 20;
  scripted::setQueueBytes(fit * block(0).size());
  openWriter();
  scripted::holdWrites();
  write(0);
  scripted::waitForWrites(1);
  std::atomic<int> returned{0};
  std::thread host([&] {
    for (int i = 1; i < records; ++i, ++returned) write(7 * i);
  });
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (returned < fit && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // time for one more to return
  EXPECT_EQ(returned.load(), fit);
  scripted::releaseWrites();
  host.join();
  EXPECT_EQ(testsupport::refusalOf([&] { channel->close(); }), "no failure");
  auto const written = scripted::writtenRecords();
  ASSERT_EQ(written.size(), std::size_t(records));
  for (std::size_t i = 0; i < written.size(); ++i) EXPECT_EQ(written[i].bytes, block(7 * i));
}

// A device whose reads deliver a record of 2 frames, the end, then a record and
// a failure: the sanitizer build finds the record should the service not free it.
struct Reader : sluice::sdk::Device {
  static sluice::sdk::Device* make() { return new Reader; }
  void init(sluice::PropertyMap const&, sluice::PropertyMap&) override {}
  void open(sluice::PropertyMap const&) override {}
  void close() override {}
  void read(unsigned long count, std::vector<void*>& out, unsigned long& frames) override {
    if (count == 0) return;
    out.push_back(
        new sluice::Record(sluice::makeSampleRecord(new unsigned char[4], 2, 1, AUDIO_INT16)));
    frames = 2;
    if (count == 2) throw std::runtime_error("reader:ReadFailed");
    if (count == 3) throw std::bad_alloc();
  }
};

TEST_F(Channel, ReadEndsWithNoRecordAndCountZeroAndFreesTheRecordsOfAFailedRead) {
  using namespace sluice::sdk;
  static PluginDescriptor const reader{SDK_VERSION, Kind::Device, "reader", &Reader::make, {}, {}};
  sluice::registerPlugin("reader", &reader);
  channel = std::make_unique<sluice::Channel>("reader", *converter, *this, 0, 0);
  openWriter();
  EXPECT_EQ(read(1), "1 records of 2 frames");
  EXPECT_EQ(read(0), "0 records of 0 frames");
  EXPECT_THROW(read(2), sluice::Exception);
  EXPECT_THROW(read(3), std::bad_alloc);
  EXPECT_EQ(errors, Texts{"reader:ReadFailed"});
}

}  // namespace
