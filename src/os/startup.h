// What the process does before anything else. On Windows nothing: the
// program has no options and ignores its arguments. As a Linux program it
// makes sure descriptors 0-2 are open (a file it opens must never become its
// standard error), keeps the signal that asks for a file lease back from
// ending it, and answers --help and --version.
#pragma once

namespace tallyweb {

/// Returns normally to run; exits 0 after printing help or the program's
/// `version` (the project's, which only the program knows).
void StartProcess(int argc, char** argv, const char* version);

}  // namespace tallyweb
