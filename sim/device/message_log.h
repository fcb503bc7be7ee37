/*
 * The simulator's debug trace: every message a device receives or sends, one
 * readable line each on standard error, prefixed with the device's UDID.
 */
#ifndef TARVO_SIM_MESSAGE_LOG_H
#define TARVO_SIM_MESSAGE_LOG_H

#include <string>
#include <string_view>

#include "owners.h"

namespace tarvosim {

/// One line of text for a plist: dictionaries as {Key: value, ...}, arrays
/// as [...], strings quoted, data as <data N bytes> (PEM text shows its
/// first line), the value of a secret item (tarvo::is_secret_item) as
/// (redacted). Long output is cut with "...".
std::string describe_plist(plist_t node);

class MessageLog {
  public:
    MessageLog(bool enabled, std::string udid) : enabled_(enabled), udid_(std::move(udid)) {}

    bool enabled() const { return enabled_; }
    /// `channel` names the conversation, e.g. "lockdown" or a service name.
    void received(std::string_view channel, plist_t message) const;
    void sent(std::string_view channel, plist_t message) const;
    void note(std::string_view channel, std::string_view text) const;

  private:
    void write_line(std::string_view channel, std::string_view arrow, std::string_view text) const;

    bool enabled_;
    std::string udid_;
};

}  // namespace tarvosim

#endif
