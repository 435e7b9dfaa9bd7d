// A real FTP server for end-to-end tests: pyftpdlib, run by /usr/bin/python3
// from tests/pyftpd_server.py, on 127.0.0.1 at an ephemeral port, with one
// user and a fresh root directory.
//
// Start launches it and waits (bounded) until it listens; when pyftpdlib is
// missing or the server does not come up, Start fails with a message that
// says so. The destructor always ends the server (SIGTERM, then SIGKILL) and
// removes the root directory.

#ifndef VARNOLET_TESTS_REAL_FTP_SERVER_H_
#define VARNOLET_TESTS_REAL_FTP_SERVER_H_

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace varnolet::testing {

class RealFtpServer {
 public:
  struct Options {
    std::string user = "varnolet";
    std::string password = "s3cret";
    // Keep the bytes of an ASCII-type store as they came (CR LF stays);
    // otherwise pyftpdlib stores LF line ends.
    bool ascii_keeps_crlf = false;
  };

  RealFtpServer() : RealFtpServer(Options()) {}
  explicit RealFtpServer(Options options);
  ~RealFtpServer();

  RealFtpServer(const RealFtpServer&) = delete;
  RealFtpServer& operator=(const RealFtpServer&) = delete;

  // Starts the server. On success returns true. On failure returns false and
  // stores why in *error; nothing is left running.
  bool Start(std::string* error);

  const char* host() const { return "127.0.0.1"; }
  uint16_t port() const { return port_; }
  const std::string& user() const { return options_.user; }
  const std::string& password() const { return options_.password; }
  // The server's root directory on the local file system.
  const std::string& root() const { return root_; }

  // The content of root()/relative, or nothing when it cannot be read.
  std::optional<std::string> ReadFile(const std::string& relative) const;

 private:
  void Stop();

  Options options_;
  std::string root_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

}  // namespace varnolet::testing

#endif  // VARNOLET_TESTS_REAL_FTP_SERVER_H_
