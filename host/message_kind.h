#pragma once
// The kinds of message the operator is shown. The update sequences and the web services
// both name them, so they live below either.
namespace quendal {

enum MessageKind : int {
  kMessageWarning = 0,
  kMessageError = 1,
  kMessageInformation = 2,
  kMessageConfirmation = 3,
  kMessagePlain = 4,
};

}  // namespace quendal
