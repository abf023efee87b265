// Moving records: queue, worker, failures of the worker, reading.
#include <gmock/gmock.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "Helpers.h"

using ::testing::ElementsAre;
using namespace sluicetest;

namespace {

using Stream = ScriptedChannel;
using hostlib::multimedia::AUDIO_INT16;

// Writes until a write throws (the worker's failure becomes known at some point
// after the failing record); returns how many writes were accepted.
template <class Write>
int writeUntilReported(Write write) {
  for (int accepted = 0; accepted < 1000000; ++accepted) {
    try {
      write();
    } catch (Reported const&) {
      return accepted;
    }
    std::this_thread::yield();
  }
  ADD_FAILURE() << "the worker's failure was never reported";
  return -1;
}

TEST_F(Stream, WorkerFailureSurfacesOnceOnTheNextWriteAndLaterRecordsAreDropped) {
  make();
  openWriter();
  scripted::fail("device.write",
                 scripted::Fault{scripted::Throw::Text, "scripted:WavSizeLimit", 1, 1});
  Block block(8, 2);
  write(block.record);  // written
  write(block.record);  // fails on the worker
  writeUntilReported([&] { write(block.record); });
  EXPECT_THAT(handler.errors, ElementsAre("scripted:WavSizeLimit"));
  EXPECT_EQ(scripted::writtenRecords().size(), 1u);
  EXPECT_EQ(scripted::count("device.write"), 2);  // nothing after the failed record
  // The stream stays broken until the channel is closed; close reports nothing new.
  EXPECT_THROW(write(block.record), Reported);
  handler.errors.clear();
  channel->close();
  EXPECT_TRUE(handler.errors.empty());
  EXPECT_EQ(scripted::count("device.close"), 1);
}

TEST_F(Stream, WorkerFailureSurfacesAtCloseWhichStillClosesTheDevice) {
  make();
  openWriter();
  scripted::fail("device.write", "scripted:FileCorrupt");
  scripted::fail("device.close", "scripted:Unexpected");
  Block block(8, 2);
  write(block.record);
  EXPECT_THROW(channel->close(), Reported);
  EXPECT_THAT(handler.errors, ElementsAre("scripted:FileCorrupt"));  // the first, once
  EXPECT_EQ(scripted::count("device.close"), 1);
  EXPECT_FALSE(channel->isOpen());
  // A new open starts clean.
  scripted::clearFault("device.write");
  scripted::clearFault("device.close");
  channel->open({});
  write(block.record);
  channel->close();
  EXPECT_EQ(scripted::writtenRecords().size(), 1u);
}

TEST_F(Stream, SpaceIsReportedWhileAFailureWaits) {
  make();
  openWriter();
  scripted::fail("device.write", "scripted:FileCorrupt");
  scripted::reportNoSpace(1 << 30);  // the device never has room again
  Block block(8, 2);
  write(block.record);
  // A host polling for space with no time-out wakes up.
  while (out()->getSpaceAvailable() == 0) std::this_thread::yield();
  EXPECT_THROW(write(block.record), Reported);
  EXPECT_EQ(handler.errors.size(), 1u);
}

TEST_F(Stream, DeviceBackPressureIsReportedAsNoSpace) {
  make(3);
  openWriter();
  scripted::reportNoSpace(2);
  EXPECT_EQ(out()->getSpaceAvailable(), 0u);
  EXPECT_EQ(out()->getSpaceAvailable(), 0u);
  EXPECT_EQ(out()->getSpaceAvailable(), 3u);
  EXPECT_EQ(scripted::readyPolls(), 3);
  EXPECT_EQ(channel->getInputStream()->getSpaceAvailable(), 1u);
}

TEST_F(Stream, FullQueueLosesAndReordersNothing) {
  std::vector<Block> blocks;
  blocks.reserve(300);
  for (int i = 0; i < 300; ++i) blocks.emplace_back(3, 2, static_cast<std::int16_t>(i * 7));
  for (unsigned long capacity : {1ul, 2ul, 5ul}) {
    channel.reset();
    scripted::reset();
    make(capacity);
    openWriter(false);
    scripted::holdWrites();
    std::thread release([&] {
      // Let the writer fill the queue, then let the device go.
      while (out()->getSpaceAvailable() != 0) std::this_thread::yield();
      scripted::releaseWrites();
    });
    for (auto& b : blocks) write(b.record);
    channel->close();
    release.join();
    auto written = scripted::writtenRecords();
    ASSERT_EQ(written.size(), blocks.size()) << capacity;
    for (std::size_t i = 0; i < blocks.size(); ++i)
      EXPECT_EQ(written[i].bytes, blocks[i].bytes()) << capacity << " " << i;
  }
}

TEST_F(Stream, CloseAndDestructionWaitForEveryAcceptedRecord) {
  for (bool destroy : {false, true}) {
    channel.reset();
    scripted::reset();
    make();
    openWriter();
    scripted::holdWrites();
    Block block(16, 2);
    for (int i = 0; i < 5; ++i) write(block.record);
    std::thread release([] {
      scripted::waitForWrites(1);
      scripted::releaseWrites();
    });
    if (destroy) {
      channel.reset();
    } else {
      channel->close();
    }
    release.join();
    EXPECT_EQ(scripted::writtenRecords().size(), 5u);
    auto device = scripted::calls("device.");
    ASSERT_GE(device.size(), 2u);
    EXPECT_EQ(device[device.size() - (destroy ? 2 : 1)], "device.close");
    EXPECT_EQ(scripted::count("device.write"), 5);
  }
}

TEST_F(Stream, CallersSamplesMayBeFreedWhenWriteReturns) {
  make();
  openWriter(false);
  scripted::holdWrites();
  auto samples = std::make_unique<std::int16_t[]>(6);
  for (int i = 0; i < 6; ++i) samples[i] = static_cast<std::int16_t>(100 + i);
  std::vector<unsigned char> expected(reinterpret_cast<unsigned char*>(samples.get()),
                                      reinterpret_cast<unsigned char*>(samples.get()) + 12);
  auto record = std::make_unique<sluice::Record>(
      sluice::makeSampleRecord(reinterpret_cast<unsigned char*>(samples.get()), 3, 2, AUDIO_INT16));
  write(*record);
  record.reset();
  samples.reset();  // the sanitizer build catches a later use
  scripted::releaseWrites();
  channel->close();
  auto written = scripted::writtenRecords();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0].bytes, expected);
  EXPECT_EQ(boost::any_cast<unsigned long>(written[0].entries[1]), 3u);
  EXPECT_EQ(boost::any_cast<unsigned long>(written[0].entries[2]), 2u);
  EXPECT_EQ(boost::any_cast<sluice::AudioDataType>(written[0].entries[3]), AUDIO_INT16);
}

