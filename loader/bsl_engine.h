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

Status BSLConnect(HostBSL* host, const char* portName, std::uint32_t rate, bool reportProgress,
                  std::uint32_t tries);
Status BSLDisconnect(HostBSL* host);
Status BSLHandOff(HostBSL* host, PortHandle handle, char* readBuffer, const char* portName,
                  bool reportProgress, std::uint32_t tries);
Status BSLTakeBack(HostBSL* host);

Status BSLCommand(HostBSL* host, char letter, const char* payload, std::uint32_t length,
                  char terminator, char* reply, std::uint32_t* elapsedMs);
Status BSLCommandValues(HostBSL* host, char letter, const std::uint32_t* values,
                        std::uint32_t count, char terminator, char* reply, std::uint32_t* elapsedMs,
                        bool extended);

Status BSLInvocation(HostBSL* host, std::uint32_t rate);
Status BSLAttach(HostBSL* host);
Status BSLCheck(HostBSL* host, const char* portName, std::uint32_t rate);

Status BSLSendAddress(HostBSL* host, std::uint32_t address, bool extended);
Status BSLSendFirmware(HostBSL* host, bool extended);
Status BSLSendVectors(HostBSL* host);
Status BSLEraseINFO(HostBSL* host, std::uint32_t start, std::uint32_t count,
                    std::uint32_t segmentSize, bool extended);
Status BSLEraseFlash(HostBSL* host, std::uint32_t start, std::uint32_t end, bool extended);

}  // namespace quendal
