// The program's console lines as the tests expect them: the fixed texts
// written out as Shift_JIS bytes here, apart from the program's own table, so
// that a wrong byte there shows up.

#ifndef VARNOLET_TESTS_CONSOLE_LINES_H_
#define VARNOLET_TESTS_CONSOLE_LINES_H_

#include <string>
#include <vector>

namespace varnolet::testing {

inline const std::string kConnecting = " \x82\xC9\x90\xDA\x91\xB1";                    // " に接続"
inline const std::string kConnectFailed = "\x90\xDA\x91\xB1\x82\xC9\x8E\xB8\x94\x73";  // "接続に失敗"
inline const std::string kChangingDir = " \x82\xC9\x88\xDA\x93\xAE";                   // " に移動"
inline const std::string kChangeDirFailed = "\x88\xDA\x93\xAE\x82\xC9\x8E\xB8\x94\x73";  // "移動に失敗"
inline const std::string kUploading =
    " \x82\xF0\x83\x41\x83\x62\x83\x76\x83\x8D\x81\x5B\x83\x68";  // " をアップロード"
inline const std::string kUploadFailed =
    "\x83\x41\x83\x62\x83\x76\x83\x8D\x81\x5B\x83\x68\x82\xC9\x8E\xB8\x94\x73";  // "アップロードに失敗"
inline const std::string kDisconnecting = " \x82\xA9\x82\xE7\x90\xD8\x92\x66";  // " から切断"

// The lines as standard output carries them: each followed by CR LF.
inline std::string Lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) out += line + "\r\n";
  return out;
}

}  // namespace varnolet::testing

#endif  // VARNOLET_TESTS_CONSOLE_LINES_H_
