// Checks on the values of `qdrive mount`'s options (and `service install`'s, which are the
// same), so that a value that makes no sense is a usage error before anything starts.
#pragma once

#include <string>

namespace CLI {
class Validator;
}

namespace QuorvelleDrive::Qdrive {

// A number of seconds from `least` to `most`; NaN and the infinities are neither.
CLI::Validator secondsFromTo(double least, double most);
// An http:// or https:// URL of a WebDAV collection: with a host, without credentials (they
// belong in a --netrc file), a query, a fragment, blanks or control characters.
CLI::Validator webdavUrl();
// A file that exists and that this user may read.
CLI::Validator readableFile();
// A program to start: an executable file, or a name found on PATH.
CLI::Validator program();
// A folder to use, or to make when missing: a path that names nothing else.
CLI::Validator folderPath();

// What is wrong with an app group or domain name as a folder name of the mount's state and
// container: empty, ".", "..", or holding "/"; empty when nothing is.
std::string folderNameProblem(const std::string& name);

}  // namespace QuorvelleDrive::Qdrive
