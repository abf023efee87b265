// The video writer's frame records and the MPEG-4 height padding, against the
// scripted plug-ins. Padded arrays that leak or are overrun show in the sanitizer
// build.
#include <gtest/gtest.h>

#include <boost/any.hpp>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "hostlib/multimedia/exceptions.h"
#include "hostlib/multimedia/tmmfb2videowriter.h"
#include "scripted/Scripted.h"

namespace hm = hostlib::multimedia;

namespace {

typedef std::vector<unsigned char> Bytes;
typedef std::vector<const unsigned char*> PlaneList;

// Distinct, never zero, so that a padding byte cannot pass for a copied one.
Bytes pattern(size_t size, unsigned seed) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>((seed + i * 7) % 250 + 1);
  return bytes;
}

// What a plane of `columns` columns of `columnBytes` bytes looks like with one
// zero element of `elementSize` bytes after each column.
Bytes withZeroRow(Bytes const& plane, size_t columns, size_t columnBytes, size_t elementSize) {
  Bytes padded;
  for (size_t c = 0; c < columns; ++c) {
    padded.insert(padded.end(), plane.begin() + c * columnBytes,
                  plane.begin() + (c + 1) * columnBytes);
    padded.insert(padded.end(), elementSize, 0);
  }
  return padded;
}

std::unique_ptr<hm::tmmfb2videowriter> makeWriter(hm::MMFileType fileType, hm::FourCCType fourCC,
                                                  hm::VideoDataType type, size_t width,
                                                  size_t height) {
  auto writer = std::make_unique<hm::tmmfb2videowriter>(u"clip.mp4", scripted::DEVICE,
                                                        scripted::CONVERTER, scripted::FILTER);
  writer->setFileType(fileType);
  writer->setFourCC(fourCC);
  writer->setVideoDataType(type);
  writer->setWidth(width);
  writer->setHeight(height);
  return writer;
}

// The three outputs of one padding call, released with array delete.
struct PaddedPlanes {
  unsigned char* out[3] = {nullptr, nullptr, nullptr};
  ~PaddedPlanes() {
    for (unsigned char* plane : out) delete[] plane;
  }
  Bytes plane(int index, size_t size) const { return Bytes(out[index], out[index] + size); }
};

class VideoFrameTest : public ::testing::Test {
 protected:
  void SetUp() override { scripted::reset(); }
};

TEST_F(VideoFrameTest, FrameRecordHoldsFiveEntriesOfExactTypesAndTheCallersPlanes) {
  Bytes p0 = pattern(12, 1), p1 = pattern(12, 2), p2 = pattern(12, 3);
  auto writer = makeWriter(hm::FILETYPE_AVI, hm::FOURCC_RGB_PLANAR, hm::VIDEO_UINT8, 4, 3);
  writer->open();
  writer->writeVideo(p0.data(), p1.data(), p2.data());

  std::vector<scripted::ReceivedRecord> records = scripted::filteredRecords();
  ASSERT_EQ(1u, records.size());
  sluice::Record const& r = records[0].entries;
  ASSERT_EQ(5u, r.size());
  EXPECT_EQ(typeid(PlaneList), r[0].type());
  EXPECT_EQ(typeid(size_t), r[1].type());
  EXPECT_EQ(typeid(size_t), r[2].type());
  EXPECT_EQ(typeid(hm::VideoDataType), r[3].type());
  EXPECT_EQ(typeid(hm::FourCCType), r[4].type());
  EXPECT_EQ(PlaneList({p0.data(), p1.data(), p2.data()}), boost::any_cast<PlaneList>(r[0]));
  EXPECT_EQ(4u, boost::any_cast<size_t>(r[1]));
  EXPECT_EQ(3u, boost::any_cast<size_t>(r[2]));
  EXPECT_EQ(hm::VIDEO_UINT8, boost::any_cast<hm::VideoDataType>(r[3]));
  EXPECT_EQ(hm::FOURCC_RGB_PLANAR, boost::any_cast<hm::FourCCType>(r[4]));
}

