// The check for a newer updater: one request to the version service, its answer read and
// told to the operator, and the browser opened only on a web address.
#include <QUrl>

#include "host/message_kind.h"
#include "web/frm_web.h"
#include "web/version_reply.h"

namespace quendal {

static_assert(TfrmWeb::kParseError == kVersionReplyUnreadable);

VersionReply ParseVersionReply(const QString& text) {
  const VersionText parsed = ParseVersionText(text.toUtf8().toStdString());
  VersionReply reply;
  reply.code = parsed.code;
  reply.version = parsed.version;
  reply.address = QString::fromStdString(parsed.address);
  return reply;
}

std::int32_t TfrmWeb::CheckVersion(std::uint32_t currentVersion, const QString& versionFinderPath,
                                   bool quiet, const QString& title) {
  if (versionFinderPath.isEmpty() || currentVersion == 0) return 0;
  // A check already waiting answers for both.
  if (busy_ || Quitting()) return 0;
  OperationEnd end{this};
  busy_ = true;
  const Reply reply = Get(versionFinderPath);
  busy_ = false;

  VersionReply parsed;
  QString text;
  if (!reply.ok) {
    parsed.code = kConnectError;
    text = QString("Error connecting to Orvelle's version check service.\n") +
           "This feature requires your computer to be connected \n" + "to the internet.\n" +
           "\n\nPlease make a connection to the internet and try again.";
    if (!reply.error.isEmpty()) text += "\n\nError: " + reply.error;
  } else {
    parsed = ParseVersionReply(QString::fromUtf8(reply.body));
    if (parsed.code < 0) {
      text = QString("Error parsing the version information returned by \n") +
             "Orvelle's version check service.\n" + "[error " + QString::number(parsed.code) + "]" +
             "\n\nPlease try again or contact Orvelle for help.";
    }
  }
  if (parsed.code < 0) {
    Log(QString("Version check of %1 failed (%2): %3")
            .arg(versionFinderPath)
            .arg(parsed.code)
            .arg(reply.ok ? QString::fromUtf8(reply.body.left(200)) : reply.error));
    if (!quiet) ShowWebMessage(text, "Version Check Error", false, kMessageError);
    return 0;
  }

  const qint64 mine = currentVersion;
  if (mine < parsed.version) {
    const bool download = parsed.address.contains(".exe");
    if (download) {
      text = "There is newer version of " + title + " available for download." +
             "\n\nWould you like to download this new version with your web browser now?";
    } else {
      text = "There is information about a newer version of " + title + "\navailable at " +
             parsed.address + "\n\nWould you like to visit this page with your web browser now?";
    }
    if (ShowWebMessage(text, "New Version Available", true, kMessageInformation)) {
      OpenAddress(parsed.address, title);
    }
  } else if (mine == parsed.version && !quiet) {
    ShowWebMessage("You are using the latest version of " + title + ".", "Version Finder", false,
                   kMessageInformation);
  } else if (mine > parsed.version && !quiet) {
    ShowWebMessage("You are running a newer version of " + title +
                       "\nthan is available from Orvelle's web site.",
                   "Version Finder", false, kMessageInformation);
  }
  return parsed.version;
}

void TfrmWeb::OpenAddress(const QString& address, const QString& title) {
  // Whatever the service says, only a web page may reach the browser: a "file:" or script
  // address would run on this computer.
  const QUrl url(address, QUrl::StrictMode);
  const QString scheme = url.scheme().toLower();
  if (!url.isValid() || (scheme != "http" && scheme != "https") || url.host().isEmpty()) {
    Log("Refused to open a version address that is no web address: " + address);
    ShowWebMessage(title + " only opens web (http or https) addresses in your web browser.\n" +
                       "The version check service gave this address:\n" + address,
                   "Web Browser Launch Error", false, kMessageWarning);
    return;
  }
  if (dialogs.openBrowser && dialogs.openBrowser(url)) return;
  Log("The web browser could not be launched for " + address);
  ShowWebMessage(title + " had trouble launching your web browser.\n" +
                     "Please try manually going to:\n" + address,
                 "Web Browser Launch Error", false, kMessageWarning);
}

}  // namespace quendal
