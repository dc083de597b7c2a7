// The choice of byte source by the medium's scheme: "file…" reads a local file, "rtmp…" an RTMP
// stream, and every other scheme (the empty one included) an HTTP download. The comparison is
// case-sensitive and looks only at the start of the scheme.
#pragma once

#include <functional>
#include <memory>
#include <string>

class FLVNetworkClient;

std::unique_ptr<FLVNetworkClient> createSource(const std::string& scheme);

// Lets tests put a source of their own behind the plug-in. An empty function restores the
// choice by scheme. Not thread-safe: set it while no plug-in object is opening.
using SourceCreator = std::function<std::unique_ptr<FLVNetworkClient>(const std::string& scheme)>;
void setSourceCreatorForTesting(SourceCreator creator);
