// update-host: the update host for tests, the demo and the download benchmark. An HTTPS
// server (cpp-httplib over OpenSSL) that serves one directory and can misbehave on request.
//
//   update-host --root DIR --cert CERT.pem --key KEY.pem
//               [--address 127.0.0.1] [--port 443] [--script FILE]
//
// GET /a/b answers the file DIR/a/b (404 when there is none; ".." is never followed). Each
// request is logged on standard output as one line, "request GET /a/b", before it is
// answered; "listening ADDRESS:PORT" is the first line, once the port is bound. SIGTERM or
// SIGINT stops the server.
//
// The script changes the answer for chosen paths, one rule a line ("#" starts a comment). It
// is read again for every request, so a test may change the behaviour between requests:
//
//   /path status CODE              CODE with a short text body
//   /path redirect CODE URL        CODE with "Location: URL" and no body
//   /path short                    announces the file's size, sends one byte less, closes
//   /path long                     announces the file's size, sends one byte more
//   /path trickle PIECE DELAY_MS   the file in PIECE-byte pieces, DELAY_MS apart
//   /path hold BYTES               sends BYTES of the file, then holds the connection open
//                                  until a line arrives on standard input (or the server
//                                  stops), then sends the rest
//   /path pad SIZE                 the file followed by blanks up to SIZE bytes (cut when
//                                  the file is longer)
//   /path bom                      a body that is only a UTF-8 byte-order mark
//   /path empty                    200 with an empty body
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Rule {
  std::string behaviour;
  std::vector<std::string> arguments;
};

struct Options {
  std::string root;
  std::string cert;
  std::string key;
  std::string address = "127.0.0.1";
  int port = 443;
  std::string script;
};

// Releases of held connections: each line on standard input releases every connection held
// at that moment; end of input or the server's stop releases all for good.
class Releases {
 public:
  void Release(bool forever) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++generation_;
    forever_ = forever_ || forever;
    changed_.notify_all();
  }
  // The current count of releases, to wait beyond.
  unsigned long Ticket() {
    std::lock_guard<std::mutex> lock(mutex_);
    return generation_;
  }
  // Waits until a release made after `ticket` was taken.
  void WaitBeyond(unsigned long ticket) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return forever_ || generation_ != ticket; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  unsigned long generation_ = 0;
  bool forever_ = false;
};

std::mutex logMutex;
void Log(const std::string& line) {
  std::lock_guard<std::mutex> lock(logMutex);
  std::fprintf(stdout, "%s\n", line.c_str());
  std::fflush(stdout);
}

bool ParseNumber(const std::string& text, unsigned long long* value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *value = std::strtoull(text.c_str(), nullptr, 10);
  return true;
}

bool ReadScript(const std::string& path, std::map<std::string, Rule>* rules) {
  std::ifstream in(path);
  if (!in)
    return false;
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t hash = line.find('#');
    if (hash != std::string::npos)
      line.resize(hash);
    std::istringstream words(line);
    std::string target;
    Rule rule;
    if (!(words >> target))
      continue;
    if (!(words >> rule.behaviour))
      return false;
    for (std::string word; words >> word;)
      rule.arguments.push_back(word);
    (*rules)[target] = rule;
  }
  return true;
}

