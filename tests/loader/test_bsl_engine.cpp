// The loader engine against the simulated device, over a real pseudo-terminal with the
// real serial driver.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/timing.h"
#include "loader/bsl_engine.h"
#include "loader/device_types.h"
#include "loader/image_fit.h"
#include "sim/device.h"
#include "sim/pty_transport.h"
#include "tests/loader/image_memory.h"
#include "tests/support/temp_dir.h"

namespace quendal {
namespace {

using sim::DeviceState;
using sim::SimDevice;

struct ProgressCall {
  std::uint32_t total, done;
  int phase;
  char kind;
};

// "@" and "W" frames of an upload without retries: one address per segment, one block
// per 512 characters of its data.
std::uint32_t CleanUploadFrames(const std::string& text) {
  std::uint32_t frames = 0, data = 0;
  auto flush = [&] {
    frames += (data + 511) / 512;
    data = 0;
  };
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '@') {
      flush();
      ++frames;
      i += 6;
    } else {
      ++data;
      ++i;
    }
  }
  flush();
  return frames;
}

class LoaderEngine : public testing::Test {
 protected:
  // A device of the type table on a pty, and a loader host with a log.
  void Start(int type, std::uint32_t version,
             const std::function<void(sim::DeviceOptions*)>& adjust = {}) {
    DescribeDevice(type, version, &profile_);
    sim::DeviceOptions options = sim::OptionsForType(type, version);
    if (adjust) adjust(&options);
    device_ = std::make_unique<SimDevice>(options);
    transport_ = std::make_unique<sim::PtyTransport>(device_.get());
    ASSERT_EQ(transport_->Start(), 1);
    log_.Open(dir_.File("errors.txt").c_str(), kLogDetail);
    host_ = std::make_unique<HostBSL>(&log_);
    ASSERT_EQ(host_->constructorError, 0);
    // An instrument build embeds another image; the sensor cases use the sensor's own.
    if (type == kTypeDigitalSensor && std::string(host_->imageName.c_str()) != "Lurra 3.96") {
      ASSERT_EQ(BSLLoadTIFile(host_.get(), QUENDAL_SOURCE_DIR "/firmware/Lurra 3.96.txt"), 1);
    }
    host_->progress = [this](std::uint32_t total, std::uint32_t done, int phase, char kind) {
      std::lock_guard<std::mutex> lock(mu_);
      calls_.push_back({total, done, phase, kind});
      if (cancelAt_ && kind == 'W' && done >= cancelAt_) {
        if (!framesAtCancel_) framesAtCancel_ = Frames('W') + Frames('@');
        return 0;
      }
      return 1;
    };
  }

  const char* Port() const { return transport_->SlavePath().c_str(); }
  bool Extended() const { return profile_.extendedAddresses; }

  Status Connect() { return BSLConnect(host_.get(), Port(), profile_.loaderBaud, true, 3); }

  // The instrument sequence's order of loader operations.
  Status Flash() {
    Status rc = Connect();
    if (rc < 0) return rc;
    rc = BSLEraseINFO(host_.get(), profile_.infoStart, profile_.infoSegments,
                      profile_.infoSegmentSize, Extended());
    if (rc < 0) return rc;
    rc = BSLEraseFlash(host_.get(), profile_.flashStart, profile_.flashEnd, Extended());
    if (rc < 0) return rc;
    rc = BSLSendFirmware(host_.get(), Extended());
    if (rc < 0) return rc;
    return BSLSendVectors(host_.get());
  }