TEST_F(Stream, FrameRecordsAreCopiedPlaneByPlaneWithoutAFilter) {
  using namespace hostlib::multimedia;
  make();
  openWriter(false);
  // YUV 4:2:2, 5 x 3 uint16: one full plane and two of 5/2 columns.
  std::vector<std::uint16_t> y(15), u(6), v(6);
  for (int i = 0; i < 15; ++i) y[i] = static_cast<std::uint16_t>(i);
  for (int i = 0; i < 6; ++i)
    u[i] = static_cast<std::uint16_t>(100 + i), v[i] = static_cast<std::uint16_t>(200 + i);
  std::vector<const unsigned char*> planes{reinterpret_cast<unsigned char*>(y.data()),
                                           reinterpret_cast<unsigned char*>(u.data()),
                                           reinterpret_cast<unsigned char*>(v.data())};
  sluice::Record frame{planes, std::size_t(5), std::size_t(3), VIDEO_UINT16, FOURCC_YUV422_PLANAR};
  write(frame);
  // A mono frame: the two unused planes are not read, and reach the device null.
  std::uint8_t mono[6] = {1, 2, 3, 4, 5, 6};
  sluice::Record gray{
      std::vector<const unsigned char*>{mono, reinterpret_cast<unsigned char*>(8), nullptr},
      std::size_t(2), std::size_t(3), VIDEO_UINT8, FOURCC_MONO};
  write(gray);
  channel->close();
  auto written = scripted::writtenRecords();
  ASSERT_EQ(written.size(), 2u);
  auto copied = boost::any_cast<std::vector<const unsigned char*>>(written[0].entries[0]);
  EXPECT_NE(copied[0], planes[0]);
  EXPECT_EQ(written[0].bytes.size(), (15u + 6u + 6u) * 2u);
  EXPECT_EQ(std::memcmp(written[0].bytes.data() + 30, u.data(), 12), 0);
  EXPECT_EQ(std::memcmp(written[0].bytes.data() + 42, v.data(), 12), 0);
  auto grayPlanes = boost::any_cast<std::vector<const unsigned char*>>(written[1].entries[0]);
  EXPECT_EQ(grayPlanes[1], nullptr);
  EXPECT_EQ(written[1].bytes, std::vector<unsigned char>(mono, mono + 6));
}

