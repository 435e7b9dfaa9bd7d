#include "varnoletFTP.h"

#include "cmdline.h"

namespace varnolet {

namespace {

// The capacity of the directory buffer after a login and after a change.
constexpr size_t kConnectDirCapacity = 256;
constexpr size_t kChangeDirCapacity = 260;

}  // namespace

TvarnoletFTP::TvarnoletFTP() { OpenInternet(); }

TvarnoletFTP::~TvarnoletFTP() { CloseInternet(); }

void TvarnoletFTP::OpenInternet() { InternetHandle = OpenFtpRoot(ExecutablePath()); }

void TvarnoletFTP::CloseInternet() { CloseFtpHandle(InternetHandle); }

int32_t TvarnoletFTP::CheckSettings() const {
  int32_t missing = 0;
  if (Host.empty()) missing += kHostMissing;
  if (Port == 0) missing += kPortMissing;
  if (UserID.empty()) missing += kUserIDMissing;
  if (Password.empty()) missing += kPasswordMissing;
  return missing;
}

bool TvarnoletFTP::Connect() {
  if (CheckSettings() != 0 || Connected) return false;
  const uint16_t port = static_cast<uint16_t>(static_cast<uint32_t>(Port) & 0xFFFFu);
  ConnectionHandle = ConnectFtp(InternetHandle, Host, port, UserID, Password);
  if (ConnectionHandle == nullptr) return false;
  Connected = true;
  RefreshCurrentDir(kConnectDirCapacity);
  return true;
}

bool TvarnoletFTP::Disconnect() {
  if (!Connected) return false;
  const bool closed = CloseFtpHandle(ConnectionHandle);
  // The handle is gone: a stray ChangeDir or PutFile now fails rather than
  // touching freed memory.
  ConnectionHandle = nullptr;
  Connected = false;
  return closed;
}

bool TvarnoletFTP::ChangeDir(const std::string& Directory) {
  if (!SetFtpCurrentDir(ConnectionHandle, Directory)) return false;
  RefreshCurrentDir(kChangeDirCapacity);
  return true;
}

bool TvarnoletFTP::PutFile(const std::string& LocalFile, const std::string& RemoteName) {
  const uint32_t flags = static_cast<uint32_t>(TransferType) | kFlagReload;
  return PutFtpFile(ConnectionHandle, LocalFile, RemoteName, flags);
}

void TvarnoletFTP::RefreshCurrentDir(size_t capacity) {
  // The query's own result is not looked at: a failed query leaves the
  // empty text.
  std::string directory;
  GetFtpCurrentDir(ConnectionHandle, &directory);
  const size_t nul = directory.find('\0');
  if (nul != std::string::npos) directory.resize(nul);
  if (directory.size() > capacity) directory.resize(capacity);
  CurrentDir = std::move(directory);
}

}  // namespace varnolet
