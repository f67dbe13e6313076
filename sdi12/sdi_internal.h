#pragma once
// Shared by the files of the SDI-12 layer only.
#include <cstdarg>

#include "host/diagnostic_log.h"
#include "sdi12/sdi_sensor.h"

namespace quendal {

inline constexpr const char* kSdiSource = "OrveSDI12";

// Every step of this layer is logged at the detail level under one source name.
inline void SdiLog(SdiSensorLink* sdi, const char* format, ...)
    __attribute__((format(gnu_printf, 2, 3)));

inline void SdiLog(SdiSensorLink* sdi, const char* format, ...) {
  if (!sdi || !sdi->log) return;
  va_list args;
  va_start(args, format);
  sdi->log->VPrint(kLogDetail, kSdiSource, format, args);
  va_end(args);
}

}  // namespace quendal
