#pragma once
// The host side of the resident loader's protocol: start or attach to the loader, erase,
// upload the image in framed commands and send the vectors.
#include <cstddef>
#include <cstdint>

#include "loader/host_bsl.h"

namespace quendal {

inline constexpr std::uint32_t kMaxFramePayload = 512;  // characters of a text payload
inline constexpr std::uint32_t kMaxFrameValues = 128;   // numbers of a value payload
inline constexpr std::uint32_t kFlashSegmentSize = 512;
inline constexpr std::uint32_t kLoaderAreaStart = 0xFA00;
inline constexpr std::uint32_t kLoaderAreaEnd = 0xFFFF;
// Reply buffers handed to BSLCommand / BSLCommandValues hold at least this many bytes.
inline constexpr std::size_t kLoaderReplySize = 32;

// Sum of the letter, the payload and the ".", modulo 65535.
std::uint32_t FrameChecksum(char letter, const char* payload, std::size_t length);
// Writes letter, payload, "." and the checksum with "%04X" and a carriage return; returns the
// frame's length, or 0 when it does not fit in `capacity` (one byte is kept for a zero).
std::size_t BuildFrame(char letter, const char* payload, std::size_t length, char* out,
                       std::size_t capacity);
// Formats numbers as "%04X" each, or "%05X" with extended addresses; returns the length.
std::size_t FormatFrameValues(const std::uint32_t* values, std::size_t count, bool extended,
                              char* out, std::size_t capacity);

// What a reply of `got` bytes to a frame means: `got` when the loader acknowledged it, -1
// when it refused it, else the exchange's own `failure` (or -1). Value frames ("X", "V")
// also take a reply holding "ERROR" as a refusal, text frames a bare carriage return.
Status ClassifyLoaderReply(const char* reply, std::uint32_t got, Status failure, bool valueFrame);
// The version in a reply to "g" ("+15+" gives 15); 0 when there is none.
int LoaderVersionFromReply(const char* reply);

// Return codes, by operation. "Driver" means a negative code of the serial driver
// (host/serial.h) passed through; kNoAttempt stands where `tries` is 0.

// Opens the port at 9600, starts the loader with the boot command (or finds it already
// running, also waiting at `rate`) and asks its version. The loader version (positive) or
// kOk; kMissingArgument (no port name), the codes of BSLInvocation (kNoLoader: the device
// has no working loader) and of the "g" frame's BSLCommand, kHandshakeFailed for a reply
// holding ERROR. The port is closed again on failure.
Status BSLConnect(HostBSL* host, const char* portName, std::uint32_t rate, bool reportProgress,
                  std::uint32_t tries);
// Closes the port if the engine holds it: 0 when it held none, else the driver's close result.
Status BSLDisconnect(HostBSL* host);
// Lends the engine a port that another object has open. kOk; kBadArgument when the read
// buffer or the name is missing.
Status BSLHandOff(HostBSL* host, PortHandle handle, char* readBuffer, const char* portName,
                  bool reportProgress, std::uint32_t tries);
// Gives a lent port back without closing it. Always kOk.
Status BSLTakeBack(HostBSL* host);

// Send one frame and classify the reply: the number of reply bytes when the loader took it;
// kRefused when it refused it, kNoAnswer when not connected or nothing came back,
// kBadArgument for a payload over kMaxFramePayload text characters or kMaxFrameValues
// numbers, kMissingArgument without a reply buffer or payload ("g" takes none), driver codes.
Status BSLCommand(HostBSL* host, char letter, const char* payload, std::uint32_t length,
                  char terminator, char* reply, std::uint32_t* elapsedMs);
Status BSLCommandValues(HostBSL* host, char letter, const std::uint32_t* values,
                        std::uint32_t count, char terminator, char* reply, std::uint32_t* elapsedMs,
                        bool extended);

// Sends "boot ZAVE" and does the loader's handshake at `rate`. kOk (also when the loader was
// already active); kNoLoader ("Quendal MISSING", or no "$" after the boot), kHandshakeFailed
// (ERROR, silence, no "#"), kNoAttempt, driver codes.
Status BSLInvocation(HostBSL* host, std::uint32_t rate);
// The handshake with a loader that already waits. kOk (also when it was already active);
// kHandshakeFailed, kNoAttempt, driver codes.
Status BSLAttach(HostBSL* host);
// What listens on the port at `rate`, opening it when the engine holds none: kLoaderActive
// ("?"), kLoaderWaiting ("$"), kNoAnswer (neither), driver codes. Never positive.
Status BSLCheck(HostBSL* host, const char* portName, std::uint32_t rate);

// Sets the write address. The reply's byte count; the codes of BSLCommand.
Status BSLSendAddress(HostBSL* host, std::uint32_t address, bool extended);
// Uploads the image text. Positive on success; kMissingArgument (no image), kBadArgument
// (text not starting with "@", a block reaching into the loader's area), kImageDoesNotFit
// (image_fit.h: refused before the first write), kCancelled (the progress hook said stop),
// and the codes of BSLSendAddress and BSLCommand for a block that failed every try.
Status BSLSendFirmware(HostBSL* host, bool extended);
// Sends the 16 vectors, after which the device restarts into its new firmware. The reply's
// byte count, or 0 when no acknowledgement came (the new firmware may start first);
// kRefused when the loader refused them, kNoAnswer or a driver code when the frame was
// never sent.
Status BSLSendVectors(HostBSL* host);
// Erases `count` information segments. The last reply's byte count (0 for no segment);
// kImageDoesNotFit, kNoAttempt, and the codes of BSLCommandValues.
Status BSLEraseINFO(HostBSL* host, std::uint32_t start, std::uint32_t count,
                    std::uint32_t segmentSize, bool extended);
// Erases the program flash from `start` to `end`, stepping over the loader's area.
// Positive (or 0 for an empty range); kBadArgument when `start` lies in the loader's area,
// kImageDoesNotFit, kCancelled, kNoAttempt, and the codes of BSLCommandValues.
Status BSLEraseFlash(HostBSL* host, std::uint32_t start, std::uint32_t end, bool extended);

}  // namespace quendal
