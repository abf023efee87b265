// The event handlers: error texts become AudioWrite/VideoWrite exceptions with the
// catalogue's message; notices are owned and discarded.
#include <gtest/gtest.h>

#include <string>
#include <typeinfo>

#include "channel/EventHandler.h"
#include "errors/ErrorCatalogues.h"
#include "hostlib/multimedia/exceptions.h"

namespace hm = hostlib::multimedia;

namespace {

const std::string kFallback = "The operation failed due to an unexpected exception";
const std::string kFileCorrupt = "Unable to read the file. The file appears to be corrupt.";
const std::string kNoAudio = "File does not contain any audio.";

// An error as the channel service hands it over; counts its disposals.
class CountedError : public sluice::Error {
 public:
  CountedError(std::string text, int& disposals) : text(std::move(text)), disposals(disposals) {}
  char const* getMessage() const override { return text.c_str(); }
  void dispose() override {
    ++disposals;
    delete this;
  }

 private:
  ~CountedError() override = default;
  std::string text;
  int& disposals;
};

class CountedEvent : public sluice::Event {
 public:
  explicit CountedEvent(int& deletions) : deletions(deletions) {}
  ~CountedEvent() override { ++deletions; }
  char const* getText() const override { return "progress"; }

 private:
  int& deletions;
};

enum class Kind { Audio, Video };

struct ErrorCase {
  char const* label;
  Kind handler;
  std::string text;
  std::string message;
};

std::ostream& operator<<(std::ostream& out, ErrorCase const& c) { return out << c.label; }

class EventHandlerErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(EventHandlerErrors, RaisesTheCatalogueMessageUnderTheHandlersName) {
  ErrorCase const& c = GetParam();
  hm::AudioEventHandler audio;
  hm::VideoEventHandler video;
  hm::EventHandler& handler =
      c.handler == Kind::Audio ? static_cast<hm::EventHandler&>(audio) : video;
  int disposals = 0;
  try {
    handler.onError(new CountedError(c.text, disposals));
    FAIL() << "onError returned";
  } catch (hm::Exception const& e) {
    if (c.handler == Kind::Audio) {
      EXPECT_EQ(typeid(hm::AudioWriteException), typeid(e));
      EXPECT_STREQ("AudioWrite", e.name());
    } else {
      EXPECT_EQ(typeid(hm::VideoWriteException), typeid(e));
      EXPECT_STREQ("VideoWrite", e.name());
    }
    EXPECT_EQ(c.message, e.what());
  }
  EXPECT_EQ(1, disposals);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, EventHandlerErrors,
    ::testing::Values(
        ErrorCase{"PrefixAndId", Kind::Audio, "audiofilewriter:FileCorrupt", kFileCorrupt},
        ErrorCase{"IdAlone", Kind::Audio, "FileCorrupt", kFileCorrupt},
        ErrorCase{"TrailingBlank", Kind::Audio, "audiofilewriter:FileCorrupt ", kFallback},
        ErrorCase{"TrailingColon", Kind::Audio, "audiofilewriter:", kFallback},
        ErrorCase{"Empty", Kind::Audio, "", kFallback},
        ErrorCase{"TwoColonsLastCounts", Kind::Audio, "reader:FileCorrupt:NoAudio", kNoAudio},
        ErrorCase{"TwoColonsMiddleIgnored", Kind::Audio, "reader:NoAudio:", kFallback},
        ErrorCase{"CaseMatters", Kind::Audio, "reader:fileCorrupt", kFallback},
        ErrorCase{"AudioIdToVideoHandler", Kind::Video, "videofilewriter:NoAudio", kFallback},
        ErrorCase{"VideoId", Kind::Video, "videofilewriter:couldNotWriteFrame",
                  "Could not write a video frame."},
        ErrorCase{"VideoIdToAudioHandler", Kind::Audio, "x:couldNotWriteFrame", kFallback},
        ErrorCase{"SharedNameDifferentCase", Kind::Video, "x:InitializationFailed", kFallback}),
    [](::testing::TestParamInfo<ErrorCase> const& info) { return info.param.label; });

TEST(EventHandler, NullErrorRaisesTheFallbackMessage) {
  hm::AudioEventHandler handler;
  try {
    handler.onError(nullptr);
    FAIL() << "onError returned";
  } catch (hm::AudioWriteException const& e) {
    EXPECT_EQ(kFallback, e.what());
  }
}

TEST(EventHandler, NoticesAreDeletedAndNullIsIgnored) {
  hm::AudioEventHandler handler;
  int deletions = 0;
  handler.onNotice1(new CountedEvent(deletions));
  handler.onNotice2(new CountedEvent(deletions));
  EXPECT_EQ(2, deletions);
  handler.onNotice1(nullptr);
  handler.onNotice2(nullptr);
  handler.onNotice3(3, 4);
  handler.onNotice4("text");
  handler.onNotice4(nullptr);
}

TEST(EventHandler, CataloguesAreTheSharedOnes) {
  hm::AudioEventHandler audio;
  hm::VideoEventHandler video;
  EXPECT_EQ(&hm::audioErrorCatalogue(), &audio.getErrorCatalogue());
  EXPECT_EQ(&hm::videoErrorCatalogue(), &video.getErrorCatalogue());
}

}  // namespace
