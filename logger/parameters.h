#pragma once
// One command per logger setting: direction 0 reads the value from the logger into the
// given LoggerInfo field, 1 writes the field's value to the logger. Each tests its
// capability in the link's LoggerInfo first and returns -1 without sending when it is
// missing; the settings bit that DeviceSettings runs it for is given with each.
#include <cstdint>

#include "host/bounded_text.h"
#include "host/status.h"
#include "logger/logger_link.h"

namespace quendal {

inline constexpr int kRead = 0;
inline constexpr int kWrite = 1;

// Value meaning "the PC's own time zone" when a time zone is written.
inline constexpr std::int32_t kTimeZoneFromPc = -2;

Status NameCommand(LoggerLink* link, BoundedText<8>* name, int direction);            // bit 0
Status SNCommand(LoggerLink* link, BoundedText<15>* serialNumber, int direction);     // bit 1
Status TraitCommand(LoggerLink* link, std::uint32_t* trait, int direction);           // bit 3
Status WakeCommand(LoggerLink* link, std::int32_t* wake, int direction);              // bit 4
Status PortsCommand(LoggerLink* link, std::uint8_t* ports, int direction);            // bit 5
Status PADCCommand(LoggerLink* link, std::int32_t* padc, int direction);              // bit 6
Status DeviceIDCommand(LoggerLink* link, BoundedText<8>* deviceId, int direction);    // bit 7
Status DataParameterCommand(LoggerLink* link, std::int32_t* value, int direction);    // bit 8
Status RmodeCommand(LoggerLink* link, std::int32_t* radioMode, int direction);        // bit 9
Status DepthCommand(LoggerLink* link, std::uint8_t* depths, int direction);           // bit 13
Status SiteCommand(LoggerLink* link, BoundedText<25>* site, int direction);           // bit 14
Status LatitudeCommand(LoggerLink* link, double* latitude, int direction);            // bit 15
Status LongitudeCommand(LoggerLink* link, double* longitude, int direction);          // bit 16
Status TimeZoneCommand(LoggerLink* link, std::int32_t* timeZone, int direction);      // bit 17
Status APNCommand(LoggerLink* link, BoundedText<35>* apn, int direction);             // bit 18
Status APNUserCommand(LoggerLink* link, BoundedText<35>* user, int direction);        // bit 19
Status APNPasswdCommand(LoggerLink* link, BoundedText<35>* password, int direction);  // bit 20
Status HostCommand(LoggerLink* link, BoundedText<63>* host, int direction);           // bit 21
Status AuthKeyCommand(LoggerLink* link, BoundedText<32>* key, int direction);         // bit 22
Status IPPortCommand(LoggerLink* link, std::uint32_t* ipPort, int direction);         // bit 23
Status ReportCommand(LoggerLink* link, std::int32_t* reportMode, int direction);      // bit 24
Status OrveBuildCommand(LoggerLink* link, BoundedText<16>* build, int direction);     // bit 27
// which 1: the set "-adc30" (bit 25); 2: the set "-adc15" (bit 26). Five bytes each.
Status ADCcalCommand(LoggerLink* link, int which, std::uint8_t* slopes, std::uint8_t* offsets,
                     int direction);

}  // namespace quendal