TEST_F(VideoFrameTest, OnlyOddMpeg4FramesAreCopied) {
  struct Case {
    hm::MMFileType fileType;
    size_t height;
  };
  const Case cases[] = {{hm::FILETYPE_MPEG4, 480},
                        {hm::FILETYPE_MPEG4, 0},
                        {hm::FILETYPE_AVI, 481},
                        {hm::FILETYPE_MJ2, 481},
                        {hm::FILETYPE_NONE, 481}};
  for (Case const& c : cases) {
    SCOPED_TRACE(c.fileType);
    scripted::reset();
    Bytes p0 = pattern(2 * c.height, 1);
    auto writer = makeWriter(c.fileType, hm::FOURCC_MONO, hm::VIDEO_UINT8, 2, c.height);
    writer->open();
    unsigned char const* other = reinterpret_cast<unsigned char const*>(&c);
    writer->writeVideo(p0.data(), other, nullptr);
    std::vector<scripted::ReceivedRecord> records = scripted::filteredRecords();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(PlaneList({p0.data(), other, nullptr}),
              boost::any_cast<PlaneList>(records[0].entries[0]));
    EXPECT_EQ(c.height, boost::any_cast<size_t>(records[0].entries[2]));
  }
}

// The three layouts at 640 x 481, the first odd-height case an MPEG-4 host meets.
TEST_F(VideoFrameTest, OddMpeg4FramesAreSentPaddedWithAZeroRow) {
  const size_t W = 640, H = 481;
  Bytes p0 = pattern(W * H, 1), p1 = pattern(W * H, 2), p2 = pattern(W * H, 3);
  for (hm::FourCCType fourCC : {hm::FOURCC_RGB_PLANAR, hm::FOURCC_MONO, hm::FOURCC_YUV422_PLANAR}) {
    SCOPED_TRACE(fourCC);
    scripted::reset();
    auto writer = makeWriter(hm::FILETYPE_MPEG4, fourCC, hm::VIDEO_UINT8, W, H);
    writer->open();
    writer->writeVideo(p0.data(), p1.data(), p2.data());
    std::vector<scripted::ReceivedRecord> records = scripted::filteredRecords();
    ASSERT_EQ(1u, records.size());
    sluice::Record const& r = records[0].entries;
    EXPECT_EQ(W, boost::any_cast<size_t>(r[1]));
    EXPECT_EQ(H + 1, boost::any_cast<size_t>(r[2]));
    PlaneList planes = boost::any_cast<PlaneList>(r[0]);
    ASSERT_EQ(3u, planes.size());
    EXPECT_NE(p0.data(), planes[0]);
    EXPECT_NE(nullptr, planes[0]);

    Bytes expected = withZeroRow(p0, W, H, 1);
    if (fourCC == hm::FOURCC_MONO) {
      EXPECT_EQ(nullptr, planes[1]);
      EXPECT_EQ(nullptr, planes[2]);
    } else {
      size_t columns = fourCC == hm::FOURCC_YUV422_PLANAR ? W / 2 : W;
      Bytes e1 = withZeroRow(p1, columns, H, 1), e2 = withZeroRow(p2, columns, H, 1);
      expected.insert(expected.end(), e1.begin(), e1.end());
      expected.insert(expected.end(), e2.begin(), e2.end());
    }
    EXPECT_TRUE(expected == records[0].bytes);
  }
}

