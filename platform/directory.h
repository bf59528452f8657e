// Folders named by code-page-936 texts ("/" separators; the text becomes a UTF-8 file-system path).
#pragma once

#include "platform/text.h"

namespace varnelo {

// True when the path names an existing directory (a symbolic link to one counts).
bool DirectoryExists(const Text& path);

// Creates the directory and every missing level above it (an existing level is no error), then
// reports DirectoryExists(path). A trailing "/" is allowed. Fails (false) for the empty path.
bool CreateDirectoryTree(const Text& path);

// The folder of the running program's executable file, without a trailing "/", as text; the
// empty text when it cannot be found out.
Text RunDirectory();

}  // namespace varnelo
