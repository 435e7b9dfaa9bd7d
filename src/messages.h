// The console's fixed texts, as the Shift_JIS bytes that are written.
//
// A variable part (host, directory, argument) stands before a fixed text, and
// every fixed text that follows a variable part begins with one space.

#ifndef VARNOLET_MESSAGES_H_
#define VARNOLET_MESSAGES_H_

#include <string_view>

namespace varnolet::messages {

// host + " に接続": connecting to the host.
inline constexpr std::string_view kConnecting = " \x82\xC9\x90\xDA\x91\xB1";
// "接続に失敗": the connection failed.
inline constexpr std::string_view kConnectFailed = "\x90\xDA\x91\xB1\x82\xC9\x8E\xB8\x94\x73";
// directory + " に移動": moving to the directory.
inline constexpr std::string_view kChangingDir = " \x82\xC9\x88\xDA\x93\xAE";
// "移動に失敗": the change of directory failed.
inline constexpr std::string_view kChangeDirFailed = "\x88\xDA\x93\xAE\x82\xC9\x8E\xB8\x94\x73";
// argument + " をアップロード": uploading the file.
inline constexpr std::string_view kUploading =
    " \x82\xF0\x83\x41\x83\x62\x83\x76\x83\x8D\x81\x5B\x83\x68";
// "アップロードに失敗": the upload failed.
inline constexpr std::string_view kUploadFailed =
    "\x83\x41\x83\x62\x83\x76\x83\x8D\x81\x5B\x83\x68\x82\xC9\x8E\xB8\x94\x73";
// host + " から切断": disconnecting from the host.
inline constexpr std::string_view kDisconnecting = " \x82\xA9\x82\xE7\x90\xD8\x92\x66";

}  // namespace varnolet::messages

#endif  // VARNOLET_MESSAGES_H_
