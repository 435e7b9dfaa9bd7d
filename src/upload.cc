#include "upload.h"

#include <memory>
#include <string>

#include "messages.h"
#include "varnoletFTP.h"

namespace varnolet {

namespace {

constexpr int32_t kDefaultPort = 21;
constexpr std::string_view kAsciiModeSection = "AsciiMode";

}  // namespace

bool UploadSite(const SiteJob& job) {
  IniReader& ini = job.ini;
  Console& console = job.console;

  // The client lives exactly as long as this site's handling: the unique_ptr
  // releases it (and with it every handle) also when a console write throws.
  auto ftp = std::make_unique<TvarnoletFTP>();
  ftp->Host = ini.ReadText(job.section, "Host", "");
  ftp->Password = ini.ReadText(job.section, "Password", "");
  ftp->UserID = ini.ReadText(job.section, "UserID", "");
  ftp->Port = ini.ReadNumber(job.section, "Port", kDefaultPort);

  console.WriteLine(ftp->Host + std::string(messages::kConnecting));
  if (!ftp->Connect()) {
    console.WriteLine(messages::kConnectFailed);
    return false;
  }

  bool succeeded = true;
  const std::string remote_dir = ini.ReadText(job.section, "HostDir", "") + job.relative_dir;
  bool in_remote_dir = true;
  if (!remote_dir.empty()) {
    console.WriteLine(remote_dir + std::string(messages::kChangingDir));
    // Storing after a refused change would put the files wherever the server
    // happens to be, possibly over other files: skip this site's uploads.
    if (!ftp->ChangeDir(remote_dir)) {
      console.WriteLine(messages::kChangeDirFailed);
      in_remote_dir = false;
      succeeded = false;
    }
  }

  if (in_remote_dir) {
    for (const std::string& argument : job.arguments) {
      const bool ascii = ini.ReadFlag(kAsciiModeSection, job.paths.AsciiModeKey(argument), false);
      ftp->TransferType = ascii ? TvarnoletFTP::kTransferTypeAscii : TvarnoletFTP::kTransferTypeBinary;
      console.WriteLine(argument + std::string(messages::kUploading));
      if (!ftp->PutFile(argument, job.paths.RemoteFileName(argument))) {
        console.WriteLine(messages::kUploadFailed);
        succeeded = false;
      }
    }
  }

  console.WriteLine(ftp->Host + std::string(messages::kDisconnecting));
  // A refused log-out changes nothing about what was stored.
  ftp->Disconnect();
  return succeeded;
}

}  // namespace varnolet
