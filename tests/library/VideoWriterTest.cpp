// The video writer's settings, derived properties, open maps and lifecycle,
// against the scripted plug-ins.
#include <gtest/gtest.h>

#include <boost/any.hpp>
#include <cmath>
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

std::unique_ptr<hm::tmmfb2videowriter> makeWriter(std::u16string const& name = u"clip.avi") {
  return std::make_unique<hm::tmmfb2videowriter>(name, scripted::DEVICE, scripted::CONVERTER,
                                                 scripted::FILTER);
}

std::vector<std::string> keys(scripted::MapCopy const& map) {
  std::vector<std::string> result;
  for (auto const& entry : map) result.push_back(entry.first);
  return result;
}

// The entry is present, not null, holds exactly a T and equals `expected`.
template <class T>
::testing::AssertionResult holds(scripted::MapCopy const& map, std::string const& key,
                                 T const& expected) {
  auto entry = map.find(key);
  if (entry == map.end()) return ::testing::AssertionFailure() << key << " is absent";
  if (entry->second.isNull()) return ::testing::AssertionFailure() << key << " is null";
  T const* value = boost::any_cast<T>(&entry->second.value);
  if (!value) {
    return ::testing::AssertionFailure()
           << key << " holds " << scripted::typeName(entry->second) << ", not " << typeid(T).name();
  }
  if (!(*value == expected)) return ::testing::AssertionFailure() << key << " has another value";
  return ::testing::AssertionSuccess();
}

// Counts its live copies, to see that every map value is released.
struct Tracked {
  static int live;
  Tracked() { ++live; }
  Tracked(Tracked const&) { ++live; }
  ~Tracked() { --live; }
};
int Tracked::live = 0;

class VideoWriterTest : public ::testing::Test {
 protected:
  void SetUp() override { scripted::reset(); }
};

TEST_F(VideoWriterTest, NewWriterStartsWithInitialSettingsAndNeutralDerivedProperties) {
  auto writer = makeWriter();
  EXPECT_EQ(0.0, writer->getFrameRate());
  EXPECT_EQ(0u, writer->getWidth());
  EXPECT_EQ(0u, writer->getHeight());
  EXPECT_EQ(hm::VIDEO_INVALID, writer->getVideoDataType());
  EXPECT_EQ(hm::FOURCC_NONE, writer->getFourCC());
  EXPECT_EQ(hm::FILETYPE_NONE, writer->getFileType());
  EXPECT_EQ(0u, writer->getVideoQuality());
  EXPECT_EQ(0u, writer->getCompressionFactor());
  EXPECT_EQ("", writer->getCompressionMethod());
  EXPECT_EQ(0u, writer->getNumBands());
  EXPECT_EQ(u"", writer->computeInputFrameTypeForFilter());
  EXPECT_EQ(u"", writer->computeOutputFileFormat());
  EXPECT_EQ(u"invalid", writer->computeOutputDataTypeForFilter());
  EXPECT_FALSE(writer->isLossy());
  EXPECT_FALSE(writer->getIsOpen());
}

TEST_F(VideoWriterTest, PlaneLayoutDecidesBandsAndInputFrameType) {
  struct Case {
    std::int32_t fourCC;
    size_t bands;
    std::u16string frameType;
  };
  const Case cases[] = {{0, 0, u""},
                        {1, 3, u"RawPlanarColumn"},
                        {2, 1, u"RawPlanarColumn"},
                        {3, 3, u"YUV422PlanarColumn"},
                        {4, 0, u""},
                        {-1, 0, u""},
                        {std::numeric_limits<std::int32_t>::max(), 0, u""},
                        {std::numeric_limits<std::int32_t>::min(), 0, u""}};
  auto writer = makeWriter();
  for (Case const& c : cases) {
    writer->setFourCC(static_cast<hm::FourCCType>(c.fourCC));
    EXPECT_EQ(c.bands, writer->getNumBands()) << c.fourCC;
    EXPECT_EQ(c.frameType, writer->computeInputFrameTypeForFilter()) << c.fourCC;
  }
}

