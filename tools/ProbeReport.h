// What `zovozudo probe` prints for a person: the medium as the host handed it over and every
// value the plug-in set, one topic a line. Values the plug-in did not set are left out, or said
// to be missing where their absence is news.
#pragma once

#include <string>

#include "host/RecordingHost.h"
#include "tools/MediumLocation.h"

namespace cli {

std::string describeReadably(const MediumLocation& handedOver, const host::RecordingMedium& medium,
                             const host::RecordingStreamDescription& stream);

}  // namespace cli
