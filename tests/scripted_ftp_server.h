// A scripted FTP server for protocol tests.
//
// It listens on the loopback (127.0.0.1 or ::1) at an ephemeral port and
// serves one control connection at a time on a thread of its own. Every
// command line it receives is recorded. Each command verb is answered by a
// handler: by default a small, well-behaved server (USER/PASS log in, PWD/CWD
// keep a directory, TYPE A/I, EPSV/PASV open a data listener, STOR receives a
// file, QUIT ends); a test replaces the handler of a verb, for every
// occurrence or for one, to refuse, drop, fall silent, send oversized or
// multi-line replies, or misbehave on the data connection.
//
// Handlers run on the server's thread, one command at a time: while a STOR
// handler receives data the server reads no further command, so commands the
// client pipelines are answered afterwards, in order.
//
// Every wait of the server is bounded (kServerWaitMs) and the destructor
// stops the thread, closing every socket.

#ifndef VARNOLET_TESTS_SCRIPTED_FTP_SERVER_H_
#define VARNOLET_TESTS_SCRIPTED_FTP_SERVER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace varnolet::testing {

class ScriptedFtpServer {
 public:
  // How long the server waits for a data connection or data.
  static constexpr int kServerWaitMs = 5000;

  // A file received by STOR.
  struct Upload {
    std::string name;      // STOR's argument
    char type = 'A';       // the TYPE in force ('A' until the client sets one)
    std::string bytes;     // as they came over the data connection
    bool complete = false; // the client closed the data connection (EOF)
    std::string peer;      // the data connection's peer address, e.g. "127.0.0.1"
  };

  // The control connection being served; handlers act through it.
  class Session {
   public:
    // Sends text followed by CR LF.
    void Reply(std::string_view text);
    // Sends bytes unchanged.
    void Send(std::string_view bytes);
    // Closes the control connection now (FIN); the session ends.
    void Drop();
    // Answers nothing from now on; commands are still recorded until the
    // client closes the connection or the server stops.
    void GoSilent();

    // Opens a data listener on the control connection's address (closing any
    // earlier one) and returns its port.
    uint16_t OpenPassive();
    // Accepts the data connection on the listener and reads until the client
    // closes it. With drop_after set, closes it with RST once that many bytes
    // have come. Records the upload under name. False when no connection or
    // no end came within kServerWaitMs. With leave_open the data connection
    // stays open (after the client's end) until CloseData or the session's end.
    bool ReceiveData(const std::string& name, size_t drop_after = SIZE_MAX,
                     bool leave_open = false);
    void CloseData();
    // True when a further command line arrives (unread) within timeout_ms.
    bool CommandArrives(int timeout_ms);

    // Runs the default handler of verb.
    void Default(const std::string& verb, const std::string& argument);

    char type() const { return type_; }

   private:
    friend class ScriptedFtpServer;
    Session(ScriptedFtpServer* server, int fd) : server_(server), fd_(fd) {}

    ScriptedFtpServer* server_;
    int fd_;
    int passive_fd_ = -1;
    int data_fd_ = -1;
    std::string input_;  // received, not yet handled
    bool closed_ = false;
    bool silent_ = false;
    char type_ = 'A';
    std::string cwd_ = "/";
  };

  using Handler = std::function<void(Session&, const std::string& argument)>;

  // Starts listening and serving. ipv6 selects ::1 instead of 127.0.0.1.
  explicit ScriptedFtpServer(bool ipv6 = false);
  ~ScriptedFtpServer();

  ScriptedFtpServer(const ScriptedFtpServer&) = delete;
  ScriptedFtpServer& operator=(const ScriptedFtpServer&) = delete;

  uint16_t port() const { return port_; }
  const char* host() const { return ipv6_ ? "::1" : "127.0.0.1"; }

  // Answers every later occurrence of verb (upper case; "" is the greeting)
  // with handler.
  void On(const std::string& verb, Handler handler);
  // Answers only the nth occurrence (from 1, counted over all connections).
  void OnNth(const std::string& verb, int nth, Handler handler);
  // Shorthand: answers every occurrence of verb with one reply line.
  void Answer(const std::string& verb, const std::string& reply);

  // Every command line received, without CR LF, in order.
  std::vector<std::string> commands() const;
  // The verbs of those lines (upper case).
  std::vector<std::string> verbs() const;
  std::vector<Upload> uploads() const;
  // Control connections accepted so far.
  int connections() const { return connections_.load(); }
  // Waits (bounded by timeout_ms) until no control connection is being
  // served and every accepted one has ended. True when that happened.
  bool WaitUntilIdle(int timeout_ms = kServerWaitMs) const;

 private:
  void Run();
  void Serve(int fd);
  Handler FindHandler(const std::string& verb);
  // Polls fd (and the stop pipe) for events; false on stop or timeout.
  bool Wait(int fd, short events, int timeout_ms) const;

  const bool ipv6_;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::atomic<int> connections_{0};
  std::atomic<bool> serving_{false};
  mutable std::mutex mutex_;
  std::map<std::string, Handler> handlers_;
  std::map<std::pair<std::string, int>, Handler> nth_handlers_;
  std::map<std::string, int> seen_;
  std::vector<std::string> commands_;
  std::vector<Upload> uploads_;
  std::thread thread_;
};

// The text of a 227 reply naming host (dotted IPv4) and port.
std::string PasvReplyFor(const std::string& host, uint16_t port);

}  // namespace varnolet::testing

#endif  // VARNOLET_TESTS_SCRIPTED_FTP_SERVER_H_