// The file below the root that a request path names; false for a path that leaves the
// root or is not a regular file.
bool FileOf(const std::string& root, const std::string& path, std::string* file,
            unsigned long long* size) {
  if (path.empty() || path[0] != '/')
    return false;
  std::istringstream parts(path);
  for (std::string part; std::getline(parts, part, '/');) {
    if (part == "..")
      return false;
  }
  *file = root + path;
  struct stat st;
  if (stat(file->c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return false;
  *size = static_cast<unsigned long long>(st.st_size);
  return true;
}

// An open file read in pieces by the content providers.
struct Body {
  int fd = -1;
  unsigned long long size = 0;  // the file's bytes; more are sent as blanks
  ~Body() {
    if (fd >= 0)
      close(fd);
  }
  // Writes `length` bytes starting at `offset` (blanks past the file's end) into `sink`.
  bool Send(unsigned long long offset, unsigned long long length, httplib::DataSink& sink) const {
    std::vector<char> buffer(65536);
    while (length > 0) {
      const std::size_t piece =
          static_cast<std::size_t>(std::min<unsigned long long>(length, buffer.size()));
      std::size_t filled = 0;
      if (offset < size) {
        const std::size_t fromFile =
            static_cast<std::size_t>(std::min<unsigned long long>(piece, size - offset));
        const ssize_t n = pread(fd, buffer.data(), fromFile, static_cast<off_t>(offset));
        if (n <= 0)
          return false;
        filled = static_cast<std::size_t>(n);
      } else {
        std::fill(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(piece), ' ');
        filled = piece;
      }
      if (!sink.write(buffer.data(), filled))
        return false;
      offset += filled;
      length -= filled;
    }
    return true;
  }
};

class UpdateHost {
 public:
  explicit UpdateHost(Options options) : options_(std::move(options)) {}

  void Handle(const httplib::Request& request, httplib::Response& response) {
    Log("request " + request.method + " " + request.path);
    std::map<std::string, Rule> rules;
    if (!options_.script.empty() && !ReadScript(options_.script, &rules)) {
      response.status = 500;
      response.set_content("bad script\n", "text/plain");
      return;
    }
    const auto found = rules.find(request.path);
    const Rule* rule = found == rules.end() ? nullptr : &found->second;
    if (rule != nullptr && Generated(*rule, response))
      return;
    std::string file;
    unsigned long long size = 0;
    if (!FileOf(options_.root, request.path, &file, &size)) {
      response.status = 404;
      response.set_content("not found\n", "text/plain");
      return;
    }
    auto body = std::make_shared<Body>();
    body->fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    body->size = size;
    if (body->fd < 0) {
      response.status = 403;
      response.set_content("forbidden\n", "text/plain");
      return;
    }
    Serve(rule, body, response);
  }

  Releases& releases() { return releases_; }

 private:
  // Rules whose answer does not come from a file. False when `rule` is not one of them.
  bool Generated(const Rule& rule, httplib::Response& response) {
    unsigned long long code = 0;
    if (rule.behaviour == "status" && rule.arguments.size() == 1 &&
        ParseNumber(rule.arguments[0], &code)) {
      response.status = static_cast<int>(code);
      response.set_content("status " + rule.arguments[0] + "\n", "text/plain");
      return true;
    }
    if (rule.behaviour == "redirect" && rule.arguments.size() == 2 &&
        ParseNumber(rule.arguments[0], &code)) {
      response.status = static_cast<int>(code);
      response.set_header("Location", rule.arguments[1]);
      return true;
    }
    if (rule.behaviour == "bom") {
      response.status = 200;
      response.set_content("\xEF\xBB\xBF", "application/json");
      return true;
    }
    if (rule.behaviour == "empty") {
      response.status = 200;
      response.set_content("", "application/json");
      return true;
    }
    return false;
  }

  void Serve(const Rule* rule, const std::shared_ptr<Body>& body, httplib::Response& response) {
    const std::string type = "application/octet-stream";
    unsigned long long size = body->size;
    const std::string behaviour = rule == nullptr ? "" : rule->behaviour;
    unsigned long long first = 0;
    unsigned long long second = 0;
    const bool oneNumber =
        rule != nullptr && rule->arguments.size() == 1 && ParseNumber(rule->arguments[0], &first);
    const bool twoNumbers = rule != nullptr && rule->arguments.size() == 2 &&
                            ParseNumber(rule->arguments[0], &first) &&
                            ParseNumber(rule->arguments[1], &second);
    response.status = 200;
    if (behaviour == "pad" && oneNumber)
      size = first;
    if (behaviour == "short") {
      response.set_content_provider(
          size, type, [body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            // One byte less than announced, then the connection is dropped.
            if (length > 1)
              (void)body->Send(offset, length - 1, sink);
            return false;
          });
      return;
    }
    if (behaviour == "long") {
      response.set_content_provider(
          size, type, [body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            // The announced bytes and one more in the same write.
            if (!body->Send(offset, length, sink))
              return false;
            return sink.write("X", 1);
          });
      return;
    }
    if (behaviour == "trickle" && twoNumbers && first > 0) {
      const unsigned long long piece = first;
      const unsigned long long delay = second;
      response.set_content_provider(
          size, type,
          [body, piece, delay](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            if (offset > 0)
              std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            return body->Send(offset, std::min<unsigned long long>(piece, length), sink);
          });
      return;
    }
    if (behaviour == "hold" && oneNumber) {
      const unsigned long long held = std::min(first, size);
      Releases* releases = &releases_;
      response.set_content_provider(
          size, type,
          [body, held, releases](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            if (offset < held)
              return body->Send(offset, std::min<unsigned long long>(held - offset, length), sink);
            if (offset == held) {
              // The ticket is taken before the line is logged, so a release that answers
              // the line is never missed.
              const unsigned long ticket = releases->Ticket();
              Log("holding " + std::to_string(held));
              releases->WaitBeyond(ticket);
            }
            return body->Send(offset, length, sink);
          });
      return;
    }
    response.set_content_provider(
        size, type, [body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          return body->Send(offset, std::min<std::size_t>(length, 1 << 20), sink);
        });
  }

  Options options_;
  Releases releases_;
};

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const std::string value = argv[i + 1];
    unsigned long long port = 0;
    if (name == "--root") {
      options->root = value;
    } else if (name == "--cert") {
      options->cert = value;
    } else if (name == "--key") {
      options->key = value;
    } else if (name == "--address") {
      options->address = value;
    } else if (name == "--port" && ParseNumber(value, &port) && port > 0 && port < 65536) {
      options->port = static_cast<int>(port);
    } else if (name == "--script") {
      options->script = value;
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && !options->root.empty() && !options->cert.empty() && !options->key.empty();
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: update-host --root DIR --cert CERT.pem --key KEY.pem "
                 "[--address ADDRESS] [--port PORT] [--script FILE]\n");
    return 2;
  }
  std::map<std::string, Rule> checked;
  if (!options.script.empty() && !ReadScript(options.script, &checked)) {
    std::fprintf(stderr, "update-host: cannot read script %s\n", options.script.c_str());
    return 2;
  }
  // The stop signals are taken by one thread of their own; every other thread blocks them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  httplib::SSLServer server(options.cert.c_str(), options.key.c_str());
  if (!server.is_valid()) {
    std::fprintf(stderr, "update-host: cannot use certificate %s with key %s\n",
                 options.cert.c_str(), options.key.c_str());
    return 1;
  }
  UpdateHost host(options);
  server.Get(".*", [&host](const httplib::Request& request, httplib::Response& response) {
    host.Handle(request, response);
  });
  server.set_keep_alive_max_count(1);
  if (!server.bind_to_port(options.address, options.port)) {
    std::fprintf(stderr, "update-host: cannot bind %s:%d\n", options.address.c_str(), options.port);
    return 1;
  }
  std::thread stopper([&] {
    int signo = 0;
    sigwait(&stopSignals, &signo);
    host.releases().Release(true);
    server.stop();
  });
  stopper.detach();
  std::thread releaser([&host] {
    for (int c; (c = std::getchar()) != EOF;) {
      if (c == '\n')
        host.releases().Release(false);
    }
    host.releases().Release(true);
  });
  releaser.detach();
  Log("listening " + options.address + ":" + std::to_string(options.port));
  server.listen_after_bind();
  return 0;
}
