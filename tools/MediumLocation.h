// How the command-line host turns what a user typed into the location and protocol that a
// medium description hands to the plug-in. The plug-in picks its byte source from the protocol
// alone, so the protocol is the part that matters most.
#pragma once

#include <string>

namespace cli {

struct MediumLocation {
    std::string location;
    std::string protocol;
};

// A plain path gives the path and "file"; "file://PATH" gives PATH and "file"; any other URL
// gives the URL whole and its scheme as written before "://" ("rtmp", "http", ...). Text whose
// part before "://" is no URL scheme (say "/tmp/a://b") is a plain path.
MediumLocation parseMediumLocation(const std::string& text);

}  // namespace cli