  // The device's memory holds exactly the image: its words where it has them, erased
  // bytes in the rest of the program flash and the information memory.
  void ExpectFlashHoldsImage() {
    std::vector<std::uint8_t> expected;
    std::vector<bool> touched;
    ASSERT_TRUE(test::DecodeImageText(host_->imageText, &expected, &touched));
    std::vector<std::uint8_t> flash = device_->FlashCopy();
    std::uint32_t infoEnd = profile_.infoStart + profile_.infoSegments * profile_.infoSegmentSize;
    int mismatches = 0;
    for (std::uint32_t a = 0; a < 0x100000 && mismatches < 5; ++a) {
      bool inFlash = a >= profile_.flashStart && a <= profile_.flashEnd &&
                     !(a >= kLoaderAreaStart && a <= kLoaderAreaEnd);
      bool inInfo = a >= profile_.infoStart && a < infoEnd;
      if (!touched[a] && !inFlash && !inInfo) continue;
      if (flash[a] != expected[a]) {
        ADD_FAILURE() << "address " << std::hex << a << ": device " << int(flash[a]) << ", image "
                      << int(expected[a]);
        ++mismatches;
      }
    }
    sim::VectorTable vectors = device_->Vectors();
    for (std::size_t i = 0; i < kVectorCount; ++i) EXPECT_EQ(vectors[i], host_->vectors[i]) << i;
  }

  std::uint32_t Frames(char letter) const { return device_->FramesReceived(letter); }

  std::string LogText() const { return test::ReadWholeFile(dir_.File("errors.txt")); }
  bool Logged(const std::string& text) const { return LogText().find(text) != std::string::npos; }

  std::vector<ProgressCall> Calls() {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }

  test::TempDir dir_;
  DiagnosticLog log_;
  DeviceProfile profile_;
  std::unique_ptr<SimDevice> device_;
  std::unique_ptr<sim::PtyTransport> transport_;
  std::unique_ptr<HostBSL> host_;
  std::mutex mu_;
  std::vector<ProgressCall> calls_;
  std::uint32_t cancelAt_ = 0;
  std::uint32_t framesAtCancel_ = 0;
};

TEST_F(LoaderEngine, UploadOfTheBuiltInImageToADigitalSensor) {
  Start(kTypeDigitalSensor, 396);
  ASSERT_GT(Flash(), 0) << LogText();
  ExpectFlashHoldsImage();
  EXPECT_TRUE(device_->SelfTestPasses());
  EXPECT_EQ(device_->State(), DeviceState::kFirmware) << "the vectors restart the firmware";
  EXPECT_EQ(host_->loaderVersion, 15);
  EXPECT_EQ(Frames('X'), 3u + (0xFA00 - 0x8000) / 512);
  EXPECT_TRUE(Logged("Quendal: BSLConnect connected to device running Quendal version 15\r\n"));
  EXPECT_TRUE(Logged("Quendal: BSLEraseINFO successful: 3 segments @ 10C0 ("));
  EXPECT_TRUE(Logged("Quendal: BSLEraseFlash successful: segment 8000 to F9FF ("));
  EXPECT_TRUE(Logged("Quendal: BSLSendFirmware successful ("));
  EXPECT_TRUE(Logged("Quendal: BSLSendVectors successful\r\n"));

  // Progress: erase in segments, upload in characters, each closed by one phase-2 call.
  std::vector<ProgressCall> calls = Calls();
  ASSERT_FALSE(calls.empty());
  const std::uint32_t segments = (0xF9FF - 0x8000) / 512;
  EXPECT_EQ(calls.front().kind, 'X');
  EXPECT_EQ(calls.front().total, segments);
  EXPECT_EQ(calls.front().done, 0u);
  int erasePhase2 = 0, uploadPhase2 = 0;
  std::uint32_t lastDone = 0;
  for (const ProgressCall& c : calls) {
    if (c.kind == 'X' && c.phase == 2) {
      ++erasePhase2;
      EXPECT_EQ(c.done, segments);
    }
    if (c.kind == 'W') {
      EXPECT_EQ(c.total, host_->imageTextLength);
      EXPECT_GE(c.done, lastDone);
      lastDone = c.done;
      if (c.phase == 2) ++uploadPhase2;
    }
  }
  EXPECT_EQ(erasePhase2, 1);
  EXPECT_EQ(uploadPhase2, 1);
  EXPECT_EQ(calls.back().kind, 'W');
  EXPECT_EQ(calls.back().done, host_->imageTextLength);
}

