// The FTP protocol layer: the six calls the FTP client class makes, over POSIX
// sockets (RFC 959, passive mode only).
//
// Handles. OpenFtpRoot gives a root handle; ConnectFtp opens a logged-in
// control connection under a root and gives its connection handle. Both are
// FtpHandle values, released by CloseFtpHandle. Closing a root also closes
// every connection still open under it; after that those connection handles
// are gone and must not be used again.
//
// What goes to the server. Only USER, PASS, PWD, CWD, TYPE, EPSV, PASV, STOR
// and QUIT are ever sent. A user name, password, directory or remote file name
// that holds CR, LF or NUL fails its call before anything is sent (for the
// login: before any connection is opened).
//
// Bounded waits. Every wait is bounded by the root's FtpOptions, except the
// resolution of a host name, which getaddrinfo(3) bounds by the resolver's
// own settings (addresses in numeric form need none). After a
// timeout, a dropped or reset control connection, an overlong or malformed
// reply, or a reply sequence that no longer matches the commands sent, the
// connection is dead: every later call on it fails at once without touching
// the network, and closing it sends no QUIT.
//
// Stores. PutFtpFile opens the local file before anything is sent, then uses
// EPSV (PASV for the rest of the connection once the server refuses EPSV) and
// connects the data connection to the control connection's peer address: of
// the passive reply only the port is used. The store counts as done only when
// the server's 226/250 arrives after the server accepted the STOR (125/150)
// and after every byte of the file was sent and our end of the data
// connection shut down, and the server then closed the data connection.
// Transfer type: (flags & 3) == 1 is ASCII (TYPE A: every LF not preceded by
// CR goes out as CR LF, other bytes unchanged); every other value is binary
// (TYPE I: bytes unchanged, sent with sendfile(2)). TYPE is sent only when the
// connection's type changes. Higher flag bits mean nothing here.
//
// Pipelining. To save round trips, STOR goes out with the passive reply in
// hand but without waiting for the data connection, and the file's bytes go
// out without waiting for 125/150 (the control connection is watched while
// sending, so an early refusal stops the transfer). A TYPE change travels with
// the EPSV, or with the STOR when the port was asked for early; the file's
// bytes always wait for its 200 (a refusal then leaves at most an empty remote
// file, and fails the store). The next EPSV/PASV may be sent
// before a store's final reply has been read (FtpOptions::early_passive).
// Replies are always read in the order of the commands; a reply that does not
// fit the expected sequence fails the file and kills the connection, so an
// overlap can cost a file but never passes a failed one. A call returns only
// after the final reply of its own commands.
//
// Signals: the first OpenFtpRoot sets SIGPIPE to SIG_IGN when it is at its
// default action (sendfile on a socket cannot be told not to raise it), so a
// dropped connection shows up as EPIPE. Every other send uses MSG_NOSIGNAL.
//
// Threading: a root and its connections are used by one thread at a time.

#ifndef VARNOLET_FTP_SESSION_H_
#define VARNOLET_FTP_SESSION_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace varnolet {

// Default bounds.
constexpr int kConnectTimeoutMs = 30000;   // TCP connect, all addresses together
constexpr int kReplyTimeoutMs = 60000;     // each awaited reply
constexpr int kDataIdleTimeoutMs = 60000;  // data connection without progress
constexpr int kQuitTimeoutMs = 3000;       // the 221 after QUIT

// Files are read in blocks of this size for ASCII conversion (and for binary
// when sendfile(2) is refused).
constexpr size_t kFtpFileBlockBytes = 256 * 1024;

// When a store asks for the next store's passive port.
enum class EarlyPassive {
  // When the next store begins.
  kOff,
  // As soon as the server has closed the data connection (or its final reply
  // came): it is done with the transfer, so no server can take the request
  // for an interruption.
  kAfterServerClose,
  // As soon as our data is sent, a round trip earlier. Only for servers that
  // read no command during a transfer: one that does (pyftpdlib) would drop
  // the running transfer, and that file fails.
  kAfterOurData,
  // kAfterOurData when the greeting names a server known to read no command
  // during a transfer (vsFTPd), else kAfterServerClose.
  kAuto,
};

// The root's bounds and behaviour; connections take a copy when they open.
struct FtpOptions {
  int connect_ms = kConnectTimeoutMs;
  int reply_ms = kReplyTimeoutMs;
  int data_idle_ms = kDataIdleTimeoutMs;  // also: the server's end after 226
  int quit_ms = kQuitTimeoutMs;
  EarlyPassive early_passive = EarlyPassive::kAuto;
};

struct FtpHandleObject;  // opaque
using FtpHandle = FtpHandleObject*;

// Opens a root handle. agent is kept as the client's name; it is never sent.
// Never returns nullptr (exhausted memory throws std::bad_alloc).
FtpHandle OpenFtpRoot(std::string_view agent);

// Replaces the options that roots opened from now on start with. The program
// itself never calls it; its build for tests does, to shorten the bounds.
void SetDefaultFtpOptions(const FtpOptions& options);

// Replaces the options of root for connections opened from now on (tests
// shorten the bounds this way). No effect when root is null or not a root.
void SetFtpOptions(FtpHandle root, const FtpOptions& options);

// Connects to host (a name, an IPv4 or IPv6 literal) at port, reads the
// greeting (a 120 is followed by the 220 within one reply bound) and logs in
// with USER user, then PASS password unless USER already gave 230. On success
// returns the connection handle. On failure (null or non-root handle, bad
// characters, unknown host, no address answering, a 4xx/5xx, a drop, a
// timeout) returns nullptr and leaves nothing open.
FtpHandle ConnectFtp(FtpHandle root, std::string_view host, uint16_t port,
                     std::string_view user, std::string_view password);

// PWD. On a 257 whose directory can be read, stores it in *directory and
// returns true. On failure stores the empty text and returns false.
bool GetFtpCurrentDir(FtpHandle connection, std::string* directory);

// CWD directory, sent unchanged (also when empty). True on a 2xx reply.
bool SetFtpCurrentDir(FtpHandle connection, std::string_view directory);

// Stores the local file as remote_name (see Stores above). True when the
// server confirmed the complete file. A missing, unreadable or non-regular
// local file fails with nothing sent.
bool PutFtpFile(FtpHandle connection, std::string_view local_file,
                std::string_view remote_name, uint32_t flags);

// Closes a connection (QUIT, a brief wait for 221 unless the connection is
// dead, then the socket) or a root (with every connection under it). Returns
// false for a null handle, true otherwise.
bool CloseFtpHandle(FtpHandle handle);

}  // namespace varnolet

#endif  // VARNOLET_FTP_SESSION_H_
