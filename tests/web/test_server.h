#pragma once
// A web service on 127.0.0.1 for the web tests: version documents, the front page and the
// feedback script, recording every request as it came. The feedback body is kept raw and
// read by the tests' own multipart reader, not by the server library's.
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quendal::test {

struct SeenRequest {
  std::string method;
  std::string path;
  std::string accept;
  std::string userAgent;
  std::string cookie;
  std::string contentType;
  std::string body;
};

struct FormPart {
  std::string name;
  std::string fileName;
  bool hasFileName = false;
  std::string contentType;
  std::string body;
};

// The parts of a multipart/form-data body in the order they came.
inline std::vector<FormPart> ReadMultipart(const std::string& contentType,
                                           const std::string& body) {
  std::vector<FormPart> parts;
  const auto at = contentType.find("boundary=");
  if (at == std::string::npos) return parts;
  std::string boundary = contentType.substr(at + 9);
  if (!boundary.empty() && boundary.front() == '"')
    boundary = boundary.substr(1, boundary.find('"', 1) - 1);
  const std::string delimiter = "--" + boundary;
  auto attribute = [](const std::string& line, const std::string& key, bool* found) {
    const auto start = line.find(key + "=\"");
    if (start == std::string::npos) return std::string();
    if (found) *found = true;
    const auto from = start + key.size() + 2;
    return line.substr(from, line.find('"', from) - from);
  };
  std::size_t pos = body.find(delimiter);
  while (pos != std::string::npos) {
    pos += delimiter.size();
    if (body.compare(pos, 2, "--") == 0) break;
    pos += 2;
    const auto headersEnd = body.find("\r\n\r\n", pos);
    if (headersEnd == std::string::npos) break;
    const auto next = body.find("\r\n" + delimiter, headersEnd + 4);
    if (next == std::string::npos) break;
    FormPart part;
    const std::string headers = body.substr(pos, headersEnd - pos);
    std::size_t lineStart = 0;
    while (lineStart < headers.size()) {
      auto lineEnd = headers.find("\r\n", lineStart);
      if (lineEnd == std::string::npos) lineEnd = headers.size();
      const std::string line = headers.substr(lineStart, lineEnd - lineStart);
      std::string lower = line;
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (lower.rfind("content-disposition:", 0) == 0) {
        part.name = attribute(line, "; name", nullptr);
        part.fileName = attribute(line, "filename", &part.hasFileName);
      } else if (lower.rfind("content-type:", 0) == 0) {
        part.contentType = line.substr(line.find(':') + 1);
        part.contentType.erase(0, part.contentType.find_first_not_of(' '));
      }
      lineStart = lineEnd + 2;
    }
    part.body = body.substr(headersEnd + 4, next - headersEnd - 4);
    parts.push_back(std::move(part));
    pos = next + 2;
  }
  return parts;
}

class TestServer {
 public:
  TestServer() {
    server_.set_pre_routing_handler([](const httplib::Request& request, httplib::Response&) {
      // The library would parse a multipart body itself and keep none of it raw.
      auto& raw = const_cast<httplib::Request&>(request);
      const auto type = raw.headers.find("Content-Type");
      if (type != raw.headers.end()) {
        raw.headers.emplace("X-Original-Content-Type", type->second);
        type->second = "application/octet-stream";
      }
      return httplib::Server::HandlerResponse::Unhandled;
    });
    server_.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
      Record(request);
      const auto until =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(getDelayMs.load());
      while (!stopping_ && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      std::lock_guard<std::mutex> lock(mutex_);
      const auto redirect = redirects_.find(request.path);
      if (redirect != redirects_.end()) {
        response.set_header("Set-Cookie", "visit=42; Path=/");
        response.set_redirect(redirect->second);
        return;
      }
      const auto document = documents_.find(request.path);
      if (request.path == "/") {
        response.set_content("<html><body>Orvelle</body></html>", "text/html");
      } else if (document != documents_.end()) {
        response.set_content(document->second, "text/plain");
      } else {
        response.status = 404;
      }
    });
    server_.Post("/php-bin/app_feedback.php",
                 [this](const httplib::Request& request, httplib::Response& response) {
                   Record(request);
                   const auto until = std::chrono::steady_clock::now() +
                                      std::chrono::milliseconds(postDelayMs.load());
                   while (!stopping_ && std::chrono::steady_clock::now() < until) {
                     std::this_thread::sleep_for(std::chrono::milliseconds(10));
                   }
                   std::lock_guard<std::mutex> lock(mutex_);
                   response.status = postStatus_;
                   response.set_content(postReply_, "text/html");
                 });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // A stop before the accept loop runs would be lost and leave it waiting forever.
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  ~TestServer() {
    stopping_ = true;
    server_.stop();
    thread_.join();
  }

  std::string Address() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int Port() const { return port_; }

  void SetDocument(const std::string& path, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    documents_[path] = text;
  }
  void SetRedirect(const std::string& from, const std::string& to) {
    std::lock_guard<std::mutex> lock(mutex_);
    redirects_[from] = to;
  }
  void SetFeedbackReply(const std::string& text, int status = 200) {
    std::lock_guard<std::mutex> lock(mutex_);
    postReply_ = text;
    postStatus_ = status;
  }
  std::vector<SeenRequest> Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  std::vector<SeenRequest> Posts() const {
    std::vector<SeenRequest> posts;
    for (auto& request : Requests()) {
      if (request.method == "POST") posts.push_back(request);
    }
    return posts;
  }

  std::atomic<int> postDelayMs{0};
  std::atomic<int> getDelayMs{0};

 private:
  void Record(const httplib::Request& request) {
    SeenRequest seen{request.method,
                     request.path,
                     request.get_header_value("Accept"),
                     request.get_header_value("User-Agent"),
                     request.get_header_value("Cookie"),
                     request.get_header_value("X-Original-Content-Type"),
                     request.body};
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(std::move(seen));
  }

  httplib::Server server_;
  std::thread thread_;
  int port_ = -1;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::map<std::string, std::string> documents_;
  std::map<std::string, std::string> redirects_;
  std::string postReply_ = "<html>Script Completed</html>";
  int postStatus_ = 200;
  std::vector<SeenRequest> requests_;
};

}  // namespace quendal::test