TEST_F(VideoWriterTest, MotionJpegAndLossyNeedTheirFileTypeAndTheExactText) {
  struct Case {
    std::int32_t fileType;
    std::string method;
    std::u16string format;
    bool lossy;
  };
  const Case cases[] = {{1, "MJPEG Compressor", u"MotionJpeg", false},
                        {1, "mjpeg compressor", u"", false},
                        {1, "MJPEG Compressor ", u"", false},
                        {1, "MJPEG", u"", false},
                        {8, "MJPEG Compressor", u"", false},
                        {7, "MJPEG Compressor", u"", false},
                        {8, "Lossy", u"", true},
                        {8, "lossy", u"", false},
                        {8, "Lossy ", u"", false},
                        {8, "", u"", false},
                        {1, "Lossy", u"", false},
                        {7, "Lossy", u"", false},
                        {0, "Lossy", u"", false}};
  auto writer = makeWriter();
  for (Case const& c : cases) {
    writer->setFileType(static_cast<hm::MMFileType>(c.fileType));
    writer->setCompressionMethod(c.method);
    EXPECT_EQ(c.format, writer->computeOutputFileFormat()) << c.fileType << " '" << c.method << "'";
    EXPECT_EQ(c.lossy, writer->isLossy()) << c.fileType << " '" << c.method << "'";
  }
}

TEST_F(VideoWriterTest, OutputDataTypeIsNarrowedOnlyForMotionJpeg2000) {
  const std::u16string narrowed[] = {u"int16",  u"int16", u"int8",   u"uint8", u"int16",
                                     u"uint16", u"int16", u"uint16", u"uint8"};
  auto writer = makeWriter();
  for (std::int32_t type = -1; type <= 10; ++type) {
    writer->setVideoDataType(static_cast<hm::VideoDataType>(type));
    writer->setFileType(hm::FILETYPE_MJ2);
    std::u16string expected = (type >= 0 && type <= 8) ? narrowed[type] : u"invalid";
    EXPECT_EQ(expected, writer->computeOutputDataTypeForFilter()) << type;
    for (std::int32_t other : {0, 1, 7, 9}) {
      writer->setFileType(static_cast<hm::MMFileType>(other));
      EXPECT_EQ(u"invalid", writer->computeOutputDataTypeForFilter()) << type << " " << other;
    }
  }
}

TEST_F(VideoWriterTest, OpenWithInitialSettingsSendsThreeExactMaps) {
  auto writer = makeWriter(u"clip.avi");
  writer->open();
  EXPECT_TRUE(writer->getIsOpen());
  std::vector<std::string> order;
  for (std::string const& op : scripted::calls()) {
    if (op == "device.init" || op == "filter.add" || op == "device.open") order.push_back(op);
  }
  EXPECT_EQ(std::vector<std::string>({"device.init", "filter.add", "device.open"}), order);

  scripted::MapCopy init = scripted::lastMap("device.init");
  EXPECT_EQ(std::vector<std::string>({"FileFormat", "OutputFileName"}), keys(init));
  EXPECT_TRUE(holds(init, "OutputFileName", std::u16string(u"clip.avi")));
  EXPECT_TRUE(holds(init, "FileFormat", std::u16string()));

  scripted::MapCopy filter = scripted::lastMap("filter.add");
  EXPECT_EQ(std::vector<std::string>({"InputFrameType", "OutputDataType", "OutputFrameType"}),
            keys(filter));
  EXPECT_TRUE(holds(filter, "InputFrameType", std::u16string()));
  EXPECT_TRUE(holds(filter, "OutputDataType", std::u16string(u"invalid")));
  // The channel stored nothing: the key is there, with a null value.
  EXPECT_TRUE(filter.at("OutputFrameType").isNull());

  scripted::MapCopy open = scripted::lastMap("device.open");
  EXPECT_EQ(std::vector<std::string>({"CompressionRatio", "FrameRate", "Lossy", "Quality"}),
            keys(open));
  EXPECT_TRUE(holds(open, "FrameRate", 0.0));
  EXPECT_TRUE(holds(open, "Quality", 0.0));
  EXPECT_TRUE(holds(open, "CompressionRatio", 0.0));
  EXPECT_TRUE(holds(open, "Lossy", false));
}

