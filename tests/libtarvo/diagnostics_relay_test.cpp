// The diagnostics relay's client against a device played by hand: gestalt
// queries on the wire and their answers, and the goodbye that free sends
// only when the caller has not.
#include <gtest/gtest.h>

#include <string>

#include "libtarvo/diagnostics_relay_private.h"
#include "scripted_peer.h"

namespace libtarvo {
namespace {

diagnostics_relay_client_t make_client(ScriptedPeer &peer) {
    DiagnosticsRelayWaits waits;
    waits.reply_ms = 300;  // only the silent peer waits it out
    waits.parting_ms = 300;
    diagnostics_relay_client_t client = nullptr;
    EXPECT_EQ(diagnostics_relay_client_new_on(peer.connection(), "diag", waits, &client),
              DIAGNOSTICS_RELAY_E_SUCCESS);
    return client;
}

std::string answer(const char *status, const std::string &diagnostics = "") {
    return std::string("<dict><key>Status</key><string>") + status + "</string>" +
           (diagnostics.empty() ? "" : "<key>Diagnostics</key>" + diagnostics) + "</dict>";
}

std::string gestalt(const char *inner_status) {
    return std::string("<dict><key>MobileGestalt</key><dict><key>Status</key><string>") +
           inner_status +
           "</string><key>ProductType</key><string>iPhone12,1</string></dict></dict>";
}

TEST(DiagnosticsRelayPeer, GestaltQueriesAndTheirAnswers) {
    struct Case {
        const char *what;
        std::string reply;  // empty: the device stays silent
        diagnostics_relay_error_t expected;
        std::string result;
    };
    const Case cases[] = {
        {"values", answer("Success", gestalt("Success")), DIAGNOSTICS_RELAY_E_SUCCESS,
         gestalt("Success")},
        {"values of a newer device", answer("Success", gestalt("MobileGestaltDeprecated")),
         DIAGNOSTICS_RELAY_E_SUCCESS, gestalt("MobileGestaltDeprecated")},
        {"an unknown request", answer("UnknownRequest"), DIAGNOSTICS_RELAY_E_UNKNOWN_REQUEST, ""},
        {"a failure", answer("Failure", gestalt("Success")), DIAGNOSTICS_RELAY_E_UNKNOWN_ERROR, ""},
        {"success without values", answer("Success"), DIAGNOSTICS_RELAY_E_PLIST_ERROR, ""},
        {"an answer that is no dictionary", "<array/>", DIAGNOSTICS_RELAY_E_PLIST_ERROR, ""},
        {"silence", "", DIAGNOSTICS_RELAY_E_MUX_ERROR, ""},
    };
    const std::string keys = "<array><string>ProductType</string></array>";
    for (const Case &c : cases) {
        ScriptedPeer peer;
        diagnostics_relay_client_t client = make_client(peer);
        ASSERT_TRUE(c.reply.empty() || peer.write_plist(from_xml(c.reply).get())) << c.what;
        plist_t result = nullptr;
        EXPECT_EQ(diagnostics_relay_query_mobilegestalt(client, from_xml(keys).get(), &result),
                  c.expected)
            << c.what;
        PlistPtr owned(result);
        EXPECT_TRUE(c.result.empty() ? !result : same_plist(result, from_xml(c.result).get()))
            << c.what << xml_of(result);
        PlistPtr request = peer.read_plist();
        EXPECT_TRUE(same_plist(request.get(),
                               from_xml("<dict><key>Request</key><string>MobileGestalt</string>"
                                        "<key>MobileGestaltKeys</key>" +
                                        keys + "</dict>")
                                   .get()))
            << c.what << xml_of(request.get());
        peer.close();  // free's goodbye finds no device
        EXPECT_EQ(diagnostics_relay_client_free(client), DIAGNOSTICS_RELAY_E_SUCCESS) << c.what;
    }
}

TEST(DiagnosticsRelayPeer, FreeSaysGoodbyeOnlyWhenTheCallerHasNot) {
    for (bool caller_says_goodbye : {true, false}) {
        ScriptedPeer peer;
        diagnostics_relay_client_t client = make_client(peer);
        ASSERT_TRUE(peer.write_plist(from_xml(answer("Success")).get()));
        if (caller_says_goodbye) {
            EXPECT_EQ(diagnostics_relay_goodbye(client), DIAGNOSTICS_RELAY_E_SUCCESS);
        }
        EXPECT_EQ(diagnostics_relay_client_free(client), DIAGNOSTICS_RELAY_E_SUCCESS);
        PlistPtr request = peer.read_plist();
        EXPECT_EQ(string_item(request.get(), "Request"), "Goodbye") << caller_says_goodbye;
        EXPECT_TRUE(peer.sees_end()) << caller_says_goodbye;  // one goodbye, then the end
    }
}

}  // namespace
}  // namespace libtarvo