#ifdef QUENDAL_MKIMAGE
TEST_F(LoaderEngine, UploadWithExtendedAddressesAtTheLoadersOwnSpeed) {
  test::TempDir images;
  std::string file = images.File("RDV 1.23.txt");
  test::ProgramRun made = test::RunProgram(test::ShellQuote(QUENDAL_MKIMAGE) +
                                           " --flash 0x2100-0x1FEFF --info 0x1000:192 --seed 7 " +
                                           test::ShellQuote(file));
  ASSERT_EQ(made.status, 0) << made.output;
  Start(kTypeRdv, 123);
  ASSERT_EQ(BSLLoadTIFile(host_.get(), file.c_str()), 1);
  ASSERT_NE(host_->imageText.find("@1"), std::string::npos) << "segments above 0xFFFF";

  ASSERT_GT(Connect(), 0) << LogText();
  EXPECT_EQ(transport_->HostBaud(), 57600u) << "the host follows the loader's speed";
  ASSERT_GT(BSLEraseINFO(host_.get(), 0x1000, 3, 64, true), 0);
  ASSERT_GT(BSLEraseFlash(host_.get(), 0x2100, 0x1FF00, true), 0);
  // 0x2100 .. 0xF900, then 0x10000 .. 0x1FE00: never the loader's own area.
  EXPECT_EQ(Frames('X'), 3u + 109u + 128u);
  EXPECT_EQ(device_->Counters().framesRefused, 0u);
  ASSERT_GT(BSLSendFirmware(host_.get(), true), 0) << LogText();
  ASSERT_GT(BSLSendVectors(host_.get()), 0);
  ExpectFlashHoldsImage();
  EXPECT_TRUE(device_->SelfTestPasses());
}
#endif

TEST_F(LoaderEngine, AddressFormsAndBlockSplitting) {
  struct Case {
    std::string text;
    bool extended;
    std::uint32_t lastAddress;
    std::uint32_t addresses, blocks;
  } cases[] = {
      // 600 characters: one block of 512 and one of 88; the loader moves on by itself.
      {"@08000" + std::string(600, 'A'), false, 0x8000, 1, 2},
      {"@1A000" + std::string(8, '0'), true, 0x1A000, 1, 1},
      {"@1A000" + std::string(8, '0'), false, 0xA000, 1, 1},
      {"@08000" + std::string(4, '1') + "@08100" + std::string(8, '2'), false, 0x8100, 2, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 12));
    // The device takes only the address form of its own layout.
    if (c.extended) {
      Start(kTypeRdv, 123);
    } else {
      Start(kTypeDigitalSensor, 396);
    }
    ASSERT_GT(Connect(), 0) << LogText();
    host_->imageText = c.text;
    host_->imageTextLength = static_cast<std::uint32_t>(c.text.size());
    EXPECT_GT(BSLSendFirmware(host_.get(), c.extended), 0) << LogText();
    EXPECT_EQ(device_->Counters().lastAddress, c.lastAddress);
    EXPECT_EQ(Frames('@'), c.addresses);
    EXPECT_EQ(Frames('W'), c.blocks);
    BSLDisconnect(host_.get());
    host_.reset();
    transport_.reset();
  }
}

