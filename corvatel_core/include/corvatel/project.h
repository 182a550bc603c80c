// Facts about the project itself that user-facing messages refer to.
#pragma once

namespace corvatel {

// Where users report faults; error texts that ask for a report end with it.
inline constexpr const char* kIssueTrackerUrl = "https://github.com/corvatel/corvatel/issues";

}  // namespace corvatel
