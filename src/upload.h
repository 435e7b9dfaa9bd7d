// The site upload sequence: what the program does for one selected site.
//
// Fills an FTP client with the site's settings, logs in, moves to the remote
// directory ("HostDir" followed directly by the relative directory), uploads
// every argument in the transfer type its extension selects, logs out and
// releases the client, writing one console line before each step.

#ifndef VARNOLET_UPLOAD_H_
#define VARNOLET_UPLOAD_H_

#include "run.h"

namespace varnolet {

// Handles one site. Returns true when it connected, changed directory (where it
// had to) and stored every file. Console errors pass through; the client is
// released however the sequence ends.
bool UploadSite(const SiteJob& job);

}  // namespace varnolet

#endif  // VARNOLET_UPLOAD_H_