TEST_F(VideoWriterTest, OpenSendsTheSettingsOfAMotionJpegAvi) {
  auto writer = makeWriter(u"m\u00e9lange.avi");
  writer->setFileType(hm::FILETYPE_AVI);
  writer->setCompressionMethod("MJPEG Compressor");
  writer->setFourCC(hm::FOURCC_RGB_PLANAR);
  writer->setVideoDataType(hm::VIDEO_UINT8);
  writer->setFrameRate(29.97);
  writer->setVideoQuality(75);
  writer->open();
  EXPECT_TRUE(holds(scripted::lastMap("device.init"), "OutputFileName",
                    std::u16string(u"m\u00e9lange.avi")));
  EXPECT_TRUE(holds(scripted::lastMap("device.init"), "FileFormat", std::u16string(u"MotionJpeg")));
  scripted::MapCopy filter = scripted::lastMap("filter.add");
  EXPECT_TRUE(holds(filter, "InputFrameType", std::u16string(u"RawPlanarColumn")));
  EXPECT_TRUE(holds(filter, "OutputDataType", std::u16string(u"invalid")));
  scripted::MapCopy open = scripted::lastMap("device.open");
  EXPECT_TRUE(holds(open, "FrameRate", 29.97));
  EXPECT_TRUE(holds(open, "Quality", 75.0));
  EXPECT_TRUE(holds(open, "Lossy", false));
}

TEST_F(VideoWriterTest, OpenSendsTheSettingsOfALossyMotionJpeg2000) {
  auto writer = makeWriter(u"clip.mj2");
  writer->setFileType(hm::FILETYPE_MJ2);
  writer->setCompressionMethod("Lossy");
  writer->setFourCC(hm::FOURCC_YUV422_PLANAR);
  writer->setVideoDataType(hm::VIDEO_UINT32);
  writer->setCompressionFactor(10);
  writer->open();
  EXPECT_TRUE(holds(scripted::lastMap("device.init"), "FileFormat", std::u16string()));
  scripted::MapCopy filter = scripted::lastMap("filter.add");
  EXPECT_TRUE(holds(filter, "InputFrameType", std::u16string(u"YUV422PlanarColumn")));
  EXPECT_TRUE(holds(filter, "OutputDataType", std::u16string(u"uint16")));
  scripted::MapCopy open = scripted::lastMap("device.open");
  EXPECT_TRUE(holds(open, "CompressionRatio", 10.0));
  EXPECT_TRUE(holds(open, "Lossy", true));
}

TEST_F(VideoWriterTest, LargeQualityAndRatioAreSentAsTheNearestDouble) {
  auto writer = makeWriter();
  writer->setVideoQuality(std::numeric_limits<size_t>::max());
  writer->setCompressionFactor((size_t(1) << 53) + 1);
  writer->open();
  scripted::MapCopy open = scripted::lastMap("device.open");
  EXPECT_TRUE(holds(open, "Quality", std::ldexp(1.0, 64)));
  EXPECT_TRUE(holds(open, "CompressionRatio", std::ldexp(1.0, 53)));
}

TEST_F(VideoWriterTest, ExpectedFrameTypeGoesToTheFilterAndNothingElseOfTheResult) {
  scripted::setInitResult(
      {{"ExpectedFrameType", boost::any(std::u16string(u"RGB24Rows"))}, {"Other", boost::any(5)}});
  auto writer = makeWriter();
  writer->open();
  scripted::MapCopy filter = scripted::lastMap("filter.add");
  EXPECT_EQ(std::vector<std::string>({"InputFrameType", "OutputDataType", "OutputFrameType"}),
            keys(filter));
  EXPECT_TRUE(holds(filter, "OutputFrameType", std::u16string(u"RGB24Rows")));
}

