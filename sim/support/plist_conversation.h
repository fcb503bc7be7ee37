/*
 * PlistConversation: the request/answer loop of the plain plist services
 * (installation proxy, springboard services, diagnostics relay), framed as
 * lockdown is. Every wait is bounded, every request is traced, and a
 * request that is no dictionary ends the conversation.
 */
#ifndef TARVO_SIM_PLIST_CONVERSATION_H
#define TARVO_SIM_PLIST_CONVERSATION_H

#include <chrono>
#include <string>
#include <utility>

#include "message_log.h"
#include "owners.h"
#include "plist_frame.h"
#include "service_socket.h"

namespace tarvosim {

class PlistConversation {
  public:
    /// A host that says nothing for this long is gone.
    static constexpr std::chrono::minutes kIdleWait{30};
    /// How long a frame may take once it began, and a reply to go out.
    static constexpr std::chrono::seconds kFrameWait{10};

    /// `channel` names the service in the trace `log` keeps.
    PlistConversation(ServiceSocket &socket, const MessageLog &log, std::string channel,
                      PlistEncoding encoding)
        : socket_(socket), log_(log), channel_(std::move(channel)), encoding_(encoding) {}

    /// The host's next request, a dictionary. False when the connection
    /// ended, idled out, or sent something that is no dictionary (the
    /// reason is noted in the trace).
    bool receive(PlistPtr *request);
    /// Sends one message; false when the socket failed.
    bool send(plist_t message);
    void note(const std::string &text) const { log_.note(channel_, text); }

  private:
    ServiceSocket &socket_;
    const MessageLog &log_;
    std::string channel_;
    PlistEncoding encoding_;
};

}  // namespace tarvosim

#endif
