#pragma once
// Reading a small file the server is pointed at (a secret, the reload
// status): only a regular file, only up to a bound, and never waiting. A
// FIFO, a device or a folder in its place is refused at once rather than
// read for ever or without end.

#include <cstddef>
#include <string>

namespace velmario::server {

struct SmallFile {
    std::string text;
    bool readableByOthers = false; // its mode lets every user of the machine read it
};

// The file's bytes when it is a regular file of at most maxBytes; false and
// why otherwise ("not a regular file", "larger than N bytes", the system's
// words), for the caller to say with the file's name.
bool readSmallFile(const std::string& path, std::size_t maxBytes, SmallFile& file, std::string& error);

} // namespace velmario::server
