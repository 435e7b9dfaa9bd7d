// Whole-file reads for the configuration reader.

#ifndef VARNOLET_FILE_H_
#define VARNOLET_FILE_H_

#include <string>

namespace varnolet {

// Reads the whole file at path into *content. On success returns true. On
// failure (missing, unreadable, a directory) returns false and leaves *content
// empty. Never creates the file.
bool ReadWholeFile(const std::string& path, std::string* content);

}  // namespace varnolet

#endif  // VARNOLET_FILE_H_
