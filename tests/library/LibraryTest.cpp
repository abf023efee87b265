// The library's classes against the scripted plug-ins: the event handlers,
// plug-in loading and teardown, the conversion of each channel call's failures,
// what the writers send, the MPEG-4 padding, and the readers' gathering of the
// records of a read.
#include <gtest/gtest.h>

#include <boost/core/demangle.hpp>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <typeinfo>
#include <utility>

#include "channel/EventHandler.h"
#include "hostlib/multimedia/fmmfb2audioreader.h"
#include "hostlib/multimedia/fmmfb2videoreader.h"
#include "hostlib/multimedia/tmmfb2audiowriter.h"
#include "hostlib/multimedia/tmmfb2videowriter.h"
#include "scripted/Scripted.h"
#include "support/Failures.h"
#include "support/Maps.h"

using namespace hostlib::multimedia;
using Bytes = std::vector<unsigned char>;
using scripted::CONVERTER, scripted::DEVICE, scripted::FILTER, scripted::sampleRecord;
using testsupport::u16;

namespace {

// Every test starts with the scripted plug-ins registered and an empty journal.
struct FreshJournal : ::testing::EmptyTestEventListener {
  void OnTestStart(::testing::TestInfo const&) override { scripted::reset(); }
};
bool const kFreshJournals =
    (::testing::UnitTest::GetInstance()->listeners().Append(new FreshJournal), true);

// A table's row shows as its label, in test names and in failures.
template <class Row, class = decltype(Row::label)>
std::ostream& operator<<(std::ostream& os, Row const& row) {
  return os << row.label;
}

// How `action` ends: "<exception class> <identifier>: <message>", or "no failure".
std::string outcomeOf(std::function<void()> const& action) {
  try {
    action();
  } catch (Exception const& e) {
    std::string type = boost::core::demangle(typeid(e).name());
    return type.substr(type.rfind(':') + 1) + " " + e.name() + ": " + e.what();
  }
  return "no failure";
}

std::string joined(std::vector<std::string> const& words) {
  std::string out;
  for (auto const& w : words) out += (out.empty() ? "" : " ") + w;
  return out;
}

// A received map as "key=value ..." in key order: numbers, texts and flags as
// their values, a null value as "null", anything else as nothing.
std::string listed(scripted::MapCopy const& map) {
  std::ostringstream out;
  for (auto const& [key, v] : map) {
    out << (out.tellp() > 0 ? " " : "") << key << "=" << (v.isNull() ? "null" : "");
    if (auto number = boost::any_cast<double>(&v.value)) out << *number;
    if (auto flag = boost::any_cast<bool>(&v.value)) out << std::boolalpha << *flag;
    if (auto text = boost::any_cast<std::u16string>(&v.value))
      out << std::string(text->begin(), text->end());
  }
  return out.str();
}

// An existing file for the reader to find; the scripted device never opens it.
const std::string kExisting = __FILE__;

std::unique_ptr<tmmfb2audiowriter> openWriter() {
  auto writer = std::make_unique<tmmfb2audiowriter>(u"a.wav", DEVICE, CONVERTER, FILTER);
  writer->open();
  return writer;
}

std::unique_ptr<fmmfb2audioreader> openReader(std::string const& name) {
  auto reader = std::make_unique<fmmfb2audioreader>(u16(name), DEVICE, CONVERTER);
  reader->open();
  return reader;
}

// One read: the frames it returns and the first `size` bytes of its buffer.
std::pair<unsigned long, Bytes> read(fmmfb2audioreader& reader, size_t size) {
  unsigned char* data = nullptr;
  unsigned long frames = reader.readAudio(&data, 64);
  std::unique_ptr<unsigned char[]> owned(data);
  return {frames, data ? Bytes(data, data + size) : Bytes()};
}

// ---- Event handlers, plug-in loading, teardown ----------------------------

const std::string kFallback = "The operation failed due to an unexpected exception";

struct TextError : sluice::Error {
  explicit TextError(std::string text) : text(std::move(text)) {}
  char const* getMessage() const override { return text.c_str(); }
  void dispose() override { delete this; }
  std::string text;
};

std::string raised(EventHandler&& handler, char const* text) {
  return outcomeOf([&] { handler.onError(text ? new TextError(text) : nullptr); });
}

TEST(EventHandler, RaisesTheCatalogueMessageOfTheTextAfterTheLastColon) {
  std::string const audio = "AudioWriteException AudioWrite: ";
  std::string const video = "VideoWriteException VideoWrite: ";
  EXPECT_EQ(audio + "File does not contain any audio.",
            raised(AudioEventHandler(), "reader:FileCorrupt:NoAudio"));
  EXPECT_EQ(audio + kFallback, raised(AudioEventHandler(), nullptr));
  EXPECT_EQ(video + "Could not write a video frame.",
            raised(VideoEventHandler(), "couldNotWriteFrame"));
  EXPECT_EQ(video + kFallback, raised(VideoEventHandler(), "writer:NoAudio"));
  EXPECT_EQ("VideoReadException VideoRead: File does not contain any video.",
            raised(VideoReadEventHandler(), "videofilereader:NoVideo"));
}

TEST(PluginLoading, TriesEachNameThenItsLastElement) {
  // How creating and opening a writer ends (class and identifier), and every
  // name the service was asked to load. The writer's event handler, owned by its
  // channel manager, must be freed however this ends: the sanitizer build checks.
  auto loading = [](char16_t const* file, char const* converter, char const* device,
                    char const* filter) {
    scripted::reset();
    std::string outcome =
        outcomeOf([&] { tmmfb2audiowriter(file, device, converter, filter).open(); });
    return outcome.substr(0, outcome.find(':')) + " after " + joined(scripted::loadAttempts());
  };
  EXPECT_EQ(
      "no failure after /x/scripted-converter scripted-converter /x/scripted-device "
      "scripted-device /x/scripted-filter scripted-filter",
      loading(u"a.wav", "/x/scripted-converter", "/x/scripted-device", "/x/scripted-filter"));
  EXPECT_EQ("Exception ConverterCreationFailed after /x/none none",
            loading(u"a.wav", "/x/none", DEVICE, FILTER));
  EXPECT_EQ("Exception ChannelCreationFailed after scripted-converter /x/none none",
            loading(u"a.wav", CONVERTER, "/x/none", FILTER));
  EXPECT_EQ(
      "FilterCreationFailedException FilterCreationFailed after scripted-converter "
      "scripted-device /x/none none",
      loading(u"a.wav", CONVERTER, DEVICE, "/x/none"));
  EXPECT_EQ("OutputFileLocationNotFoundException OutputFileLocationNotFound after ",
            loading(u"/x/a.wav", CONVERTER, DEVICE, FILTER));
}

TEST(Teardown, ClosesAnOpenChannelThenTerminatesAndSwallowsTheirFailures) {
  { tmmfb2audiowriter neverOpened(u"a.wav", DEVICE, CONVERTER, FILTER); }
  scripted::fail("device.close", "scripted-device:WavSizeLimit");
  scripted::fail("device.term", "scripted-device:Unexpected");
  openWriter();  // and destroyed at once
  EXPECT_EQ(
      "device.create device.term device.create device.init device.open device.close "
      "device.term",
      joined(scripted::calls("device.")));
}

// A channel call, the plug-in operation that fails in it (after this many calls
// that succeed), and the message of the UnexpectedException a failure from
// outside the library becomes.
struct Conversion {
  char const* label;
  void (*call)();
  char const* operation;
  int after;
  std::string unexpected;
};

using FailureConversion = ::testing::TestWithParam<Conversion>;

TEST_P(FailureConversion, CopiesLibraryExceptionsAndNamesAnythingElseUnexpected) {
  for (scripted::Throw what : {scripted::Throw::Text, scripted::Throw::BadAlloc}) {
    scripted::reset();
    scripted::fail(GetParam().operation, {what, "scripted:Unexpected", GetParam().after});
    EXPECT_EQ(what == scripted::Throw::Text
                  ? "Exception AudioWrite: File could not be processed due to an unexpected error."
                  : "UnexpectedException Unexpected: " + GetParam().unexpected,
              outcomeOf(GetParam().call));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Calls, FailureConversion,
    ::testing::Values(
        Conversion{"WriterInit", [] { openWriter(); }, "device.init", 0,
                   "Unexpected exception occurred when initializing the channel to write to the "
                   "file"},
        Conversion{"WriterOpen", [] { openWriter(); }, "device.open", 0,
                   "Unexpected Exception occurred when opening the channel to write to the file"},
        Conversion{"WriterWrite", [] { openWriter()->writeAudio(nullptr, 0, AUDIO_INT16); },
                   "filter.process", 0, "Unexpected exception occurred when writing to the file"},
        Conversion{"WriterClose", [] { openWriter()->close(); }, "device.close", 0,
                   "Unexpected error occurred when closing the channel"},
        Conversion{"ReaderInit", [] { openReader(kExisting); }, "device.init", 0,
                   "Unexpected exception occurred when initializing channel to read from the file"},
        Conversion{"ReaderOpen", [] { openReader(kExisting); }, "device.open", 0,
                   "Unexpected exception occurred when opening channel to read from the file"},
        Conversion{"ReaderRead", [] { read(*openReader(kExisting), 0); }, "device.read", 0,
                   "Unexpected exception occurred when reading data from the file"},
        Conversion{"ReaderResetClose", [] { openReader(kExisting)->resetAudio(); }, "device.close",
                   0, "Unexpected exception occurred when closing channel to read from the file"},
        Conversion{"ReaderResetOpen", [] { openReader(kExisting)->resetAudio(); }, "device.open", 1,
                   "Unexpected exception occurred when opening channel to read from the file"},
        Conversion{"ReaderClose", [] { openReader(kExisting)->close(); }, "device.close", 0,
                   "Unexpected exception occurred when closing channel to read from the file"}),
    [](auto const& info) { return info.param.label; });

// ---- The audio writer and the audio reader --------------------------------

// A file name, the input type, and the "FilterOutputDataType" sent for them: the
// type's own name, or what the channel reported at initialisation.
struct OwnType {
  char const* label;
  char16_t const* file;
  AudioDataType input;
  std::string sent;
};

using AudioWriterOutputType = ::testing::TestWithParam<OwnType>;

TEST_P(AudioWriterOutputType, IsTheInputTypeOnlyForWavOrFlacAndTypesTheyStoreAsTheyAre) {
  scripted::setInitResult({{"DataType", boost::any(u16("reported"))}});
  tmmfb2audiowriter writer(GetParam().file, DEVICE, CONVERTER, FILTER);
  writer.setInputDataType(GetParam().input);
  writer.open();
  scripted::MapCopy open = scripted::lastMap("device.open");
  EXPECT_EQ("FilterOutputDataType=" + GetParam().sent,
            listed({{"FilterOutputDataType", open["FilterOutputDataType"]}}));
}

INSTANTIATE_TEST_SUITE_P(Files, AudioWriterOutputType,
                         ::testing::Values(OwnType{"WavDouble", u"a.wav", AUDIO_DOUBLE, "double"},
                                           OwnType{"FlacSingle", u"a.FLAC", AUDIO_SINGLE, "single"},
                                           OwnType{"WavInt16", u"/tmp/A.WAV", AUDIO_INT16, "int16"},
                                           OwnType{"FlacInt32", u"a.Flac", AUDIO_INT32, "int32"},
                                           OwnType{"WavUint8", u"a.wav", AUDIO_UINT8, "reported"},
                                           OwnType{"M4a", u"a.wav.m4a", AUDIO_INT32, "reported"}),
                         [](auto const& info) { return info.param.label; });

TEST(AudioWriter, SendsItsNumbersAsDoublesTheFileTypeOnlyWhenSetAndWritesWhenThereIsRoom) {
  tmmfb2audiowriter writer(u"a.ogg", DEVICE, CONVERTER, FILTER);
  writer.setSampleRate(48000);
  writer.setNumChannels(6);
  writer.open();
  EXPECT_EQ(
      "BitRate=128000 FilterOutputDataType=null FilterTransformType=InterleaveTranspose "
      "NumberOfChannels=6 Quality=0.5 SampleRate=48000",
      listed(scripted::lastMap("device.open")));
  writer.close();
  writer.setFileDataType(AUDIO_INT24);
  writer.open();
  scripted::MapCopy open = scripted::lastMap("device.open");
  EXPECT_EQ("FileDataType=int24", listed({{"FileDataType", open["FileDataType"]}}));
  scripted::reportNoSpace(3);  // the writer waits until the device has room
  writer.writeAudio(nullptr, 0, AUDIO_INT16);
  EXPECT_GE(scripted::readyPolls(), 4);
}

TEST(AudioReader, LooksForAFileUnderItsBareNameBeforeRefusingIt) {
  testsupport::expectFailure<InputFileNotFoundException>([] { openReader(kExisting + ".absent"); },
                                                         "InputFileNotFound",
                                                         "Input File specified not found");
  testsupport::expectFailure<Exception>(
      [] { fmmfb2audioreader(u16(kExisting), DEVICE, "none"); }, "ConverterCreationFailed",
      "Unable to create the converter required to write data to the file");
  std::filesystem::path existing(kExisting), previous = std::filesystem::current_path();
  std::filesystem::current_path(existing.parent_path());
  auto reader = openReader("/no/such/dir/" + existing.filename().string());
  std::filesystem::current_path(previous);
  EXPECT_EQ("Filename=" + existing.filename().string(), listed(scripted::lastMap("device.init")));
}

TEST(AudioReader, GathersEachReadsRecordsIntoOneBufferUntilTheEnd) {
  auto reader = openReader(kExisting);
  scripted::queueRead(
      {{sampleRecord({1, 2}, 1, 1, AUDIO_INT16), sampleRecord({3, 4}, 1, 1, AUDIO_INT16)}, 2});
  // Bytes past a record's frames are not the caller's: frames short of the count are zeros.
  scripted::queueRead({{sampleRecord({7, 8, 9, 9, 9, 9}, 1, 1, AUDIO_INT16)}, 3});
  scripted::queueRead({{sampleRecord({1, 2, 3, 4, 5, 6}, 1, 2, AUDIO_INT24)}, 1});
  scripted::queueRead({{}, 5});
  EXPECT_EQ(std::make_pair(2UL, Bytes{1, 2, 3, 4}), read(*reader, 4));
  EXPECT_EQ(std::make_pair(3UL, Bytes{7, 8, 0, 0, 0, 0}), read(*reader, 6));
  EXPECT_EQ(std::make_pair(1UL, Bytes{1, 2, 3, 4, 5, 6}), read(*reader, 6));
  EXPECT_EQ(std::make_pair(5UL, Bytes{}), read(*reader, 0));
  EXPECT_FALSE(reader->isEndOfAudio());
  EXPECT_EQ(std::make_pair(0UL, Bytes{}), read(*reader, 0));
  EXPECT_TRUE(reader->isEndOfAudio());
  read(*reader, 0);  // the end is remembered: the device is not asked again
  EXPECT_EQ(5, scripted::count("device.read"));
}

// Records that cannot be gathered into a buffer sized from the first record and
// the count read: refused, every record freed, no buffer.
struct Refusal {
  char const* label;
  scripted::ReadStep step;
};

using ReaderRefusal = ::testing::TestWithParam<Refusal>;

TEST_P(ReaderRefusal, IsUnexpectedAndLeavesNoBufferAndNoEnd) {
  auto reader = openReader(kExisting);
  scripted::queueRead(GetParam().step);
  unsigned char* data = nullptr;
  testsupport::expectFailure<UnexpectedException>(
      [&] { reader->readAudio(&data, 64); }, "Unexpected",
      "Unexpected exception occurred when reading data from the file");
  EXPECT_EQ(nullptr, data);
  EXPECT_FALSE(reader->isEndOfAudio());
}

// As many zero samples as the record says it holds.
scripted::ScriptedRecord zeros(unsigned long frames, unsigned long channels, AudioDataType t) {
  return sampleRecord(Bytes(frames * channels * sluice::audioSampleSize(t)), frames, channels, t);
}

INSTANTIATE_TEST_SUITE_P(
    Records, ReaderRefusal,
    ::testing::Values(
        Refusal{"MoreChannelsLater", {{zeros(2, 1, AUDIO_INT16), zeros(2, 4, AUDIO_INT16)}, 4}},
        Refusal{"OtherTypeLater", {{zeros(2, 1, AUDIO_UINT8), zeros(2, 1, AUDIO_DOUBLE)}, 4}},
        Refusal{"OneFrameTooMany", {{zeros(3, 1, AUDIO_INT16), zeros(4, 1, AUDIO_INT16)}, 6}},
        Refusal{"ThreeEntries",
                {{{{boost::any(), boost::any(2UL), boost::any(1UL)}, Bytes(2)}}, 2}},
        Refusal{"NoSamples", {{{sluice::makeSampleRecord(nullptr, 2, 1, AUDIO_UINT8), {}}}, 2}},
        Refusal{"FrameSizeOverflows",
                {{sampleRecord(Bytes(8), 1, ULONG_MAX / 4, AUDIO_DOUBLE)}, 1}}),
    [](auto const& info) { return info.param.label; });

TEST(AudioReader, ResetReopensFromTheStartWithoutSendingTheNameAgain) {
  auto reader = openReader(kExisting);
  read(*reader, 0);  // the end
  reader->resetAudio();
  EXPECT_FALSE(reader->isEndOfAudio());
  EXPECT_EQ(
      "device.create device.init device.open device.read device.close device.flush "
      "device.open",
      joined(scripted::calls("device.")));
  EXPECT_EQ("", listed(scripted::lastMap("device.open")));
}

// ---- The video writer ----------------------------------------------------

std::unique_ptr<tmmfb2videowriter> writer(MMFileType fileType, FourCCType fourCC, int type,
                                          size_t width = 0, size_t height = 0) {
  auto w = std::make_unique<tmmfb2videowriter>(u"clip", DEVICE, CONVERTER, FILTER);
  w->setFileType(fileType);
  w->setFourCC(fourCC);
  w->setVideoDataType(static_cast<VideoDataType>(type));
  w->setWidth(width);
  w->setHeight(height);
  return w;
}

// Settings, and what open() sends that they decide: the file format at
// initialisation, the filter's input frame and output data types, and whether
// the open map asks for lossy compression.
struct Derived {
  char const* label;
  MMFileType fileType;
  char const* method;
  FourCCType fourCC;
  int type;
  char const *format, *frameType, *lossy, *dataType;
};

using VideoWriterOpen = ::testing::TestWithParam<Derived>;

TEST_P(VideoWriterOpen, SendsWhatItsSettingsDecide) {
  Derived const& c = GetParam();
  scripted::setInitResult({{"ExpectedFrameType", boost::any(std::u16string(u"RGB24Rows"))}});
  auto w = writer(c.fileType, c.fourCC, c.type);
  w->setCompressionMethod(c.method);
  w->setFrameRate(29.97);
  w->open();
  scripted::MapCopy sent;
  for (char const* op : {"device.init", "filter.add", "device.open"})
    sent.merge(scripted::lastMap(op));
  EXPECT_EQ(std::string("CompressionRatio=0 FileFormat=") + c.format +
                " FrameRate=29.97 InputFrameType=" + c.frameType + " Lossy=" + c.lossy +
                " OutputDataType=" + c.dataType +
                " OutputFileName=clip OutputFrameType=RGB24Rows Quality=0",
            listed(sent));
}

INSTANTIATE_TEST_SUITE_P(
    Settings, VideoWriterOpen,
    ::testing::Values(Derived{"MotionJpegAvi", FILETYPE_AVI, "MJPEG Compressor", FOURCC_RGB_PLANAR,
                              VIDEO_UINT8, "MotionJpeg", "RawPlanarColumn", "false", "invalid"},
                      Derived{"LossyMj2", FILETYPE_MJ2, "Lossy", FOURCC_YUV422_PLANAR, VIDEO_UINT32,
                              "", "YUV422PlanarColumn", "true", "uint16"},
                      Derived{"LossyIsCaseSensitive", FILETYPE_MJ2, "lossy", FOURCC_NONE,
                              VIDEO_DOUBLE, "", "", "false", "int16"},
                      Derived{"MotionJpegNeedsAvi", FILETYPE_MJ2, "MJPEG Compressor", FOURCC_MONO,
                              9, "", "RawPlanarColumn", "false", "invalid"},
                      Derived{"LossyNeedsMj2", FILETYPE_AVI, "Lossy", FOURCC_RGB_PLANAR, VIDEO_INT8,
                              "", "RawPlanarColumn", "false", "invalid"}),
    [](auto const& info) { return info.param.label; });

// A frame's settings and planes (each a string of bytes, "" for null), and what
// is sent for it: its height and plane bytes, or nothing when it cannot be
// padded safely.
struct Padding {
  char const* label;
  MMFileType fileType;
  FourCCType fourCC;
  int type;
  size_t width, height;
  std::string plane0, plane1, plane2, sent;
};

using VideoWriterPadding = ::testing::TestWithParam<Padding>;

TEST_P(VideoWriterPadding, SendsOddMpeg4FramesWithAZeroRowAfterEachColumn) {
  Padding const& c = GetParam();
  auto w = writer(c.fileType, c.fourCC, c.type, c.width, c.height);
  w->open();
  auto plane = [](std::string const& bytes) {
    return bytes.empty() ? nullptr : reinterpret_cast<unsigned char const*>(bytes.data());
  };
  std::string sent =
      outcomeOf([&] { w->writeVideo(plane(c.plane0), plane(c.plane1), plane(c.plane2)); });
  for (scripted::ReceivedRecord const& r : scripted::filteredRecords()) {
    sent = "height " + std::to_string(boost::any_cast<size_t>(r.entries.at(2))) + ":";
    for (unsigned char b : r.bytes) sent += " " + std::to_string(b);
  }
  EXPECT_EQ(c.sent, sent);
}

const std::string kRefused =
    "VideoWriteException VideoWrite: Cannot pad the video frame to an even height: ";
INSTANTIATE_TEST_SUITE_P(
    Frames, VideoWriterPadding,
    ::testing::Values(Padding{"ThreeFullPlanes", FILETYPE_MPEG4, FOURCC_RGB_PLANAR, VIDEO_UINT8, 2,
                              1, "\1\2", "\3\4", "\5\6", "height 2: 1 0 2 0 3 0 4 0 5 0 6 0"},
                      Padding{"HalfWidthPlanesOfInt16", FILETYPE_MPEG4, FOURCC_YUV422_PLANAR,
                              VIDEO_INT16, 2, 1, "\1\2\3\4", "\5\6", "\7\10",
                              "height 2: 1 2 0 0 3 4 0 0 5 6 0 0 7 8 0 0"},
                      Padding{"OnePlane", FILETYPE_MPEG4, FOURCC_MONO, VIDEO_UINT8, 2, 3,
                              "\1\2\3\4\5\6", "", "", "height 4: 1 2 3 0 4 5 6 0"},
                      Padding{"EvenHeight", FILETYPE_MPEG4, FOURCC_MONO, VIDEO_UINT8, 2, 2,
                              "\1\2\3\4", "", "", "height 2: 1 2 3 4"},
                      Padding{"NotMpeg4", FILETYPE_AVI, FOURCC_MONO, VIDEO_UINT8, 2, 1, "\1\2", "",
                              "", "height 1: 1 2"},
                      Padding{"NullFirstPlane", FILETYPE_MPEG4, FOURCC_RGB_PLANAR, VIDEO_UINT8, 2,
                              1, "", "\3\4", "\5\6", kRefused + "plane 0 is null"},
                      Padding{"NullHalfWidthPlane", FILETYPE_MPEG4, FOURCC_YUV422_PLANAR,
                              VIDEO_UINT8, 2, 1, "\1\2", "\3", "", kRefused + "plane 2 is null"},
                      Padding{"LargestHeight", FILETYPE_MPEG4, FOURCC_MONO, VIDEO_UINT8, 1,
                              SIZE_MAX, "\1", "", "", kRefused + "the height is too large"},
                      Padding{"WidthTimesHeightOverflows", FILETYPE_MPEG4, FOURCC_MONO, VIDEO_UINT8,
                              SIZE_MAX / 2, 3, "\1", "", "",
                              kRefused + "the frame size does not fit in memory"}),
    [](auto const& info) { return info.param.label; });

// ---- The video reader ------------------------------------------------------

// What a reading device reports for 2 x 1 frames of three uint8 bands.
std::map<std::string, boost::any> videoFacts() {
  return {{"Width", 2.0},
          {"Height", 1.0},
          {"FrameRate", 25.0},
          {"NumFrames", 4.0},
          {"Bands", 3.0},
          {"DataType", std::u16string(u"uint8")},
          {"Codec", std::u16string(u"FFV1")},
          {"Format", std::u16string(u"MKV")},
          {"ExpectedFrameType", std::u16string(u"RGB24")}};
}

// A frame record over `planes` (not owned: they outlive the test's reads).
scripted::ScriptedRecord frame(std::vector<const unsigned char*> planes, size_t width,
                               VideoDataType type = VIDEO_UINT8,
                               FourCCType fourCC = FOURCC_RGB_PLANAR) {
  sluice::FrameRecordView view;
  view.planes = std::move(planes);
  view.width = width;
  view.height = 1;
  view.type = type;
  view.fourCC = fourCC;
  return {sluice::makeFrameRecord(view), std::nullopt};
}

// One element more than two columns of one row: a record that says it is three
// wide is still read within bounds by the scripted filter.
const unsigned char kPlanes[6][3] = {{1, 2}, {3, 4}, {5, 6}, {7, 8}, {9, 10}, {11, 12}};
const std::vector<const unsigned char*> kFirst{kPlanes[0], kPlanes[1], kPlanes[2]};
const std::vector<const unsigned char*> kSecond{kPlanes[3], kPlanes[4], kPlanes[5]};

std::unique_ptr<fmmfb2videoreader> openVideoReader() {
  scripted::setInitResult(videoFacts());
  auto reader = std::make_unique<fmmfb2videoreader>(u16(kExisting), DEVICE, CONVERTER, FILTER);
  reader->open();
  return reader;
}

std::pair<unsigned long, Bytes> readFrames(fmmfb2videoreader& reader, unsigned long count) {
  unsigned char* data = nullptr;
  unsigned long frames = reader.readVideo(&data, count);
  std::unique_ptr<unsigned char[]> owned(data);
  return {frames, data ? Bytes(data, data + frames * 6) : Bytes()};
}

std::string ascii(std::u16string const& text) { return std::string(text.begin(), text.end()); }

TEST(VideoReader, TakesTheDevicesFactsAndGathersFramesAsColumnMajorPlanes) {
  auto reader = openVideoReader();
  EXPECT_EQ("InputFrameType=RGB24 OutputFrameType=RawPlanarColumn",
            listed(scripted::lastMap("filter.add")));
  EXPECT_EQ("2 1 25 4 0.16 3 3 FFV1 MKV",
            (std::ostringstream() << reader->getWidth() << " " << reader->getHeight() << " "
                                  << reader->getFrameRate() << " " << reader->getNumFrames() << " "
                                  << reader->getDuration() << " " << reader->getNumBands() << " "
                                  << reader->getVideoDataType() << " " << ascii(reader->getCodec())
                                  << " " << ascii(reader->getFormat()))
                .str());
  scripted::queueRead({{frame(kFirst, 2), frame(kSecond, 2)}, 2});
  EXPECT_EQ(std::make_pair(2UL, Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}),
            readFrames(*reader, 0));
  EXPECT_EQ(std::make_pair(0UL, Bytes{}), readFrames(*reader, 5));
  EXPECT_TRUE(reader->isEndOfVideo());
  EXPECT_EQ((std::vector<unsigned long>{1, 5}), scripted::readCounts());
  // A device that cannot seek: the video-reading catalogue's text, as a plain Exception.
  EXPECT_EQ("Exception VideoRead: Could not seek to the requested frame.",
            outcomeOf([&] { reader->seekFrame(1); }));
}

// Facts a device must not report, and records that do not fit the buffer the
// facts size: refused, never written out of bounds.
struct VideoRefusal {
  char const* label;
  std::string key;  // the fact replaced (empty: none)
  boost::any value;
  scripted::ReadStep step;
};

using VideoReaderRefusal = ::testing::TestWithParam<VideoRefusal>;

TEST_P(VideoReaderRefusal, IsAnExceptionAndLeavesNoBuffer) {
  auto facts = videoFacts();
  if (!GetParam().key.empty()) facts[GetParam().key] = GetParam().value;
  scripted::setInitResult(facts);
  fmmfb2videoreader reader(u16(kExisting), DEVICE, CONVERTER, FILTER);
  if (!GetParam().key.empty()) {
    EXPECT_EQ("Exception VideoRead: The video file could not be read due to an unexpected error.",
              outcomeOf([&] { reader.open(); }));
    return;
  }
  reader.open();
  scripted::queueRead(GetParam().step);
  unsigned char* data = nullptr;
  EXPECT_EQ(
      "UnexpectedException Unexpected: Unexpected exception occurred when reading data from "
      "the file",
      outcomeOf([&] { reader.readVideo(&data, 2); }));
  EXPECT_EQ(nullptr, data);
}

INSTANTIATE_TEST_SUITE_P(
    FactsAndRecords, VideoReaderRefusal,
    ::testing::Values(
        VideoRefusal{"NoCodec", "Codec", boost::any(), {}},
        VideoRefusal{"TwoBands", "Bands", 2.0, {}}, VideoRefusal{"ZeroWidth", "Width", 0.0, {}},
        VideoRefusal{"FractionalFrames", "NumFrames", 1.5, {}},
        VideoRefusal{"SignedType", "DataType", std::u16string(u"int16"), {}},
        VideoRefusal{"WiderFrame", "", {}, {{frame(kFirst, 2), frame(kSecond, 3)}, 2}},
        VideoRefusal{"OtherType", "", {}, {{frame(kFirst, 2, VIDEO_INT8)}, 1}},
        VideoRefusal{"OneBand", "", {}, {{frame(kFirst, 2, VIDEO_UINT8, FOURCC_MONO)}, 1}},
        VideoRefusal{"FewerRecordsThanFrames", "", {}, {{frame(kFirst, 2)}, 2}}),
    [](auto const& info) { return info.param.label; });

}  // namespace
