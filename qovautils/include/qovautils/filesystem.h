// filesystem.h -- whole-file reading, plug-in library names, temporary
// files and directories.
//
// Free functions that keep no state and never throw errors of their own;
// failures come back as a flag or an empty path.
#ifndef QOVAUTILS_FILESYSTEM_H
#define QOVAUTILS_FILESYSTEM_H

#include <string>
#include <utility>

namespace qovautils {
namespace filesystem {

// Reads the whole file at `path` (mode "rb") into memory as raw bytes.
// Returns (contents, failed).  `failed` is true, with empty contents, when
// the file cannot be opened, is a directory, cannot seek (pipes, FIFOs), or
// yields fewer bytes than its size.  An empty file, or one whose size reads
// as 0 (such as many files under /proc), gives empty contents and false.
std::pair<std::string, bool> readFile(const std::string& path);

// Always the empty string: no identifier is generated.
std::string genGuid();

// "foo" -> "libfoo.so".  A name that contains a '.' or a '/' is returned
// unchanged; the empty name gives "lib.so".
std::string plugin_expand(const std::string& name);

// Reduces a library file name or path to the plug-in name, in place: drops
// everything up to the last '/' or '\\', then the first "lib", then the first
// ".so", wherever they stand ("/usr/lib/libfoo.so.1" -> "foo.1").
void plugin_unexpand(std::string& name);

// Create an empty file / a directory named dir + "/" + prefix + six unique
// characters + suffix, and return its path, or the empty string when nothing
// could be created.  An empty `dir` means $TEMPDIR when set (even if empty),
// otherwise "/tmp".  mkstemp closes the file before returning; the directory
// gets mode 0700.  Removing them is the caller's business.
std::string mkstemp(const std::string& prefix, const std::string& suffix, const std::string& dir);
std::string mkdtemp(const std::string& prefix, const std::string& suffix, const std::string& dir);

}  // namespace filesystem
}  // namespace qovautils

#endif  // QOVAUTILS_FILESYSTEM_H
