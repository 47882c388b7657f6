// qmxhost's exit statuses (README.md, "Exit statuses").
#pragma once

namespace exit_status {
constexpr int kSuccess = 0;          // every meter completed a cycle; any write asked for was confirmed
constexpr int kUsage = 1;            // bad command line or configuration, or the run could not start
constexpr int kMeterSilent = 2;      // a configured meter completed no cycle
constexpr int kWriteUnconfirmed = 3;  // the write asked for was not confirmed (and every meter completed a cycle)
constexpr int kHistoryIncomplete = 4;  // otherwise fine, but records could not be stored in the history

// Each with what it means, for the manual page.
struct Meaning {
    int status;
    const char* text;
};
inline constexpr Meaning kMeanings[] = {
    {kSuccess, "every configured meter completed at least one cycle, and the write asked for (if any) was confirmed"},
    {kUsage, "bad command line or configuration, or the run could not start"},
    {kMeterSilent, "a configured meter completed no cycle"},
    {kWriteUnconfirmed, "every meter completed a cycle, but the write asked for was not confirmed"},
    {kHistoryIncomplete, "all went well, but records could not be stored in the history"},
};
}  // namespace exit_status