TEST_F(VideoWriterTest, ExpectedFrameTypeStoredAsNullArrivesAsNull) {
  scripted::setInitResult({{"ExpectedFrameType", boost::any()}});
  auto writer = makeWriter();
  writer->open();
  scripted::MapCopy filter = scripted::lastMap("filter.add");
  ASSERT_EQ(1u, filter.count("OutputFrameType"));
  EXPECT_TRUE(filter.at("OutputFrameType").isNull());
}

TEST_F(VideoWriterTest, OpenOnAnOpenWriterSendsNothing) {
  auto writer = makeWriter();
  writer->open();
  writer->open();
  EXPECT_EQ(1, scripted::count("device.init"));
  EXPECT_EQ(1, scripted::count("filter.add"));
  EXPECT_EQ(1, scripted::count("device.open"));
}

TEST_F(VideoWriterTest, CloseClosesTheChannelOnceAndReopenRunsEveryStep) {
  auto writer = makeWriter();
  writer->close();
  EXPECT_EQ(0, scripted::count("device.close"));
  writer->open();
  writer->close();
  EXPECT_FALSE(writer->getIsOpen());
  writer->close();
  EXPECT_EQ(1, scripted::count("device.close"));
  writer->setFrameRate(25.0);
  writer->open();
  EXPECT_TRUE(writer->getIsOpen());
  EXPECT_EQ(2, scripted::count("device.init"));
  EXPECT_TRUE(holds(scripted::lastMap("device.open"), "FrameRate", 25.0));
}

TEST_F(VideoWriterTest, FailedCloseLeavesTheWriterOpen) {
  auto writer = makeWriter();
  writer->open();
  scripted::fail("device.close", "scripted-device:couldNotWriteFrame");
  EXPECT_THROW(writer->close(), hm::Exception);
  EXPECT_TRUE(writer->getIsOpen());
  scripted::clearFault("device.close");
}

// The plug-in operation that fails during open(), and what reaches the host.
struct OpenFailure {
  char const* operation;
  std::type_info const& type;
  char const* name;
  char const* message;
};

TEST_F(VideoWriterTest, FailedOpenPropagatesLeavesTheWriterClosedAndReleasesEveryValue) {
  const OpenFailure failures[] = {
      {"device.init", typeid(hm::Exception), "VideoWrite",
       "Could not initialize the video file for writing."},
      {"filter.add", typeid(hm::FilterCreationFailedException), "FilterCreationFailed",
       "Unable to add filter to the output stream"},
      {"device.open", typeid(hm::Exception), "VideoWrite",
       "Could not open the video file for writing."}};
  for (OpenFailure const& f : failures) {
    SCOPED_TRACE(f.operation);
    scripted::reset();
    Tracked::live = 0;
    scripted::setInitResult(
        {{"ExpectedFrameType", boost::any(Tracked())}, {"Extra", boost::any(Tracked())}});
    std::string identifier =
        std::string(f.operation) == "device.init" ? "couldNotInitFile" : "couldNotOpenFile";
    scripted::fail(f.operation, "scripted:" + identifier);
    {
      auto writer = makeWriter();
      try {
        writer->open();
        ADD_FAILURE() << "nothing thrown";
      } catch (hm::Exception const& e) {
        EXPECT_EQ(f.type, typeid(e));
        EXPECT_STREQ(f.name, e.name());
        EXPECT_STREQ(f.message, e.what());
      }
      EXPECT_FALSE(writer->getIsOpen());
    }
    // Only the scripts and the journal still hold copies; clearing them leaves none.
    scripted::reset();
    EXPECT_EQ(0, Tracked::live);
  }
}

TEST_F(VideoWriterTest, SuccessfulOpenReleasesEveryResultValue) {
  Tracked::live = 0;
  scripted::setInitResult(
      {{"ExpectedFrameType", boost::any(Tracked())}, {"Extra", boost::any(Tracked())}});
  {
    auto writer = makeWriter();
    writer->open();
    writer->close();
  }
  scripted::reset();
  EXPECT_EQ(0, Tracked::live);
}

}  // namespace