TEST_F(LoaderEngine, RetriedFramesStillLeaveTheImage) {
  struct Case {
    const char* fault;
    std::uint64_t seed;
  } cases[] = {
      // Per frame, or per byte of all traffic (a block is over 500 bytes).
      {"refuse%0.05", 1},      {"corrupt-in%0.0002", 2}, {"drop-in%0.0002", 3},
      {"corrupt-out%0.01", 4}, {"refuse@2+2:W", 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    Start(kTypeDigitalSensor, 396);
    ASSERT_GT(Connect(), 0) << LogText();
    host_->tries = 10;  // as the digital-sensor sequence sets it
    sim::FaultPlan plan;
    plan.seed = c.seed;
    sim::FaultRule rule;
    std::string error;
    ASSERT_TRUE(sim::ParseFaultRule(c.fault, &rule, &error)) << error;
    plan.rules.push_back(rule);
    device_->SetFaults(plan);
    ASSERT_GT(BSLEraseINFO(host_.get(), 0x1000, 3, 64, false), 0) << LogText();
    ASSERT_GT(BSLEraseFlash(host_.get(), 0x8000, 0xF9FF, false), 0) << LogText();
    ASSERT_GT(BSLSendFirmware(host_.get(), false), 0) << LogText();
    device_->SetFaults({});
    ASSERT_GT(BSLSendVectors(host_.get()), 0);
    ExpectFlashHoldsImage();
    EXPECT_TRUE(device_->SelfTestPasses());
    // The fault did happen: more frames arrived than a clean upload needs.
    std::uint32_t clean = 3 + 61 + CleanUploadFrames(host_->imageText);
    EXPECT_GT(Frames('X') + Frames('@') + Frames('W'), clean);
    host_.reset();
    transport_.reset();
  }
}

TEST_F(LoaderEngine, ARefusedBlockIsReaddressedBeforeEveryRetry) {
  Start(kTypeDigitalSensor, 396);
  ASSERT_GT(Connect(), 0);
  std::string text = "@08000" + std::string(600, 'A');
  host_->imageText = text;
  host_->imageTextLength = static_cast<std::uint32_t>(text.size());
  sim::FaultRule rule;
  std::string error;
  ASSERT_TRUE(sim::ParseFaultRule("refuse@2+2:W", &rule, &error));
  device_->SetFaults({{rule}, 1, false});
  ASSERT_GT(BSLSendFirmware(host_.get(), false), 0) << LogText();
  // The second block (0x8100) failed twice: each retry is preceded by its address.
  EXPECT_EQ(Frames('W'), 4u);
  EXPECT_EQ(Frames('@'), 3u);
  EXPECT_EQ(device_->Counters().lastAddress, 0x8100u);
  std::vector<std::uint8_t> written = device_->ReadFlash(0x8100, 44);
  EXPECT_EQ(written, std::vector<std::uint8_t>(44, 0xAA));

  // A block refused on every try stops the upload with the loader's answer.
  device_->SetFaults({{{sim::FaultKind::kRefuse, 'W', 1, 100, 0, 0, 1}}, 1, false});
  EXPECT_EQ(BSLSendFirmware(host_.get(), false), kRefused);
  EXPECT_EQ(Frames('W'), 4u + 3u);
  EXPECT_TRUE(Logged("Quendal: BSLSendFirmware failed with error -1 ("));
}

TEST_F(LoaderEngine, CancelStopsAtOnce) {
  Start(kTypeDigitalSensor, 396);
  ASSERT_GT(Connect(), 0);
  cancelAt_ = 2048;
  EXPECT_EQ(BSLSendFirmware(host_.get(), false), kCancelled);
  ASSERT_GT(framesAtCancel_, 0u);
  DSSleep(300);
  EXPECT_EQ(Frames('W') + Frames('@'), framesAtCancel_) << "nothing was sent after the cancel";
  std::vector<ProgressCall> calls = Calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back().phase, 2);
  EXPECT_TRUE(Logged("Quendal: BSLSendFirmware failed with error -40 ("));

  // The flash erase asks every tenth segment and stops too.
  cancelAt_ = 0;
  host_->progress = [](std::uint32_t, std::uint32_t done, int, char) { return done < 10 ? 1 : 0; };
  std::uint32_t erasedBefore = Frames('X');
  EXPECT_EQ(BSLEraseFlash(host_.get(), 0x8000, 0xF9FF, false), kCancelled);
  EXPECT_EQ(Frames('X') - erasedBefore, 10u);
}