TEST_F(Stream, RecordsOfNoKnownLayoutAreRefusedWithoutAFilter) {
  make();
  openWriter(false);
  sluice::Record three{boost::any(1), boost::any(2), boost::any(3)};
  sluice::Record nowhere = sluice::makeSampleRecord(nullptr, 4, 2, AUDIO_INT16);
  sluice::Record unknownType =
      sluice::makeSampleRecord(nullptr, 0, 2, static_cast<sluice::AudioDataType>(11));
  sluice::Record empty = sluice::makeSampleRecord(nullptr, 0, 2, AUDIO_INT16);
  EXPECT_THROW(write(three), Reported);
  EXPECT_THROW(write(nowhere), Reported);
  EXPECT_THROW(write(unknownType), Reported);
  std::vector<void*> none{nullptr};
  EXPECT_THROW(out()->write(none), Reported);
  write(empty);  // an empty block is fine
  channel->close();
  EXPECT_THAT(handler.errors, ElementsAre("sluice:Unexpected", "sluice:Unexpected",
                                          "sluice:Unexpected", "sluice null record:Unexpected"));
  EXPECT_EQ(scripted::writtenRecords().size(), 1u);
}

TEST_F(Stream, FilterReceivesTheCallersRecordAsIs) {
  make();
  openWriter();
  Block block(2, 3);
  write(block.record);
  channel->close();
  auto seen = scripted::filteredRecords();
  ASSERT_EQ(seen.size(), 1u);
  ASSERT_EQ(seen[0].entries.size(), 4u);
  EXPECT_EQ(boost::any_cast<unsigned char*>(seen[0].entries[0]),
            reinterpret_cast<unsigned char*>(block.samples.data()));
  EXPECT_EQ(seen[0].bytes, block.bytes());
}

TEST_F(Stream, ThePassthroughConverterHandsRecordsOnUnchanged) {
  make(0, "passthrough");
  openWriter();
  Block block(5, 2, 40);
  write(block.record);
  channel->close();
  auto written = scripted::writtenRecords();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0].bytes, block.bytes());
  EXPECT_EQ(scripted::count("converter.convert"), 0);
}

TEST_F(Stream, ReadHandsTheDevicesRecordsToTheCaller) {
  make();
  sluice::PropertyMap none, result;
  channel->init(none, result);
  channel->open(none);
  scripted::queueRead({{scripted::sampleRecord({1, 2, 3, 4}, 2, 1, AUDIO_INT16)}, 2});
  auto* in = channel->getInputStream();
  std::vector<void*> got;
  unsigned long n = 0;
  in->read(0, got, n);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(n, 2u);
  std::unique_ptr<sluice::Record> record(static_cast<sluice::Record*>(got[0]));
  sluice::SampleRecordView view;
  ASSERT_TRUE(sluice::parseSampleRecord(*record, view));
  EXPECT_EQ(std::vector<unsigned char>(view.samples, view.samples + 4),
            (std::vector<unsigned char>{1, 2, 3, 4}));
  delete[] view.samples;
  got.clear();
  in->read(512, got, n);  // the end
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(n, 0u);
  EXPECT_THAT(scripted::readCounts(), ElementsAre(0u, 512u));
  channel->close();
  in->flush();
  EXPECT_EQ(scripted::count("device.flush"), 1);
}

}  // namespace