TEST_F(VideoFrameTest, PaddedLayoutsByteForByte) {
  {
    SCOPED_TRACE("uint8, three planes, half-width planes of odd width");
    const unsigned char p0[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const unsigned char p1[] = {11, 12, 13};
    const unsigned char p2[] = {21, 22, 23};
    auto writer = makeWriter(hm::FILETYPE_MPEG4, hm::FOURCC_YUV422_PLANAR, hm::VIDEO_UINT8, 3, 3);
    PaddedPlanes padded;
    EXPECT_EQ(4u, writer->padToEvenHeightForMpeg4(p0, p1, p2, padded.out[0], padded.out[1],
                                                  padded.out[2]));
    EXPECT_EQ(Bytes({1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0}), padded.plane(0, 12));
    // (3 * 4) / 2 bytes: one column, then zeros.
    EXPECT_EQ(Bytes({11, 12, 13, 0, 0, 0}), padded.plane(1, 6));
    EXPECT_EQ(Bytes({21, 22, 23, 0, 0, 0}), padded.plane(2, 6));
  }
  {
    SCOPED_TRACE("int16, three full planes");
    const unsigned char p0[] = {1, 2, 3, 4};
    const unsigned char p1[] = {5, 6, 7, 8};
    const unsigned char p2[] = {9, 10, 11, 12};
    auto writer = makeWriter(hm::FILETYPE_MPEG4, hm::FOURCC_RGB_PLANAR, hm::VIDEO_INT16, 2, 1);
    PaddedPlanes padded;
    EXPECT_EQ(2u, writer->padToEvenHeightForMpeg4(p0, p1, p2, padded.out[0], padded.out[1],
                                                  padded.out[2]));
    EXPECT_EQ(Bytes({1, 2, 0, 0, 3, 4, 0, 0}), padded.plane(0, 8));
    EXPECT_EQ(Bytes({5, 6, 0, 0, 7, 8, 0, 0}), padded.plane(1, 8));
    EXPECT_EQ(Bytes({9, 10, 0, 0, 11, 12, 0, 0}), padded.plane(2, 8));
  }
  {
    SCOPED_TRACE("int16, half-width planes");
    const unsigned char p0[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const unsigned char p1[] = {21, 22, 23, 24, 25, 26};
    const unsigned char p2[] = {31, 32, 33, 34, 35, 36};
    auto writer = makeWriter(hm::FILETYPE_MPEG4, hm::FOURCC_YUV422_PLANAR, hm::VIDEO_INT16, 2, 3);
    PaddedPlanes padded;
    EXPECT_EQ(4u, writer->padToEvenHeightForMpeg4(p0, p1, p2, padded.out[0], padded.out[1],
                                                  padded.out[2]));
    EXPECT_EQ(Bytes({1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0}), padded.plane(0, 16));
    EXPECT_EQ(Bytes({21, 22, 23, 24, 25, 26, 0, 0}), padded.plane(1, 8));
    EXPECT_EQ(Bytes({31, 32, 33, 34, 35, 36, 0, 0}), padded.plane(2, 8));
  }
  {
    SCOPED_TRACE("uint8, one plane: the further outputs are null, their inputs unread");
    const unsigned char p0[] = {1, 2};
    auto writer = makeWriter(hm::FILETYPE_MPEG4, hm::FOURCC_MONO, hm::VIDEO_UINT8, 2, 1);
    PaddedPlanes padded;
    unsigned char sentinel = 0;
    unsigned char* out1 = &sentinel;
    unsigned char* out2 = &sentinel;
    EXPECT_EQ(2u, writer->padToEvenHeightForMpeg4(p0, nullptr, nullptr, padded.out[0], out1, out2));
    EXPECT_EQ(Bytes({1, 0, 2, 0}), padded.plane(0, 4));
    EXPECT_EQ(nullptr, out1);
    EXPECT_EQ(nullptr, out2);
  }
}

TEST_F(VideoFrameTest, LayoutsWithoutMeaningPadTheFirstPlaneOnly) {
  const unsigned char p0[] = {1, 2, 3, 4};
  for (std::int32_t fourCC : {0, 4, -1}) {
    SCOPED_TRACE(fourCC);
    auto writer =
        makeWriter(hm::FILETYPE_MPEG4, static_cast<hm::FourCCType>(fourCC), hm::VIDEO_UINT8, 2, 2);
    PaddedPlanes padded;
    EXPECT_EQ(3u, writer->padToEvenHeightForMpeg4(p0, nullptr, nullptr, padded.out[0],
                                                  padded.out[1], padded.out[2]));
    EXPECT_EQ(Bytes({1, 2, 0, 3, 4, 0}), padded.plane(0, 6));
    EXPECT_EQ(nullptr, padded.out[1]);
    EXPECT_EQ(nullptr, padded.out[2]);
  }
}

TEST_F(VideoFrameTest, EmptyFramesPadWithoutReadingAnyPlane) {
  {
    SCOPED_TRACE("width 0");
    auto writer = makeWriter(hm::FILETYPE_MPEG4, hm::FOURCC_RGB_PLANAR, hm::VIDEO_DOUBLE, 0, 5);
    PaddedPlanes padded;
    EXPECT_EQ(6u, writer->padToEvenHeightForMpeg4(nullptr, nullptr, nullptr, padded.out[0],
                                                  padded.out[1], padded.out[2]));
    EXPECT_NE(nullptr, padded.out[0]);
    EXPECT_NE(nullptr, padded.out[1]);
    EXPECT_NE(nullptr, padded.out[2]);
  }
  {
    SCOPED_TRACE("height 0: each column is one zero element");
    auto writer = makeWriter(hm::FILETYPE_MPEG4, hm::FOURCC_MONO, hm::VIDEO_INT16, 2, 0);
    PaddedPlanes padded;
    EXPECT_EQ(1u, writer->padToEvenHeightForMpeg4(nullptr, nullptr, nullptr, padded.out[0],
                                                  padded.out[1], padded.out[2]));
    EXPECT_EQ(Bytes({0, 0, 0, 0}), padded.plane(0, 4));
  }
  {
    SCOPED_TRACE("width 1 with half-width planes: those have no column to read");
    const unsigned char p0[] = {7};
    auto writer = makeWriter(hm::FILETYPE_MPEG4, hm::FOURCC_YUV422_PLANAR, hm::VIDEO_UINT8, 1, 1);
    PaddedPlanes padded;
    EXPECT_EQ(2u, writer->padToEvenHeightForMpeg4(p0, nullptr, nullptr, padded.out[0],
                                                  padded.out[1], padded.out[2]));
    EXPECT_EQ(Bytes({7, 0}), padded.plane(0, 2));
    EXPECT_EQ(Bytes({0}), padded.plane(1, 1));
    EXPECT_EQ(Bytes({0}), padded.plane(2, 1));
  }
  {
    SCOPED_TRACE("width 0 through writeVideo");
    auto writer = makeWriter(hm::FILETYPE_MPEG4, hm::FOURCC_RGB_PLANAR, hm::VIDEO_UINT8, 0, 7);
    writer->open();
    writer->writeVideo(nullptr, nullptr, nullptr);
    std::vector<scripted::ReceivedRecord> records = scripted::filteredRecords();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(8u, boost::any_cast<size_t>(records[0].entries[2]));
    EXPECT_TRUE(records[0].bytes.empty());
  }
}

// A frame that cannot be padded safely: its settings and planes, and the reason.
struct Refusal {
  char const* label;
  hm::FourCCType fourCC;
  std::int32_t type;
  size_t width;
  size_t height;
  bool plane0;
  bool plane1;
  bool plane2;
  char const* reason;
};

TEST_F(VideoFrameTest, FramesThatCannotBePaddedSafelyAreRefusedWithoutTouchingMemory) {
  const size_t big = size_t(1) << 32;
  const size_t max = std::numeric_limits<size_t>::max();
  const Refusal refusals[] = {{"invalid type", hm::FOURCC_MONO, 9, 2, 1, true, true, true,
                               "the video data type 9 has no element size"},
                              {"negative type", hm::FOURCC_MONO, -1, 2, 1, true, true, true,
                               "the video data type -1 has no element size"},
                              {"type past the table", hm::FOURCC_MONO, 10, 2, 1, true, true, true,
                               "the video data type 10 has no element size"},
                              {"null first plane", hm::FOURCC_RGB_PLANAR, hm::VIDEO_UINT8, 2, 1,
                               false, true, true, "plane 0 is null"},
                              {"null second plane", hm::FOURCC_RGB_PLANAR, hm::VIDEO_UINT8, 2, 1,
                               true, false, true, "plane 1 is null"},
                              {"null third half-width plane", hm::FOURCC_YUV422_PLANAR,
                               hm::VIDEO_UINT8, 2, 1, true, true, false, "plane 2 is null"},
                              {"largest height", hm::FOURCC_MONO, hm::VIDEO_UINT8, 1, max, true,
                               true, true, "the height is too large"},
                              {"width times height", hm::FOURCC_MONO, hm::VIDEO_UINT8, big, big - 1,
                               true, true, true, "the frame size does not fit in memory"},
                              {"times element size", hm::FOURCC_MONO, hm::VIDEO_INT16, max / 2, 1,
                               true, true, true, "the frame size does not fit in memory"}};
  const unsigned char source[8] = {};
  for (Refusal const& r : refusals) {
    SCOPED_TRACE(r.label);
    auto writer = makeWriter(hm::FILETYPE_MPEG4, r.fourCC, static_cast<hm::VideoDataType>(r.type),
                             r.width, r.height);
    unsigned char sentinel = 0;
    unsigned char* out[3] = {&sentinel, &sentinel, &sentinel};
    try {
      writer->padToEvenHeightForMpeg4(r.plane0 ? source : nullptr, r.plane1 ? source : nullptr,
                                      r.plane2 ? source : nullptr, out[0], out[1], out[2]);
      ADD_FAILURE() << "nothing thrown";
    } catch (hm::VideoWriteException const& e) {
      EXPECT_STREQ("VideoWrite", e.name());
      EXPECT_EQ(std::string("Cannot pad the video frame to an even height: ") + r.reason, e.what());
    }
    for (unsigned char* plane : out) EXPECT_EQ(&sentinel, plane);
  }
}

TEST_F(VideoFrameTest, RefusedPaddingSendsNothingToTheChannel) {
  const unsigned char source[4] = {};
  auto writer = makeWriter(hm::FILETYPE_MPEG4, hm::FOURCC_MONO, hm::VIDEO_INVALID, 2, 1);
  writer->open();
  EXPECT_THROW(writer->writeVideo(source, nullptr, nullptr), hm::VideoWriteException);
  EXPECT_EQ(0, scripted::count("filter.process"));
  EXPECT_TRUE(writer->getIsOpen());
}

TEST_F(VideoFrameTest, ChannelFailureReachesTheHostAndTheWriterStaysOpen) {
  for (size_t height : {3u, 4u}) {
    SCOPED_TRACE(height);
    scripted::reset();
    Bytes p0 = pattern(2 * height, 1);
    auto writer = makeWriter(hm::FILETYPE_MPEG4, hm::FOURCC_MONO, hm::VIDEO_UINT8, 2, height);
    writer->open();
    scripted::Fault fault;
    fault.text = "scripted-filter:couldNotWriteFrame";
    fault.times = 1;
    scripted::fail("filter.process", fault);
    try {
      writer->writeVideo(p0.data(), nullptr, nullptr);
      ADD_FAILURE() << "nothing thrown";
    } catch (hm::Exception const& e) {
      EXPECT_EQ(typeid(hm::Exception), typeid(e));
      EXPECT_STREQ("VideoWrite", e.name());
      EXPECT_STREQ("Could not write a video frame.", e.what());
    }
    EXPECT_TRUE(writer->getIsOpen());
    writer->writeVideo(p0.data(), nullptr, nullptr);
    EXPECT_EQ(2u, scripted::filteredRecords().size());
  }
}

}  // namespace
