// TvarnoletFTP: the FTP client of one site.
//
// An object holds one root handle of the FTP layer (ftp_session.h) from its
// construction to its destruction, and at most one connection at a time,
// from a Connect that returned true to the next Disconnect. Every operation
// blocks until the server has answered (each wait is bounded by the layer)
// and reports its outcome as a boolean only: the class writes nothing, keeps
// no error text and raises nothing of its own.
//
// Host, Port, UserID, Password and TransferType are plain fields that the
// caller sets and reads; setting them contacts nothing. ChangeDir and PutFile
// are meant for the time between a Connect that returned true and the next
// Disconnect; they do not test Connected themselves.
//
// Threading: an object is used by one thread.

#ifndef VARNOLET_VARNOLETFTP_H_
#define VARNOLET_VARNOLETFTP_H_

#include <cstdint>
#include <string>

#include "ftp_session.h"

namespace varnolet {

class TvarnoletFTP {
 public:
  // Values of TransferType.
  static constexpr int32_t kTransferTypeAscii = 1;
  static constexpr int32_t kTransferTypeBinary = 2;
  // Set in the flag word of every store, beside the transfer type.
  static constexpr uint32_t kFlagReload = 0x80000000u;

  // Bits of CheckSettings.
  static constexpr int32_t kHostMissing = 1;
  static constexpr int32_t kPortMissing = 2;
  static constexpr int32_t kUserIDMissing = 4;
  static constexpr int32_t kPasswordMissing = 8;

  // Opens the root handle with the executable's full path as the agent text.
  TvarnoletFTP();
  // Closes the root handle only; a connection still open under it is closed
  // with it. Disconnect is not called.
  ~TvarnoletFTP();

  TvarnoletFTP(const TvarnoletFTP&) = delete;
  TvarnoletFTP& operator=(const TvarnoletFTP&) = delete;

  // The missing settings as a bit mask (the k...Missing bits): an empty Host,
  // a Port of 0, an empty UserID, an empty Password. 0 means ready.
  int32_t CheckSettings() const;

  // Logs in to Host at the low 16 bits of Port (unsigned) with UserID and
  // Password, then asks for the current directory once and stores it in
  // CurrentDir (at most 256 bytes, cut at a NUL; empty when the query failed).
  // Returns false, with no network traffic and no field changed, when
  // CheckSettings is not 0 or when already Connected. Returns false when the
  // server cannot be reached or refuses the login; Connected stays false.
  bool Connect();

  // Closes the connection. False without network traffic when not Connected.
  // Connected is false and ConnectionHandle null afterwards in every case, so
  // a ChangeDir or PutFile made after it fails without network traffic.
  bool Disconnect();

  // Changes the server's directory to Directory, unchanged. When the server
  // accepts, asks for the current directory once and stores it in CurrentDir
  // (at most 260 bytes); when it refuses, asks nothing and CurrentDir stays.
  bool ChangeDir(const std::string& Directory);

  // Stores LocalFile under RemoteName in the server's current directory, with
  // the flag word TransferType | kFlagReload (1: ASCII, anything else:
  // binary). True when the server confirmed the whole file.
  bool PutFile(const std::string& LocalFile, const std::string& RemoteName);

  // The fields, in this order. The object owns both handles.
  std::string CurrentDir;
  int32_t Port = 0;
  std::string Host;
  std::string UserID;
  std::string Password;
  bool Connected = false;
  FtpHandle InternetHandle = nullptr;
  FtpHandle ConnectionHandle = nullptr;
  int32_t TransferType = 0;

 private:
  void OpenInternet();
  void CloseInternet();
  // Asks for the current directory and keeps at most capacity bytes of it.
  void RefreshCurrentDir(size_t capacity);
};

}  // namespace varnolet

#endif  // VARNOLET_VARNOLETFTP_H_