TEST_F(LoaderEngine, VectorsWithoutAnAnswerStillEndWithZero) {
  Start(kTypeDigitalSensor, 396);
  ASSERT_GT(Connect(), 0);
  sim::FaultRule rule;
  std::string error;
  ASSERT_TRUE(sim::ParseFaultRule("drop-out@1+10:V,bytes=2", &rule, &error)) << error;
  device_->SetFaults({{rule}, 1, false});
  EXPECT_EQ(BSLSendVectors(host_.get()), 0);
  EXPECT_TRUE(Logged("Quendal: BSLSendVectors with digital sensor didn't hear ACK\r\n"));
  EXPECT_TRUE(Logged("Quendal: BSLSendVectors successful\r\n"));
}

TEST_F(LoaderEngine, ARefusedVectorFrameFailsTheStep) {
  Start(kTypeDigitalSensor, 396);
  ASSERT_GT(Connect(), 0);
  sim::FaultRule rule;
  std::string error;
  ASSERT_TRUE(sim::ParseFaultRule("refuse@1+10:V", &rule, &error)) << error;
  device_->SetFaults({{rule}, 1, false});
  EXPECT_EQ(BSLSendVectors(host_.get()), kRefused);
  EXPECT_TRUE(Logged("Quendal: BSLSendVectors failed with error -1\r\n"));
  EXPECT_FALSE(Logged("BSLSendVectors successful"));
}

// With the device's layout known, an image that does not fit it leaves the memory as it was:
// no erase and no write frame is sent.
TEST_F(LoaderEngine, NothingIsErasedForAnImageThatDoesNotFit) {
  const std::string images[] = {
      "@01100" + std::string(512, 'A') + "@08000AAAA",  // a data logger's layout
      "@0F9F0" + std::string(128, 'A'),                 // crosses 0xFA00
      "@1A000AAAA",                                     // no extended addresses here
      "",                                               // vectors only
  };
  for (const std::string& image : images) {
    SCOPED_TRACE(image.substr(0, 12));
    Start(kTypeDigitalSensor, 396);
    ASSERT_GT(Connect(), 0) << LogText();
    host_->target = &profile_;
    host_->imageText = image;
    host_->imageTextLength = static_cast<std::uint32_t>(image.size());
    const std::vector<std::uint8_t> before = device_->FlashCopy();
    EXPECT_EQ(BSLEraseINFO(host_.get(), profile_.infoStart, profile_.infoSegments,
                           profile_.infoSegmentSize, false),
              kImageDoesNotFit);
    EXPECT_EQ(BSLEraseFlash(host_.get(), profile_.flashStart, profile_.flashEnd, false),
              kImageDoesNotFit);
    if (!image.empty()) {
      EXPECT_EQ(BSLSendFirmware(host_.get(), false), kImageDoesNotFit);
    }
    EXPECT_EQ(Frames('X'), 0u);
    EXPECT_EQ(Frames('W'), 0u);
    EXPECT_TRUE(device_->FlashCopy() == before);
    EXPECT_TRUE(Logged("BSLEraseINFO refused the image: ")) << LogText();
    BSLDisconnect(host_.get());
    host_.reset();
    transport_.reset();
  }
}

// Without a layout to check against, a block still never runs into the loader's area.
TEST_F(LoaderEngine, NoBlockCrossesIntoTheLoadersArea) {
  Start(kTypeDigitalSensor, 396);
  ASSERT_GT(Connect(), 0);
  host_->imageText = "@0F9F0" + std::string(128, '0');
  host_->imageTextLength = static_cast<std::uint32_t>(host_->imageText.size());
  const std::vector<std::uint8_t> before = device_->FlashCopy();
  EXPECT_EQ(BSLSendFirmware(host_.get(), false), kBadArgument);
  EXPECT_EQ(Frames('W'), 0u);
  EXPECT_TRUE(device_->FlashCopy() == before);
}

