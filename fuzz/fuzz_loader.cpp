// The loader engine's answer handling: reply classification, the version reply, and the
// handshakes, erase, upload and vector steps against a device that answers with the input.
#include <cstdint>
#include <string>

#include "fuzz/fake_device.h"
#include "loader/bsl_engine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quendal;
  fuzz::Input input(data, size);
  const std::string reply = input.TakeString(kLoaderReplySize - 1);
  ClassifyLoaderReply(reply.c_str(), static_cast<std::uint32_t>(reply.size()), 0, false);
  ClassifyLoaderReply(reply.c_str(), static_cast<std::uint32_t>(reply.size()), kNoAnswer, true);
  LoaderVersionFromReply(reply.c_str());

  HostBSL host(nullptr);
  host.imageText = "@08000" + std::string(1100, 'A') + "@1A000ABCD";
  host.imageTextLength = static_cast<std::uint32_t>(host.imageText.size());
  const int mode = input.TakeChoice(3);
  fuzz::SetReplies(input.TakeReplies(64));
  if (mode == 0) {
    BSLConnect(&host, "fuzz", 57600, true, 2);
  } else {
    static char buffer[kReadBufferBytes];
    BSLHandOff(&host, 7, buffer, "fuzz", true, 2);
    if (mode == 1) BSLCheck(&host, "fuzz", 9600);
    BSLAttach(&host);
  }
  BSLEraseINFO(&host, 0x1000, 3, 64, mode == 2);
  BSLEraseFlash(&host, 0xF600, 0x10400, mode == 2);
  BSLSendFirmware(&host, mode == 2);
  BSLSendVectors(&host);
  BSLTakeBack(&host);
  BSLDisconnect(&host);
  return 0;
}