TEST_F(LoaderEngine, ConnectOutcomes) {
  // Without a loader the shell says so; the probe that follows finds nothing either.
  Start(kTypeDigitalSensor, 396, [](sim::DeviceOptions* o) { o->shell.hasLoader = false; });
  EXPECT_EQ(Connect(), kNoLoader);
  EXPECT_FALSE(host_->connected);
  EXPECT_TRUE(Logged("Quendal: BSLConnect failed to connect to device (error -112)\r\n"));
  EXPECT_TRUE(Logged("BSLCheck didn't get a response from the Quendal"));
  EXPECT_EQ(device_->State(), DeviceState::kFirmware);
  host_.reset();
  transport_.reset();

  // A loader that is already active (a second Start after a failed one) is used as it is.
  Start(kTypeDigitalSensor, 396);
  ASSERT_GT(Connect(), 0);
  EXPECT_EQ(device_->State(), DeviceState::kLoaderActive);
  ASSERT_EQ(BSLDisconnect(host_.get()), 1);
  EXPECT_EQ(Connect(), 15);
  EXPECT_TRUE(Logged("Quendal: BSLInvocation found the Quendal already active\r\n"));

  // An empty port name, and a port that is not there.
  EXPECT_EQ(BSLConnect(host_.get(), "", 9600, false, 3), kMissingArgument);
  BSLDisconnect(host_.get());
  EXPECT_LT(BSLConnect(host_.get(), dir_.File("no-such-port").c_str(), 9600, false, 3), 0);
  EXPECT_TRUE(Logged("BSLConnect received error while opening serial port (-2)"));
}

TEST_F(LoaderEngine, HandOffCheckAttachAndTakeBack) {
  Start(kTypeDigitalSensor, 396, [](sim::DeviceOptions* o) { o->blankFlash = true; });
  EXPECT_EQ(device_->State(), DeviceState::kLoaderWaiting);

  // The session's open link is lent to the engine and taken back without being closed.
  DeviceLink session;
  ASSERT_EQ(DSOpen(&session, Port(), 9600), 1);
  EXPECT_EQ(BSLHandOff(host_.get(), session.handle, nullptr, Port(), true, 10), kBadArgument);
  ASSERT_EQ(BSLHandOff(host_.get(), session.handle, session.readBuffer, Port(), true, 0), 1);
  EXPECT_EQ(host_->tries, 3u);
  EXPECT_EQ(BSLCheck(host_.get(), Port(), 9600), kLoaderWaiting);
  EXPECT_EQ(BSLAttach(host_.get()), 1);
  EXPECT_EQ(device_->State(), DeviceState::kLoaderActive);
  EXPECT_EQ(BSLCheck(host_.get(), Port(), 9600), kLoaderActive);
  EXPECT_EQ(BSLAttach(host_.get()), 1) << "an active loader needs no handshake";
  EXPECT_TRUE(Logged("Quendal: BSLAttach found the Quendal already active\r\n"));
  EXPECT_EQ(BSLTakeBack(host_.get()), 1);
  EXPECT_FALSE(host_->connected);
  host_.reset();  // must not close the lent port

  std::uint32_t written = 0;
  ASSERT_EQ(DSWrite(&session, "g.0095\r", 7, &written), 7) << "the session's port is still open";
  ASSERT_EQ(DSWait(&session, 1000, '\r'), '\r');
  char reply[32] = {};
  std::uint32_t got = 0;
  DSRead(&session, reply, sizeof reply - 1, &got);
  EXPECT_STREQ(reply, "+15+\r");

  // A shell on the line answers neither "$" nor "?".
  EXPECT_EQ(DSClose(&session), 1);
}

TEST_F(LoaderEngine, CheckOnASilentOrShellLine) {
  Start(kTypeDigitalSensor, 396);
  EXPECT_EQ(BSLCheck(host_.get(), Port(), 9600), kNoAnswer);
  // A port opened only to probe is not kept when no loader answered on it.
  EXPECT_FALSE(host_->connected);
  ASSERT_GE(DSOpen(&host_->link, Port(), 9600), 0);
  host_->connected = true;
  device_->GoSilent(5000);
  EXPECT_EQ(BSLAttach(host_.get()), kHandshakeFailed);
  EXPECT_TRUE(Logged("Quendal: BSLAttach failed with error -110\r\n"));
}

}  // namespace
}  // namespace quendal
